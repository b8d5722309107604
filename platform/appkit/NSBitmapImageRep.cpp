#include "platform/appkit/NSBitmapImageRep.h"

#include "platform/core/Log.h"
#include "platform/foundation/PNG.h"

namespace appkit {

std::shared_ptr<NSBitmapImageRep> NSBitmapImageRep::initWithBitmapDataPlanes(
    uint8_t** planes, int64_t pixelsWide, int64_t pixelsHigh, int64_t bitsPerSample, int64_t samplesPerPixel,
    bool hasAlpha, bool isPlanar, const std::string& colorSpaceName, NSBitmapFormat bitmapFormat,
    int64_t bytesPerRow, int64_t bitsPerPixel) {
    const bool rgb = colorSpaceName == NSCalibratedRGBColorSpace || colorSpaceName == NSDeviceRGBColorSpace;
    const bool samplesFit = hasAlpha ? samplesPerPixel == 4 : samplesPerPixel == 3;
    const bool knownFormat =
        (bitmapFormat & ~(NSBitmapFormatAlphaFirst | NSBitmapFormatAlphaNonpremultiplied |
                          NSBitmapFormatThirtyTwoBitLittleEndian)) == 0;
    const int64_t kMaxSide = png::kMaxDimension;
    if (bitsPerSample != 8 || !samplesFit || isPlanar || !rgb || !knownFormat || pixelsWide < 1 ||
        pixelsHigh < 1 || pixelsWide > kMaxSide || pixelsHigh > kMaxSide ||
        (bitsPerPixel != 0 && bitsPerPixel != 8 * samplesPerPixel) ||
        (bytesPerRow != 0 && bytesPerRow < pixelsWide * samplesPerPixel) || bytesPerRow > 64 * kMaxSide) {
        platform::log("NSBitmapImageRep: refused a %lldx%lld bitmap of %lld samples of %lld bits", pixelsWide,
                      pixelsHigh, samplesPerPixel, bitsPerSample);
        return nullptr;
    }
    std::shared_ptr<NSBitmapImageRep> rep(new NSBitmapImageRep);
    rep->m_pixelsWide = pixelsWide;
    rep->m_pixelsHigh = pixelsHigh;
    rep->m_samplesPerPixel = samplesPerPixel;
    rep->m_bytesPerRow = bytesPerRow != 0 ? bytesPerRow : pixelsWide * samplesPerPixel;
    rep->m_hasAlpha = hasAlpha;
    rep->m_bitmapFormat = bitmapFormat;
    rep->m_colorSpaceName = colorSpaceName;
    rep->m_size = {double(pixelsWide), double(pixelsHigh)};
    rep->m_data.assign(size_t(rep->m_bytesPerRow * pixelsHigh), 0);
    if (planes && planes[0]) std::copy(planes[0], planes[0] + rep->m_data.size(), rep->m_data.begin());
    return rep;
}

std::optional<std::vector<uint8_t>> NSBitmapImageRep::representationUsingType(NSBitmapImageFileType type,
                                                                              const cf::Dictionary&) const {
    if (type != NSBitmapImageFileTypePNG) return std::nullopt;
    const uint32_t width = uint32_t(m_pixelsWide);
    const uint32_t height = uint32_t(m_pixelsHigh);
    if (!m_hasAlpha) {
        // Widen RGB rows to the writer's 32-bit form; the X byte is ignored.
        std::vector<uint8_t> bgrx(size_t(width) * height * 4);
        for (uint32_t y = 0; y < height; ++y) {
            const uint8_t* row = m_data.data() + size_t(y) * size_t(m_bytesPerRow);
            uint8_t* out = bgrx.data() + size_t(y) * width * 4;
            for (uint32_t x = 0; x < width; ++x) {
                out[4 * x] = row[3 * x + 2];
                out[4 * x + 1] = row[3 * x + 1];
                out[4 * x + 2] = row[3 * x];
                out[4 * x + 3] = 0xFF;
            }
        }
        return png::encode(bgrx.data(), width, height, size_t(width) * 4, png::PixelFormat::BGRX);
    }

    const bool alphaFirst = m_bitmapFormat & NSBitmapFormatAlphaFirst;
    const bool premultiplied = !(m_bitmapFormat & NSBitmapFormatAlphaNonpremultiplied);
    const bool littleEndian = m_bitmapFormat & NSBitmapFormatThirtyTwoBitLittleEndian;
    png::PixelFormat format;
    if (littleEndian) {
        // A 32-bit little-endian word of alpha-first ARGB lies in memory as B, G, R, A.
        if (!alphaFirst) return std::nullopt;
        format = premultiplied ? png::PixelFormat::PremultipliedBGRA : png::PixelFormat::BGRA;
    } else if (alphaFirst) {
        format = premultiplied ? png::PixelFormat::PremultipliedARGB : png::PixelFormat::ARGB;
    } else {
        format = premultiplied ? png::PixelFormat::PremultipliedRGBA : png::PixelFormat::RGBA;
    }
    return png::encode(m_data.data(), width, height, size_t(m_bytesPerRow), format);
}

} // namespace appkit
