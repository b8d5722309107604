#include "platform/appkit/NSBitmapImageRep.h"

#include "platform/appkit/NSColor.h"

#include "platform/core/Log.h"
#include "platform/foundation/PNG.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>

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
    rep->m_bitsPerPixel = 8 * samplesPerPixel;
    rep->m_bytesPerRow = bytesPerRow != 0 ? bytesPerRow : pixelsWide * samplesPerPixel;
    rep->m_hasAlpha = hasAlpha;
    rep->m_bitmapFormat = bitmapFormat;
    rep->m_colorSpaceName = colorSpaceName;
    rep->m_size = {double(pixelsWide), double(pixelsHigh)};
    rep->m_data.assign(size_t(rep->m_bytesPerRow * pixelsHigh), 0);
    if (planes && planes[0]) std::copy(planes[0], planes[0] + rep->m_data.size(), rep->m_data.begin());
    return rep;
}

std::optional<cg::CGBitmapInfo> NSBitmapImageRep::premultipliedBitmapInfo() const {
    if (m_bitsPerSample != 8 || m_bitsPerPixel != 32 || !m_hasAlpha ||
        (m_bitmapFormat & (NSBitmapFormatAlphaNonpremultiplied | NSBitmapFormatFloatingPointSamples)))
        return std::nullopt;
    return ((m_bitmapFormat & NSBitmapFormatAlphaFirst) ? cg::kCGImageAlphaPremultipliedFirst
                                                        : cg::kCGImageAlphaPremultipliedLast) |
           ((m_bitmapFormat & NSBitmapFormatThirtyTwoBitLittleEndian) ? cg::kCGBitmapByteOrder32Little
                                                                      : cg::kCGBitmapByteOrder32Big);
}

cg::CGImageRef NSBitmapImageRep::CGImage() const {
    const auto info = premultipliedBitmapInfo();
    if (m_image || !info) return m_image;
    return cg::CGImageCreate(size_t(m_pixelsWide), size_t(m_pixelsHigh), 8, 32, size_t(m_bytesPerRow), *info,
                             cg::CGDataProviderCreateWithData(m_data));
}

namespace {

// The writers read 8-bit samples in 32-bit pixels without alpha as B, G, R, X: any other order
// would be written with its colours swapped. (Orders with alpha they cannot read they refuse.)
bool swappedWordLayout(const cg::CGImage& image) {
    if (image.bitsPerComponent != 8 || image.bitsPerPixel != 32) return false;
    const uint32_t alpha = image.bitmapInfo & cg::kCGBitmapAlphaInfoMask;
    const bool little = (image.bitmapInfo & cg::kCGBitmapByteOrderMask) == cg::kCGBitmapByteOrder32Little;
    if (alpha == cg::kCGImageAlphaNoneSkipFirst) return !little;
    return alpha == cg::kCGImageAlphaNoneSkipLast;
}

} // namespace

std::shared_ptr<NSBitmapImageRep> NSBitmapImageRep::initWithCGImage(const cg::CGImageRef& image) {
    if (!image || !image->bytes) return nullptr;
    const cg::CGImageAlphaInfo alpha = cg::CGImageGetAlphaInfo(image);
    const bool hasAlpha = alpha == cg::kCGImageAlphaPremultipliedLast ||
                          alpha == cg::kCGImageAlphaPremultipliedFirst || alpha == cg::kCGImageAlphaLast ||
                          alpha == cg::kCGImageAlphaFirst || alpha == cg::kCGImageAlphaOnly;
    const size_t colours = alpha == cg::kCGImageAlphaOnly ? 0
                           : image->space ? cg::CGColorSpaceGetNumberOfComponents(image->space)
                                          : 3;
    NSBitmapFormat format = 0;
    if (alpha == cg::kCGImageAlphaPremultipliedFirst || alpha == cg::kCGImageAlphaFirst)
        format |= NSBitmapFormatAlphaFirst;
    if (alpha == cg::kCGImageAlphaLast || alpha == cg::kCGImageAlphaFirst)
        format |= NSBitmapFormatAlphaNonpremultiplied;
    if (image->bitmapInfo & cg::kCGBitmapFloatComponents) format |= NSBitmapFormatFloatingPointSamples;
    if ((image->bitmapInfo & cg::kCGBitmapByteOrderMask) == cg::kCGBitmapByteOrder32Little)
        format |= NSBitmapFormatThirtyTwoBitLittleEndian;
    std::shared_ptr<NSBitmapImageRep> rep(new NSBitmapImageRep);
    rep->m_image = image;
    rep->m_swappedWords = swappedWordLayout(*image);
    rep->m_bitsPerSample = int64_t(image->bitsPerComponent);
    rep->m_pixelsWide = int64_t(image->width);
    rep->m_pixelsHigh = int64_t(image->height);
    rep->m_samplesPerPixel = int64_t(colours + (hasAlpha ? 1 : 0));
    rep->m_bitsPerPixel = int64_t(image->bitsPerPixel);
    rep->m_bytesPerRow = int64_t(image->bytesPerRow);
    rep->m_hasAlpha = hasAlpha;
    rep->m_bitmapFormat = format;
    rep->m_colorSpaceName = colours == 3 ? NSDeviceRGBColorSpace : NSDeviceWhiteColorSpace;
    rep->m_size = {double(image->width), double(image->height)};
    const uint8_t* bytes = image->bytes.get();
    // The image's bytes end with its last row's pixels (a cut of a larger image ends there too):
    // the rest of the last row is padding of the rep's own.
    rep->m_data.assign(bytes, bytes + image->byteCount());
    rep->m_data.resize(image->bytesPerRow * image->height, 0);
    return rep;
}

std::vector<uint8_t> NSBitmapImageRep::bgrxRows() const {
    // Widen packed RGB rows; the X byte is ignored.
    const size_t width = size_t(m_pixelsWide), height = size_t(m_pixelsHigh);
    std::vector<uint8_t> bgrx(width * height * 4);
    for (size_t y = 0; y < height; ++y) {
        const uint8_t* row = m_data.data() + y * size_t(m_bytesPerRow);
        uint8_t* out = bgrx.data() + y * width * 4;
        for (size_t x = 0; x < width; ++x) {
            out[4 * x] = row[3 * x + 2];
            out[4 * x + 1] = row[3 * x + 1];
            out[4 * x + 2] = row[3 * x];
            out[4 * x + 3] = 0xFF;
        }
    }
    return bgrx;
}

std::optional<std::vector<uint8_t>>
NSBitmapImageRep::representationUsingType(NSBitmapImageFileType type,
                                          const cf::Dictionary& properties) const {
    if (m_bitsPerSample != 8 || (m_samplesPerPixel != 3 && m_samplesPerPixel != 4)) {
        platform::log("NSBitmapImageRep: no file of a bitmap of %lld samples of %lld bits",
                      (long long)m_samplesPerPixel, (long long)m_bitsPerSample);
        return std::nullopt;
    }
    if (m_swappedWords) {
        platform::log("NSBitmapImageRep: no file of a bitmap whose 32-bit pixels are not blue, green, red first");
        return std::nullopt;
    }
    if (type == NSBitmapImageFileTypeJPEG) return jpegRepresentation(properties);
    if (type != NSBitmapImageFileTypePNG) return std::nullopt;
    const uint32_t width = uint32_t(m_pixelsWide);
    const uint32_t height = uint32_t(m_pixelsHigh);
    if (!m_hasAlpha) {
        if (m_bitsPerPixel == 32)
            return png::encode(m_data.data(), width, height, size_t(m_bytesPerRow), png::PixelFormat::BGRX);
        std::vector<uint8_t> bgrx = bgrxRows();
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

namespace appkit {

std::optional<std::vector<uint8_t>>
NSBitmapImageRep::jpegRepresentation(const cf::Dictionary& properties) const {
    double factor = 1.0;
    auto found = properties.find(NSImageCompressionFactor);
    if (found != properties.end() && found->second.isNumber()) factor = found->second.doubleValue();
    if (!std::isfinite(factor)) factor = 0.0;
    const int quality = int(std::clamp(std::round(factor * 100.0), 1.0, 100.0));

    // The pixel layout TurboJPEG reads, alpha (where there is one) ignored.
    int pixelFormat;
    if (!m_hasAlpha) {
        pixelFormat = m_bitsPerPixel == 32 ? TJPF_BGRX : TJPF_RGB;
    } else if (m_bitmapFormat & NSBitmapFormatThirtyTwoBitLittleEndian) {
        if (!(m_bitmapFormat & NSBitmapFormatAlphaFirst)) return std::nullopt;
        pixelFormat = TJPF_BGRA;
    } else {
        pixelFormat = (m_bitmapFormat & NSBitmapFormatAlphaFirst) ? TJPF_ARGB : TJPF_RGBA;
    }
    tjhandle handle = tjInitCompress();
    if (!handle) return std::nullopt;
    unsigned char* jpeg = nullptr;
    unsigned long jpegSize = 0;
    int status = tjCompress2(handle, m_data.data(), int(m_pixelsWide), int(m_bytesPerRow), int(m_pixelsHigh),
                             pixelFormat, &jpeg, &jpegSize, TJSAMP_420, quality, 0);
    std::optional<std::vector<uint8_t>> out;
    if (status == 0 && jpeg) {
        out.emplace(jpeg, jpeg + jpegSize);
    } else {
        platform::log("NSBitmapImageRep: JPEG of a %lldx%lld bitmap failed: %s", (long long)m_pixelsWide,
                      (long long)m_pixelsHigh, tjGetErrorStr2(handle));
    }
    tjFree(jpeg);
    tjDestroy(handle);
    return out;
}

} // namespace appkit
