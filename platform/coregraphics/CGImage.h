// Images: immutable pixels in one of the layouts bitmap contexts draw (PixelLayout.h): 8-bit
// grey, 8-bit alpha-only, 8-bit RGB in 32-bit pixels, 32-bit float RGBA. The display side
// reads and writes blue first in memory (no alpha, first component skipped, 32-bit
// little-endian). Images share their bytes; a cut of an image is a view.
#pragma once

#include "platform/coregraphics/CGColor.h"
#include "platform/coregraphics/CGGeometry.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace cg {

using CGBitmapInfo = uint32_t;
enum CGImageAlphaInfo : uint32_t {
    kCGImageAlphaNone = 0,
    kCGImageAlphaPremultipliedLast = 1,
    kCGImageAlphaPremultipliedFirst = 2,
    kCGImageAlphaLast = 3,
    kCGImageAlphaFirst = 4,
    kCGImageAlphaNoneSkipLast = 5,
    kCGImageAlphaNoneSkipFirst = 6,
    kCGImageAlphaOnly = 7,
};
inline constexpr CGBitmapInfo kCGBitmapAlphaInfoMask = 0x1F;
inline constexpr CGBitmapInfo kCGBitmapFloatComponents = 1u << 8;
inline constexpr CGBitmapInfo kCGBitmapByteOrderMask = 0x7000;
inline constexpr CGBitmapInfo kCGBitmapByteOrderDefault = 0;
inline constexpr CGBitmapInfo kCGBitmapByteOrder16Little = 1u << 12;
inline constexpr CGBitmapInfo kCGBitmapByteOrder32Little = 2u << 12;
inline constexpr CGBitmapInfo kCGBitmapByteOrder16Big = 3u << 12;
inline constexpr CGBitmapInfo kCGBitmapByteOrder32Big = 4u << 12;
// The display side's format.
inline constexpr CGBitmapInfo kCGBitmapBGRX = kCGImageAlphaNoneSkipFirst | kCGBitmapByteOrder32Little;

enum CGInterpolationQuality : int32_t {
    kCGInterpolationDefault = 0,
    kCGInterpolationNone = 1,
    kCGInterpolationLow = 2,
    kCGInterpolationMedium = 4,
    kCGInterpolationHigh = 3,
};

enum CGColorRenderingIntent : int32_t {
    kCGRenderingIntentDefault = 0,
    kCGRenderingIntentAbsoluteColorimetric = 1,
    kCGRenderingIntentRelativeColorimetric = 2,
    kCGRenderingIntentPerceptual = 3,
    kCGRenderingIntentSaturation = 4,
};

// A data provider: bytes kept alive for as long as an image uses them. One made over the
// caller's memory calls its release callback (info, data, size) when the last user lets go.
using CGDataProviderReleaseDataCallback = void (*)(void* info, const void* data, size_t size);
struct CGDataProvider {
    const uint8_t* data = nullptr;
    size_t size = 0;
    std::vector<uint8_t> own;
    void* info = nullptr;
    CGDataProviderReleaseDataCallback release = nullptr;
    CGDataProvider() = default;
    CGDataProvider(const CGDataProvider&) = delete;
    CGDataProvider& operator=(const CGDataProvider&) = delete;
    ~CGDataProvider();
};
using CGDataProviderRef = std::shared_ptr<const CGDataProvider>;
CGDataProviderRef CGDataProviderCreateWithData(std::vector<uint8_t> bytes);
// Null (and release called at once) for null data.
CGDataProviderRef CGDataProviderCreateWithData(void* info, const void* data, size_t size,
                                               CGDataProviderReleaseDataCallback release);
std::vector<uint8_t> CGDataProviderCopyData(const CGDataProviderRef& provider);

struct CGImage {
    size_t width = 0;
    size_t height = 0;
    size_t bytesPerRow = 0;
    size_t bitsPerComponent = 8;
    size_t bitsPerPixel = 32;
    CGBitmapInfo bitmapInfo = kCGBitmapBGRX;
    CGColorSpaceRef space;
    std::vector<CGFloat> decode;
    bool shouldInterpolate = true;
    CGColorRenderingIntent intent = kCGRenderingIntentDefault;
    std::shared_ptr<const uint8_t> bytes; // the first pixel; owns (or shares) the memory
    // Bytes from the first pixel to the end of the last row's pixels.
    size_t byteCount() const { return bytesPerRow * (height - 1) + width * (bitsPerPixel / 8); }
};
using CGImageRef = std::shared_ptr<const CGImage>;

// Null unless a layout bitmap contexts draw, rows of at least width pixels, sides of 1 to
// 16384, and a provider holding every row.
CGImageRef CGImageCreate(size_t width, size_t height, size_t bitsPerComponent, size_t bitsPerPixel,
                         size_t bytesPerRow, const CGColorSpaceRef& space, CGBitmapInfo bitmapInfo,
                         const CGDataProviderRef& provider, const CGFloat* decode, bool shouldInterpolate,
                         CGColorRenderingIntent intent);
// The display side's form: device RGB.
CGImageRef CGImageCreate(size_t width, size_t height, size_t bitsPerComponent, size_t bitsPerPixel,
                         size_t bytesPerRow, CGBitmapInfo bitmapInfo, const CGDataProviderRef& provider);
// A BGRX image over memory someone else keeps alive (owner shares it).
CGImageRef CGImageCreateWithBytes(size_t width, size_t height, size_t bytesPerRow,
                                  std::shared_ptr<const uint8_t> bytes);
size_t CGImageGetWidth(const CGImageRef& image);
size_t CGImageGetHeight(const CGImageRef& image);
size_t CGImageGetBytesPerRow(const CGImageRef& image);
size_t CGImageGetBitsPerComponent(const CGImageRef& image);
size_t CGImageGetBitsPerPixel(const CGImageRef& image);
CGBitmapInfo CGImageGetBitmapInfo(const CGImageRef& image);
CGImageAlphaInfo CGImageGetAlphaInfo(const CGImageRef& image);
CGColorSpaceRef CGImageGetColorSpace(const CGImageRef& image);
const CGFloat* CGImageGetDecode(const CGImageRef& image); // null when the image has none
bool CGImageGetShouldInterpolate(const CGImageRef& image);
CGColorRenderingIntent CGImageGetRenderingIntent(const CGImageRef& image);
const uint8_t* CGImageGetBytePtr(const CGImageRef& image);
// A provider sharing the image's bytes (from its first pixel).
CGDataProviderRef CGImageGetDataProvider(const CGImageRef& image);
// The part of the image inside rect (pixels, made integral), sharing its bytes; null when
// rect does not meet the image.
CGImageRef CGImageCreateWithImageInRect(const CGImageRef& image, CGRect rect);

} // namespace cg

// Bitmap contexts and drawing: most callers of images draw them.
#include "platform/coregraphics/CGContext.h"
