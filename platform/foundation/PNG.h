// PNG encoding and decoding through libpng. Output is deterministic: zlib level 6, libpng's
// default filters, no interlacing, and no chunks but IHDR, IDAT and IEND, so equal pixels give
// equal files. Decoding refuses malformed, truncated or oversized input with an Error.
#pragma once

#include "platform/corefoundation/Error.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace png {

// 32-bit pixels, named by their byte order in memory. Premultiplied ones are un-premultiplied
// before writing; the X of BGRX is ignored and the file has no alpha.
enum class PixelFormat {
    BGRA,
    ARGB,
    RGBA,
    PremultipliedBGRA,
    PremultipliedARGB,
    PremultipliedRGBA,
    BGRX,
};

inline constexpr uint32_t kMaxDimension = 16384;

struct Image {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> rgba; // RGBA8, rows packed (width * 4 bytes each), not premultiplied
};

// bytesPerRow must hold width pixels; dimensions must be 1...16384.
std::optional<std::vector<uint8_t>> encode(const uint8_t* pixels, uint32_t width, uint32_t height,
                                           size_t bytesPerRow, PixelFormat format,
                                           platform::Error* error = nullptr);
std::optional<Image> decode(const uint8_t* data, size_t length, platform::Error* error = nullptr);
std::optional<Image> decode(const std::vector<uint8_t>& data, platform::Error* error = nullptr);

} // namespace png
