// What the device shows: BGRX pixels, 8 bits per channel, rows packed.
#pragma once

#include "tools/refclient/Bytes.h"

#include <string>

namespace refclient {

class Picture {
public:
    Picture() = default;
    Picture(int width, int height);

    int width() const { return m_width; }
    int height() const { return m_height; }
    const Bytes& pixels() const { return m_pixels; }
    // Pixel as 0xXXRRGGBB read from the BGRX bytes; 0 outside the picture.
    uint32_t pixel(int x, int y) const;
    bool contains(int x, int y, int width, int height) const;
    // Where pixel (x, y) is kept, for writing a rectangle in place; null outside the picture.
    // Valid until the next resize.
    uint8_t* pixelAddress(int x, int y);
    size_t bytesPerRow() const;

    // Keeps the overlap of old and new sizes; the new area is black.
    void resize(int width, int height);
    // Copies a width x height BGRX block to (x, y); false when it does not lie inside.
    bool paint(int x, int y, int width, int height, ByteView bgrx);
    // Decodes a baseline JPEG of exactly width x height into the picture at (x, y).
    bool paintJpeg(int x, int y, int width, int height, ByteView jpeg, std::string& error);

private:
    int m_width = 0;
    int m_height = 0;
    Bytes m_pixels;
};

} // namespace refclient
