#include "tools/refclient/Picture.h"

#include "platform/core/Format.h"
#include "tools/refclient/JpegDecoder.h"

#include <algorithm>
#include <cstring>

namespace refclient {

namespace {
constexpr size_t kBytesPerPixel = 4;
} // namespace

Picture::Picture(int width, int height) { resize(width, height); }

uint32_t Picture::pixel(int x, int y) const {
    if (!contains(x, y, 1, 1)) return 0;
    const uint8_t* p = m_pixels.data() + (static_cast<size_t>(y) * static_cast<size_t>(m_width) + static_cast<size_t>(x)) * kBytesPerPixel;
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16;
}

bool Picture::contains(int x, int y, int width, int height) const {
    return x >= 0 && y >= 0 && width >= 0 && height >= 0 && x <= m_width - width && y <= m_height - height;
}

uint8_t* Picture::pixelAddress(int x, int y) {
    if (!contains(x, y, 1, 1)) return nullptr;
    return m_pixels.data() + static_cast<size_t>(y) * bytesPerRow() + static_cast<size_t>(x) * kBytesPerPixel;
}

size_t Picture::bytesPerRow() const { return static_cast<size_t>(m_width) * kBytesPerPixel; }

void Picture::resize(int width, int height) {
    width = std::max(width, 0);
    height = std::max(height, 0);
    if (width == m_width && height == m_height) return;
    Bytes next(static_cast<size_t>(width) * static_cast<size_t>(height) * kBytesPerPixel, 0);
    int keepW = std::min(width, m_width);
    int keepH = std::min(height, m_height);
    for (int row = 0; row < keepH; ++row) {
        std::memcpy(next.data() + static_cast<size_t>(row) * static_cast<size_t>(width) * kBytesPerPixel,
                    m_pixels.data() + static_cast<size_t>(row) * static_cast<size_t>(m_width) * kBytesPerPixel,
                    static_cast<size_t>(keepW) * kBytesPerPixel);
    }
    m_pixels = std::move(next);
    m_width = width;
    m_height = height;
}

bool Picture::paint(int x, int y, int width, int height, ByteView bgrx) {
    size_t rowBytes = static_cast<size_t>(width) * kBytesPerPixel;
    if (!contains(x, y, width, height) || bgrx.size() < rowBytes * static_cast<size_t>(height)) return false;
    for (int row = 0; row < height; ++row) {
        uint8_t* dst = m_pixels.data() +
                       (static_cast<size_t>(y + row) * static_cast<size_t>(m_width) + static_cast<size_t>(x)) * kBytesPerPixel;
        std::memcpy(dst, bgrx.data() + static_cast<size_t>(row) * rowBytes, rowBytes);
    }
    return true;
}

bool Picture::paintJpeg(int x, int y, int width, int height, ByteView jpeg, std::string& error) {
    if (!contains(x, y, width, height)) {
        error = platform::format("rectangle %d,%d %dx%d outside the %dx%d picture", x, y, width, height, m_width,
                                 m_height);
        return false;
    }
    // A fresh decoder per rectangle keeps Picture copyable; decoding dominates anyway.
    JpegDecoder decoder;
    DecodedImage image;
    if (!decoder.decode(jpeg, width, height, image, error)) return false;
    return paint(x, y, width, height, image.bgrx);
}

} // namespace refclient
