// BGRA to Y'CbCr planes (BT.601, limited range) as the stand-in compression session feeds its
// encoder: 4:2:0 for even sides, 4:4:4 where a side is odd (H.264 crops 4:2:0 pictures only in
// steps of two pixels, so an odd side could not come back at its size).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vt {

// width × height BGRA pixels (rows of pitch bytes; both sides even) into a luma plane of
// width × height and chroma planes of half each side, each chroma sample the mean of its
// 2 × 2 block.
void ConvertBGRAToI420(const uint8_t* bgra, size_t pitch, int width, int height, uint8_t* y, uint8_t* u,
                       uint8_t* v);
// Any size: three planes of width × height.
void ConvertBGRAToI444(const uint8_t* bgra, size_t pitch, int width, int height, uint8_t* y, uint8_t* u,
                       uint8_t* v);

} // namespace vt
