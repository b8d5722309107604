// For tests of layer drawing: a small image of one premultiplied ARGB colour, blue first in
// memory, to use as a layer's contents.
#pragma once

#include "platform/coregraphics/CGImage.h"

#include <cstring>
#include <vector>

namespace quartzcore::testing {

inline cg::CGImageRef solidImage(uint32_t argb) {
    std::vector<uint8_t> bytes(4 * 4 * 4);
    for (size_t i = 0; i < 16; ++i)
        std::memcpy(bytes.data() + i * 4, &argb, 4);
    return cg::CGImageCreate(4, 4, 8, 32, 16, cg::CGColorSpaceCreateDeviceRGB(),
                             cg::kCGImageAlphaPremultipliedFirst | cg::kCGBitmapByteOrder32Little,
                             cg::CGDataProviderCreateWithData(std::move(bytes)), nullptr, false,
                             cg::kCGRenderingIntentDefault);
}

} // namespace quartzcore::testing
