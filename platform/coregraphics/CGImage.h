// Images and bitmap contexts: 8 bits a component, 32 bits a pixel, blue first in memory
// (no alpha, first component skipped, 32-bit little-endian), the one format the display side
// reads and writes. Images are immutable and share their bytes; a cut of an image is a view.
#pragma once

#include "platform/coregraphics/CGGeometry.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace cg {

using CGBitmapInfo = uint32_t;
inline constexpr CGBitmapInfo kCGImageAlphaNoneSkipFirst = 6;
inline constexpr CGBitmapInfo kCGBitmapAlphaInfoMask = 0x1F;
inline constexpr CGBitmapInfo kCGBitmapByteOrder32Little = 2u << 12;
inline constexpr CGBitmapInfo kCGBitmapByteOrderMask = 0x7000;
// The format every image and context here has.
inline constexpr CGBitmapInfo kCGBitmapBGRX = kCGImageAlphaNoneSkipFirst | kCGBitmapByteOrder32Little;

enum CGInterpolationQuality : int32_t {
    kCGInterpolationDefault = 0,
    kCGInterpolationNone = 1,
    kCGInterpolationLow = 2,
    kCGInterpolationMedium = 4,
    kCGInterpolationHigh = 3,
};

// A data provider: bytes kept alive for as long as an image uses them.
using CGDataProviderRef = std::shared_ptr<const std::vector<uint8_t>>;
CGDataProviderRef CGDataProviderCreateWithData(std::vector<uint8_t> bytes);

struct CGImage {
    size_t width = 0;
    size_t height = 0;
    size_t bytesPerRow = 0;
    std::shared_ptr<const uint8_t> bytes; // the first pixel; owns (or shares) the memory
};
using CGImageRef = std::shared_ptr<const CGImage>;

// Null unless 8 bits a component, 32 a pixel, the BGRX bitmap info, rows of at least 4 ×
// width bytes, sides of 1 to 16384, and a provider holding every row.
CGImageRef CGImageCreate(size_t width, size_t height, size_t bitsPerComponent, size_t bitsPerPixel,
                         size_t bytesPerRow, CGBitmapInfo bitmapInfo, const CGDataProviderRef& provider);
// An image over memory someone else keeps alive (owner shares it).
CGImageRef CGImageCreateWithBytes(size_t width, size_t height, size_t bytesPerRow,
                                  std::shared_ptr<const uint8_t> bytes);
size_t CGImageGetWidth(const CGImageRef& image);
size_t CGImageGetHeight(const CGImageRef& image);
size_t CGImageGetBytesPerRow(const CGImageRef& image);
size_t CGImageGetBitsPerPixel(const CGImageRef& image);
CGBitmapInfo CGImageGetBitmapInfo(const CGImageRef& image);
const uint8_t* CGImageGetBytePtr(const CGImageRef& image);
// The part of the image inside rect (pixels, made integral), sharing its bytes; null when
// rect does not meet the image.
CGImageRef CGImageCreateWithImageInRect(const CGImageRef& image, CGRect rect);

// Bitmap contexts.
struct CGContext;
using CGContextRef = std::shared_ptr<CGContext>;
// data null: the context allocates (zeroed) memory. Null unless the format is the BGRX one
// and the rows fit; a caller's data must hold bytesPerRow × height bytes.
CGContextRef CGBitmapContextCreate(void* data, size_t width, size_t height, size_t bitsPerComponent,
                                   size_t bytesPerRow, CGBitmapInfo bitmapInfo);
void* CGBitmapContextGetData(const CGContextRef& context);
size_t CGBitmapContextGetWidth(const CGContextRef& context);
size_t CGBitmapContextGetHeight(const CGContextRef& context);
size_t CGBitmapContextGetBytesPerRow(const CGContextRef& context);
void CGContextSetInterpolationQuality(const CGContextRef& context, CGInterpolationQuality quality);
// Draws image scaled into rect (context pixels, origin at the bottom-left corner).
void CGContextDrawImage(const CGContextRef& context, CGRect rect, const CGImageRef& image);
// A copy of the context's pixels.
CGImageRef CGBitmapContextCreateImage(const CGContextRef& context);

} // namespace cg
