// Bitmap image representations: 8-bit samples, 3 or 4 a pixel, meshed, in memory the rep owns;
// written out as PNG or JPEG.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/coregraphics/CGGeometry.h"
#include "platform/coregraphics/CGImage.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace appkit {

using NSBitmapFormat = uint32_t;
inline constexpr NSBitmapFormat NSBitmapFormatAlphaFirst = 1;
inline constexpr NSBitmapFormat NSBitmapFormatAlphaNonpremultiplied = 2;
inline constexpr NSBitmapFormat NSBitmapFormatFloatingPointSamples = 4;
inline constexpr NSBitmapFormat NSBitmapFormatThirtyTwoBitLittleEndian = 512;

enum NSBitmapImageFileType : uint32_t {
    NSBitmapImageFileTypeTIFF = 0,
    NSBitmapImageFileTypeBMP = 1,
    NSBitmapImageFileTypeGIF = 2,
    NSBitmapImageFileTypeJPEG = 3,
    NSBitmapImageFileTypePNG = 4,
    NSBitmapImageFileTypeJPEG2000 = 5,
};

inline constexpr char NSCalibratedRGBColorSpace[] = "NSCalibratedRGBColorSpace";
inline constexpr char NSDeviceRGBColorSpace[] = "NSDeviceRGBColorSpace";

// A number from 0 to 1: the JPEG quality (1 when absent).
inline constexpr char NSImageCompressionFactor[] = "NSImageCompressionFactor";

class NSImageRep {
  public:
    virtual ~NSImageRep() = default;
    // Points.
    cg::CGSize size() const { return m_size; }
    void setSize(cg::CGSize size) { m_size = size; }

  protected:
    cg::CGSize m_size;
};

class NSBitmapImageRep : public NSImageRep {
  public:
    // initWithBitmapDataPlanes:pixelsWide:pixelsHigh:bitsPerSample:samplesPerPixel:hasAlpha:
    // isPlanar:colorSpaceName:bitmapFormat:bytesPerRow:bitsPerPixel: with no planes: the rep
    // allocates zeroed memory. Null unless the samples are 8 bits, 3 or 4 a pixel (4 exactly
    // when it has alpha), meshed, in an RGB colour space, with bitsPerPixel 0 or 8 × samples,
    // bytesPerRow 0 (packed) or enough for a row, and sides of 1 to 16384.
    static std::shared_ptr<NSBitmapImageRep>
    initWithBitmapDataPlanes(uint8_t** planes, int64_t pixelsWide, int64_t pixelsHigh, int64_t bitsPerSample,
                             int64_t samplesPerPixel, bool hasAlpha, bool isPlanar,
                             const std::string& colorSpaceName, NSBitmapFormat bitmapFormat,
                             int64_t bytesPerRow, int64_t bitsPerPixel);

    // A copy of the image's pixels in the image's own layout, its samples, bits and format flags
    // read from the image (the display side's: three samples in 32 bits a pixel, blue first in
    // memory, the fourth byte ignored). Null for a null image. Layouts the writers cannot read
    // (32-bit words without alpha in another order than B, G, R, X; alpha last in little-endian
    // words) draw from their image, and give no PNG or JPEG.
    static std::shared_ptr<NSBitmapImageRep> initWithCGImage(const cg::CGImageRef& image);
    // A rep of PNG or TIFF file bytes (RGBA, un-premultiplied for PNG); null, logged, for bytes
    // of another kind or that do not decode (NSImageNamed.cpp).
    static std::shared_ptr<NSBitmapImageRep> imageRepWithData(const std::vector<uint8_t>& data);
    // The image a rep was made from; for one made from planes with premultiplied alpha, an
    // image of a copy of its pixels as they are now (what a cached view drew); else null.
    cg::CGImageRef CGImage() const;
    // The layout of its pixels for a bitmap context when they are premultiplied 32-bit words
    // (what a view's look can be cached in); none otherwise.
    std::optional<cg::CGBitmapInfo> premultipliedBitmapInfo() const;

    uint8_t* bitmapData() { return m_data.data(); }
    const uint8_t* bitmapData() const { return m_data.data(); }
    int64_t pixelsWide() const { return m_pixelsWide; }
    int64_t pixelsHigh() const { return m_pixelsHigh; }
    int64_t bitsPerSample() const { return m_bitsPerSample; }
    int64_t samplesPerPixel() const { return m_samplesPerPixel; }
    int64_t bitsPerPixel() const { return m_bitsPerPixel; }
    int64_t bytesPerRow() const { return m_bytesPerRow; }
    bool hasAlpha() const { return m_hasAlpha; }
    bool isPlanar() const { return false; }
    NSBitmapFormat bitmapFormat() const { return m_bitmapFormat; }
    const std::string& colorSpaceName() const { return m_colorSpaceName; }

    // Reps of 8-bit samples only. PNG (type 4): RGBA un-premultiplied when the rep has alpha, else RGB; the
    // same pixels give the same bytes. JPEG (type 3): baseline JFIF, 4:2:0, alpha ignored, quality
    // NSImageCompressionFactor × 100 rounded half away from zero and held to 1...100 (absent
    // 1.0, not finite 0). Other types: nothing.
    std::optional<std::vector<uint8_t>> representationUsingType(NSBitmapImageFileType type,
                                                                const cf::Dictionary& properties) const;

  private:
    NSBitmapImageRep() = default;
    // Packed RGB rows widened to 32-bit pixels, blue first (the X byte ignored).
    std::vector<uint8_t> bgrxRows() const;
    std::optional<std::vector<uint8_t>> jpegRepresentation(const cf::Dictionary& properties) const;

    int64_t m_bitsPerSample = 8;
    cg::CGImageRef m_image;
    bool m_swappedWords = false; // 32-bit pixels without alpha, not B, G, R, X
    int64_t m_pixelsWide = 0;
    int64_t m_pixelsHigh = 0;
    int64_t m_samplesPerPixel = 4;
    int64_t m_bitsPerPixel = 32;
    int64_t m_bytesPerRow = 0;
    bool m_hasAlpha = true;
    NSBitmapFormat m_bitmapFormat = 0;
    std::string m_colorSpaceName;
    std::vector<uint8_t> m_data;
};

} // namespace appkit
