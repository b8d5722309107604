#include "platform/videotoolbox/PixelConversion.h"

namespace vt {

namespace {

inline uint8_t luma(int r, int g, int b) {
    return uint8_t(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
}
inline uint8_t chromaBlue(int r, int g, int b) {
    return uint8_t(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
}
inline uint8_t chromaRed(int r, int g, int b) {
    return uint8_t(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
}

} // namespace

void ConvertBGRAToI420(const uint8_t* bgra, size_t pitch, int width, int height, uint8_t* y, uint8_t* u,
                       uint8_t* v) {
    const size_t chromaWidth = size_t(width / 2);
    for (int cy = 0; cy < height / 2; ++cy) {
        const uint8_t* src[2] = {bgra + size_t(2 * cy) * pitch, bgra + size_t(2 * cy + 1) * pitch};
        uint8_t* out[2] = {y + size_t(2 * cy) * size_t(width), y + size_t(2 * cy + 1) * size_t(width)};
        for (size_t cx = 0; cx < chromaWidth; ++cx) {
            int r = 0, g = 0, b = 0;
            for (int dy = 0; dy < 2; ++dy)
                for (size_t dx = 0; dx < 2; ++dx) {
                    const uint8_t* p = src[dy] + 4 * (2 * cx + dx);
                    out[dy][2 * cx + dx] = luma(p[2], p[1], p[0]);
                    b += p[0], g += p[1], r += p[2];
                }
            r = (r + 2) / 4, g = (g + 2) / 4, b = (b + 2) / 4;
            u[size_t(cy) * chromaWidth + cx] = chromaBlue(r, g, b);
            v[size_t(cy) * chromaWidth + cx] = chromaRed(r, g, b);
        }
    }
}

void ConvertBGRAToI444(const uint8_t* bgra, size_t pitch, int width, int height, uint8_t* y, uint8_t* u,
                       uint8_t* v) {
    for (int row = 0; row < height; ++row) {
        const uint8_t* p = bgra + size_t(row) * pitch;
        const size_t at = size_t(row) * size_t(width);
        for (int x = 0; x < width; ++x, p += 4) {
            y[at + size_t(x)] = luma(p[2], p[1], p[0]);
            u[at + size_t(x)] = chromaBlue(p[2], p[1], p[0]);
            v[at + size_t(x)] = chromaRed(p[2], p[1], p[0]);
        }
    }
}

} // namespace vt
