// The encoding byte of a rectangle record. A running server writes only MousePos,
// MouseCursor and JPG; the others belong to encoders that no session creates. The log
// names of these values come from foundation::NSStringFromEncoding.
#pragma once

#include <cstdint>

namespace regions {

enum QNScreenEncoding : uint8_t {
    QNScreenEncodingLibz = 0,        // pixel rows through the persistent deflate stream
    QNScreenEncodingCopyRect = 1,    // i16 delta x, i16 delta y of a moved area
    QNScreenEncodingMousePos = 2,    // no payload; the record carries the cursor position
    QNScreenEncodingMouseCursor = 3, // the cursor image as PNG; x, y the hot spot
    QNScreenEncodingJPG = 4,         // one baseline JPEG of exactly the rectangle
    QNScreenEncodingPNG = 5,
    QNScreenEncodingSqueezedJPG = 14, // scaled-down JPEG; the record keeps the full size
    QNScreenEncodingRTPJPG = 15,
    QNScreenEncodingH264Frame = 20,
    QNScreenEncodingH264SPS = 21,
    QNScreenEncodingH264PPS = 22,
    QNScreenEncodingRTPPNG = 253,
};

} // namespace regions
