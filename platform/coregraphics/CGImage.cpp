#include "platform/coregraphics/CGImage.h"

#include <pixman.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace cg {

namespace {

constexpr size_t kMaxSide = 16384;

bool sidesFit(size_t width, size_t height, size_t bytesPerRow) {
    return width >= 1 && height >= 1 && width <= kMaxSide && height <= kMaxSide && bytesPerRow >= width * 4;
}

} // namespace

struct CGContext {
    uint8_t* data = nullptr;
    std::vector<uint8_t> own;
    size_t width = 0;
    size_t height = 0;
    size_t bytesPerRow = 0;
    CGInterpolationQuality quality = kCGInterpolationDefault;
};

CGDataProviderRef CGDataProviderCreateWithData(std::vector<uint8_t> bytes) {
    return std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
}

CGImageRef CGImageCreate(size_t width, size_t height, size_t bitsPerComponent, size_t bitsPerPixel,
                         size_t bytesPerRow, CGBitmapInfo bitmapInfo, const CGDataProviderRef& provider) {
    if (bitsPerComponent != 8 || bitsPerPixel != 32 || bitmapInfo != kCGBitmapBGRX || !provider)
        return nullptr;
    if (!sidesFit(width, height, bytesPerRow)) return nullptr;
    if (provider->size() < bytesPerRow * (height - 1) + width * 4) return nullptr;
    return CGImageCreateWithBytes(width, height, bytesPerRow,
                                  std::shared_ptr<const uint8_t>(provider, provider->data()));
}

CGImageRef CGImageCreateWithBytes(size_t width, size_t height, size_t bytesPerRow,
                                  std::shared_ptr<const uint8_t> bytes) {
    if (!bytes || !sidesFit(width, height, bytesPerRow)) return nullptr;
    auto image = std::make_shared<CGImage>();
    image->width = width;
    image->height = height;
    image->bytesPerRow = bytesPerRow;
    image->bytes = std::move(bytes);
    return image;
}

size_t CGImageGetWidth(const CGImageRef& image) {
    return image ? image->width : 0;
}
size_t CGImageGetHeight(const CGImageRef& image) {
    return image ? image->height : 0;
}
size_t CGImageGetBytesPerRow(const CGImageRef& image) {
    return image ? image->bytesPerRow : 0;
}
size_t CGImageGetBitsPerPixel(const CGImageRef& image) {
    return image ? 32 : 0;
}
CGBitmapInfo CGImageGetBitmapInfo(const CGImageRef& image) {
    return image ? kCGBitmapBGRX : 0;
}
const uint8_t* CGImageGetBytePtr(const CGImageRef& image) {
    return image ? image->bytes.get() : nullptr;
}

CGImageRef CGImageCreateWithImageInRect(const CGImageRef& image, CGRect rect) {
    if (!image) return nullptr;
    CGRect r = CGRectIntersection(CGRectIntegral(rect),
                                  CGRectMake(0, 0, double(image->width), double(image->height)));
    if (CGRectIsEmpty(r)) return nullptr;
    size_t x = size_t(r.origin.x), y = size_t(r.origin.y);
    const uint8_t* first = image->bytes.get() + y * image->bytesPerRow + x * 4;
    return CGImageCreateWithBytes(size_t(r.size.width), size_t(r.size.height), image->bytesPerRow,
                                  std::shared_ptr<const uint8_t>(image->bytes, first));
}

CGContextRef CGBitmapContextCreate(void* data, size_t width, size_t height, size_t bitsPerComponent,
                                   size_t bytesPerRow, CGBitmapInfo bitmapInfo) {
    if (bitsPerComponent != 8 || bitmapInfo != kCGBitmapBGRX) return nullptr;
    if (bytesPerRow == 0) bytesPerRow = width * 4;
    if (!sidesFit(width, height, bytesPerRow) || bytesPerRow % 4 != 0) return nullptr;
    auto context = std::make_shared<CGContext>();
    context->width = width;
    context->height = height;
    context->bytesPerRow = bytesPerRow;
    if (data) {
        context->data = static_cast<uint8_t*>(data);
    } else {
        context->own.assign(bytesPerRow * height, 0);
        context->data = context->own.data();
    }
    return context;
}

void* CGBitmapContextGetData(const CGContextRef& c) {
    return c ? c->data : nullptr;
}
size_t CGBitmapContextGetWidth(const CGContextRef& c) {
    return c ? c->width : 0;
}
size_t CGBitmapContextGetHeight(const CGContextRef& c) {
    return c ? c->height : 0;
}
size_t CGBitmapContextGetBytesPerRow(const CGContextRef& c) {
    return c ? c->bytesPerRow : 0;
}
void CGContextSetInterpolationQuality(const CGContextRef& c, CGInterpolationQuality quality) {
    if (c) c->quality = quality;
}

void CGContextDrawImage(const CGContextRef& c, CGRect rect, const CGImageRef& image) {
    if (!c || !image) return;
    rect = CGRectStandardize(rect);
    if (!std::isfinite(rect.origin.x) || !std::isfinite(rect.origin.y) || !std::isfinite(rect.size.width) ||
        !std::isfinite(rect.size.height) || rect.size.width <= 0 || rect.size.height <= 0)
        return;
    // Context coordinates have their origin at the bottom; memory rows start at the top.
    double top = double(c->height) - (rect.origin.y + rect.size.height);
    pixman_image_t* src = pixman_image_create_bits(
        PIXMAN_x8r8g8b8, int(image->width), int(image->height),
        reinterpret_cast<uint32_t*>(const_cast<uint8_t*>(image->bytes.get())), int(image->bytesPerRow));
    pixman_image_t* dst = pixman_image_create_bits(PIXMAN_x8r8g8b8, int(c->width), int(c->height),
                                                   reinterpret_cast<uint32_t*>(c->data), int(c->bytesPerRow));
    if (src && dst) {
        pixman_transform_t transform;
        pixman_transform_init_scale(&transform,
                                    pixman_double_to_fixed(double(image->width) / rect.size.width),
                                    pixman_double_to_fixed(double(image->height) / rect.size.height));
        pixman_image_set_transform(src, &transform);
        bool nearest = c->quality == kCGInterpolationNone;
        pixman_image_set_filter(src, nearest ? PIXMAN_FILTER_NEAREST : PIXMAN_FILTER_BILINEAR, nullptr, 0);
        pixman_image_set_repeat(src, PIXMAN_REPEAT_PAD);
        int dx = int(std::lround(rect.origin.x)), dy = int(std::lround(top));
        int w = int(std::lround(rect.size.width)), h = int(std::lround(rect.size.height));
        pixman_image_composite32(PIXMAN_OP_SRC, src, nullptr, dst, 0, 0, 0, 0, dx, dy, w, h);
    }
    if (src) pixman_image_unref(src);
    if (dst) pixman_image_unref(dst);
}

CGImageRef CGBitmapContextCreateImage(const CGContextRef& c) {
    if (!c) return nullptr;
    std::vector<uint8_t> bytes(c->data, c->data + c->bytesPerRow * c->height);
    return CGImageCreate(c->width, c->height, 8, 32, c->bytesPerRow, kCGBitmapBGRX,
                         CGDataProviderCreateWithData(std::move(bytes)));
}

} // namespace cg
