#include "platform/coregraphics/PixelLayout.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace cg::detail {

namespace {

// Bitmap-info fields, as CGImage.h names them.
constexpr uint32_t kAlphaMask = 0x1F, kFloat = 1u << 8, kOrderMask = 0x7000;
constexpr uint32_t kOrderDefault = 0, kOrder32Little = 2u << 12, kOrder32Big = 4u << 12;
enum : uint32_t {
    None = 0,
    PremultipliedLast = 1,
    PremultipliedFirst = 2,
    SkipLast = 5,
    SkipFirst = 6,
    Only = 7
};

uint32_t word(uint8_t a, uint8_t r, uint8_t g, uint8_t b) {
    return uint32_t(a) << 24 | uint32_t(r) << 16 | uint32_t(g) << 8 | b;
}

uint8_t unitToByte(float v) {
    if (!(v > 0)) return 0;
    return v >= 1 ? 255 : uint8_t(v * 255.0f + 0.5f);
}

} // namespace

std::optional<PixelLayout> pixelLayout(size_t bitsPerComponent, size_t bitsPerPixel, CGBitmapInfo info,
                                       CGColorSpaceModel model) {
    if ((info & ~(kAlphaMask | kFloat | kOrderMask)) != 0) return std::nullopt;
    const uint32_t alpha = info & kAlphaMask, order = info & kOrderMask;
    PixelLayout layout;
    layout.bitsPerComponent = bitsPerComponent;
    if (info & kFloat) {
        if (bitsPerComponent != 32 || bitsPerPixel != 128 || alpha != PremultipliedLast ||
            model != kCGColorSpaceModelRGB || (order != kOrderDefault && order != kOrder32Little))
            return std::nullopt;
        layout.kind = PixelKind::RGBAFloat;
        layout.bytesPerPixel = 16;
        return layout;
    }
    if (bitsPerComponent != 8) return std::nullopt;
    if (bitsPerPixel == 8 && order == kOrderDefault) {
        if (alpha == Only)
            layout.kind = PixelKind::Alpha8;
        else if (alpha == None && model == kCGColorSpaceModelMonochrome)
            layout.kind = PixelKind::Grey8;
        else
            return std::nullopt;
        layout.bytesPerPixel = 1;
        return layout;
    }
    if (bitsPerPixel != 32 || model != kCGColorSpaceModelRGB) return std::nullopt;
    if (order != kOrderDefault && order != kOrder32Little && order != kOrder32Big) return std::nullopt;
    bool first;
    switch (alpha) {
    case PremultipliedFirst:
        first = true;
        break;
    case SkipFirst:
        first = true;
        layout.skip = true;
        break;
    case PremultipliedLast:
        first = false;
        break;
    case SkipLast:
        first = false;
        layout.skip = true;
        break;
    default:
        return std::nullopt;
    }
    // Memory order of the samples for the big-endian (and default) order; little reverses it.
    int pos[4] = {0, 1, 2, 3}; // a, r, g, b for "first"; r, g, b, a for "last"
    if (order == kOrder32Little)
        for (int& p : pos)
            p = 3 - p;
    if (first) {
        layout.a = pos[0], layout.r = pos[1], layout.g = pos[2], layout.b = pos[3];
    } else {
        layout.r = pos[0], layout.g = pos[1], layout.b = pos[2], layout.a = pos[3];
    }
    return layout;
}

namespace {

// One pixel as Cairo sees it.
uint32_t loadPixel(const PixelLayout& l, const uint8_t* s) {
    switch (l.kind) {
    case PixelKind::Grey8:
        return word(255, s[0], s[0], s[0]);
    case PixelKind::Alpha8:
        return word(s[0], 0, 0, 0);
    case PixelKind::RGB32: {
        uint8_t a = l.skip ? 255 : s[l.a];
        return word(a, std::min(s[l.r], a), std::min(s[l.g], a), std::min(s[l.b], a));
    }
    case PixelKind::RGBAFloat: {
        float f[4];
        std::memcpy(f, s, sizeof f);
        uint8_t a = unitToByte(f[3]);
        return word(a, std::min(unitToByte(f[0]), a), std::min(unitToByte(f[1]), a),
                    std::min(unitToByte(f[2]), a));
    }
    }
    return 0;
}

} // namespace

void loadARGB32(const PixelLayout& l, const uint8_t* src, size_t srcStride, uint8_t* dst, size_t dstStride,
                size_t width, size_t rows) {
    for (size_t y = 0; y < rows; ++y) {
        const uint8_t* s = src + y * srcStride;
        uint32_t* d = reinterpret_cast<uint32_t*>(dst + y * dstStride);
        for (size_t x = 0; x < width; ++x)
            d[x] = loadPixel(l, s + x * l.bytesPerPixel);
    }
}

void storeARGB32(const PixelLayout& l, const uint8_t* src, size_t srcStride, uint8_t* dst, size_t dstStride,
                 size_t width, size_t rows) {
    for (size_t y = 0; y < rows; ++y) {
        const uint32_t* s = reinterpret_cast<const uint32_t*>(src + y * srcStride);
        uint8_t* d = dst + y * dstStride;
        for (size_t x = 0; x < width; ++x) {
            const uint32_t w = s[x];
            // A pixel the drawing left alone keeps its bytes (padding, finer floats).
            if (loadPixel(l, d + x * l.bytesPerPixel) == w) continue;
            const uint8_t a = uint8_t(w >> 24), r = uint8_t(w >> 16), g = uint8_t(w >> 8), b = uint8_t(w);
            switch (l.kind) {
            case PixelKind::Grey8:
                d[x] = uint8_t((77 * r + 150 * g + 29 * b + 128) >> 8);
                break;
            case PixelKind::Alpha8:
                d[x] = a;
                break;
            case PixelKind::RGB32: {
                uint8_t* p = d + 4 * x;
                p[l.r] = r, p[l.g] = g, p[l.b] = b, p[l.a] = l.skip ? 255 : a;
                break;
            }
            case PixelKind::RGBAFloat: {
                const float f[4] = {r / 255.0f, g / 255.0f, b / 255.0f, a / 255.0f};
                std::memcpy(d + 16 * x, f, sizeof f);
                break;
            }
            }
        }
    }
}

} // namespace cg::detail
