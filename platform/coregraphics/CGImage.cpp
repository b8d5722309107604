#include "platform/coregraphics/CGImage.h"

#include "platform/core/Log.h"
#include "platform/coregraphics/PixelLayout.h"

#include <cmath>

namespace cg {

namespace {

constexpr size_t kMaxSide = 16384;

bool sidesFit(size_t width, size_t height, size_t bytesPerRow, size_t bytesPerPixel) {
    return width >= 1 && height >= 1 && width <= kMaxSide && height <= kMaxSide &&
           bytesPerRow >= width * bytesPerPixel && bytesPerRow <= kMaxSide * 64;
}

} // namespace

CGDataProvider::~CGDataProvider() {
    if (release) release(info, data, size);
}

CGDataProviderRef CGDataProviderCreateWithData(std::vector<uint8_t> bytes) {
    auto provider = std::make_shared<CGDataProvider>();
    provider->own = std::move(bytes);
    provider->data = provider->own.data();
    provider->size = provider->own.size();
    return provider;
}

CGDataProviderRef CGDataProviderCreateWithData(void* info, const void* data, size_t size,
                                               CGDataProviderReleaseDataCallback release) {
    if (!data) {
        if (release) release(info, data, size);
        return nullptr;
    }
    auto provider = std::make_shared<CGDataProvider>();
    provider->data = static_cast<const uint8_t*>(data);
    provider->size = size;
    provider->info = info;
    provider->release = release;
    return provider;
}

std::vector<uint8_t> CGDataProviderCopyData(const CGDataProviderRef& provider) {
    if (!provider || !provider->data) return {};
    return std::vector<uint8_t>(provider->data, provider->data + provider->size);
}

CGImageRef CGImageCreate(size_t width, size_t height, size_t bitsPerComponent, size_t bitsPerPixel,
                         size_t bytesPerRow, const CGColorSpaceRef& space, CGBitmapInfo bitmapInfo,
                         const CGDataProviderRef& provider, const CGFloat* decode, bool shouldInterpolate,
                         CGColorRenderingIntent intent) {
    auto layout =
        detail::pixelLayout(bitsPerComponent, bitsPerPixel, bitmapInfo, CGColorSpaceGetModel(space));
    if (!layout || !provider || !provider->data) {
        platform::log(
            "CGImageCreate: unsupported image layout (%zu bits a component, %zu a pixel, info 0x%x)",
            bitsPerComponent, bitsPerPixel, bitmapInfo);
        return nullptr;
    }
    if (!sidesFit(width, height, bytesPerRow, layout->bytesPerPixel) ||
        provider->size < bytesPerRow * (height - 1) + width * layout->bytesPerPixel) {
        platform::log("CGImageCreate: %zux%zu rows of %zu bytes do not fit %zu bytes", width, height,
                      bytesPerRow, provider->size);
        return nullptr;
    }
    auto image = std::make_shared<CGImage>();
    image->width = width;
    image->height = height;
    image->bytesPerRow = bytesPerRow;
    image->bitsPerComponent = bitsPerComponent;
    image->bitsPerPixel = bitsPerPixel;
    image->bitmapInfo = bitmapInfo;
    image->space = space;
    if (decode)
        image->decode.assign(decode, decode + 2 * (CGColorSpaceGetNumberOfComponents(space) +
                                                   (layout->kind == detail::PixelKind::Alpha8)));
    image->shouldInterpolate = shouldInterpolate;
    image->intent = intent;
    image->bytes = std::shared_ptr<const uint8_t>(provider, provider->data);
    return image;
}

CGImageRef CGImageCreate(size_t width, size_t height, size_t bitsPerComponent, size_t bitsPerPixel,
                         size_t bytesPerRow, CGBitmapInfo bitmapInfo, const CGDataProviderRef& provider) {
    return CGImageCreate(width, height, bitsPerComponent, bitsPerPixel, bytesPerRow,
                         CGColorSpaceCreateDeviceRGB(), bitmapInfo, provider, nullptr, true,
                         kCGRenderingIntentDefault);
}

CGImageRef CGImageCreateWithBytes(size_t width, size_t height, size_t bytesPerRow,
                                  std::shared_ptr<const uint8_t> bytes) {
    if (!bytes || !sidesFit(width, height, bytesPerRow, 4)) return nullptr;
    auto image = std::make_shared<CGImage>();
    image->width = width;
    image->height = height;
    image->bytesPerRow = bytesPerRow;
    image->space = CGColorSpaceCreateDeviceRGB();
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
size_t CGImageGetBitsPerComponent(const CGImageRef& image) {
    return image ? image->bitsPerComponent : 0;
}
size_t CGImageGetBitsPerPixel(const CGImageRef& image) {
    return image ? image->bitsPerPixel : 0;
}
CGBitmapInfo CGImageGetBitmapInfo(const CGImageRef& image) {
    return image ? image->bitmapInfo : 0;
}
CGImageAlphaInfo CGImageGetAlphaInfo(const CGImageRef& image) {
    return CGImageAlphaInfo(image ? image->bitmapInfo & kCGBitmapAlphaInfoMask : 0);
}
CGColorSpaceRef CGImageGetColorSpace(const CGImageRef& image) {
    return image ? image->space : nullptr;
}
const CGFloat* CGImageGetDecode(const CGImageRef& image) {
    return image && !image->decode.empty() ? image->decode.data() : nullptr;
}
bool CGImageGetShouldInterpolate(const CGImageRef& image) {
    return image && image->shouldInterpolate;
}
CGColorRenderingIntent CGImageGetRenderingIntent(const CGImageRef& image) {
    return image ? image->intent : kCGRenderingIntentDefault;
}
const uint8_t* CGImageGetBytePtr(const CGImageRef& image) {
    return image ? image->bytes.get() : nullptr;
}

CGDataProviderRef CGImageGetDataProvider(const CGImageRef& image) {
    if (!image) return nullptr;
    // The provider keeps the image (and so its bytes) alive.
    auto keep = new CGImageRef(image);
    return CGDataProviderCreateWithData(
        keep, image->bytes.get(), image->byteCount(),
        [](void* info, const void*, size_t) { delete static_cast<CGImageRef*>(info); });
}

CGImageRef CGImageCreateWithImageInRect(const CGImageRef& image, CGRect rect) {
    if (!image) return nullptr;
    CGRect r = CGRectIntersection(CGRectIntegral(rect),
                                  CGRectMake(0, 0, double(image->width), double(image->height)));
    if (CGRectIsEmpty(r)) return nullptr;
    size_t x = size_t(r.origin.x), y = size_t(r.origin.y);
    auto cut = std::make_shared<CGImage>(*image);
    cut->width = size_t(r.size.width);
    cut->height = size_t(r.size.height);
    cut->bytes = std::shared_ptr<const uint8_t>(image->bytes, image->bytes.get() + y * image->bytesPerRow +
                                                                  x * (image->bitsPerPixel / 8));
    return cut;
}

} // namespace cg
