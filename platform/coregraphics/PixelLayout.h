// The pixel layouts bitmap contexts and images hold, and their conversion to and from the
// premultiplied 32-bit ARGB words (native byte order) that Cairo draws in.
#pragma once

#include "platform/coregraphics/CGColor.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace cg {

using CGBitmapInfo = uint32_t;

namespace detail {

enum class PixelKind { Grey8, Alpha8, RGB32, RGBAFloat };

struct PixelLayout {
    PixelKind kind = PixelKind::RGB32;
    size_t bitsPerComponent = 8;
    size_t bytesPerPixel = 4;
    // RGB32: where each sample sits in a pixel's four bytes; skip: the alpha byte is padding.
    int r = 1, g = 2, b = 3, a = 0;
    bool skip = false;
    // Cairo draws straight into the caller's memory: BGRA premultiplied or BGRX.
    bool native() const { return kind == PixelKind::RGB32 && r == 2 && g == 1 && b == 0 && a == 3; }
};

// The layout of an 8-bit grey, 8-bit alpha-only, 8-bit RGB in 32 bits (alpha skipped or
// premultiplied, first or last, either byte order) or 32-bit float RGBA premultiplied last
// bitmap; nothing for any other combination.
std::optional<PixelLayout> pixelLayout(size_t bitsPerComponent, size_t bitsPerPixel, CGBitmapInfo info,
                                       CGColorSpaceModel model);

// Whole rows of width pixels; strides in bytes. Storing leaves alone the pixels whose
// bytes already load as the given word.
void loadARGB32(const PixelLayout& layout, const uint8_t* src, size_t srcStride, uint8_t* dst,
                size_t dstStride, size_t width, size_t rows);
void storeARGB32(const PixelLayout& layout, const uint8_t* src, size_t srcStride, uint8_t* dst,
                 size_t dstStride, size_t width, size_t rows);

} // namespace detail
} // namespace cg
