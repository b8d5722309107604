#include "foundation/ImageAdditions.h"

#include "foundation/DataAdditions.h"
#include "foundation/NSGeometryAdditions.h"
#include "platform/core/Log.h"
#include "platform/imageio/ImageIO.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace foundation {

namespace {

constexpr double kMaxSide = 16384;

cg::CGSize pixelArea(const appkit::NSImageRep& rep) {
    if (auto* bitmap = dynamic_cast<const appkit::NSBitmapImageRep*>(&rep))
        return {double(bitmap->pixelsWide()), double(bitmap->pixelsHigh())};
    return rep.size();
}

} // namespace

size_t bytesPerRowForResizedImage(const cg::CGImageRef& image, size_t pixelWidth) {
    if (!image) return 0;
    const size_t alpha = cg::CGImageGetAlphaInfo(image) == cg::kCGImageAlphaNone ? 0 : 1;
    return (alpha + cg::CGColorSpaceGetNumberOfComponents(image->space)) * image->bitsPerComponent *
           pixelWidth / 8;
}

cg::CGImageRef newResizedCGImage(const cg::CGImageRef& image, double maxPixels, std::string* hashString) {
    if (!image || image->width == 0 || image->height == 0 || !std::isfinite(maxPixels) || !(maxPixels > 0))
        return nullptr;
    const double w = double(image->width), h = double(image->height);
    const double newWidth = w <= h ? maxPixels / h * w : maxPixels;
    const double newHeight = w <= h ? maxPixels : maxPixels / w * h;
    const double pixelWidth = std::trunc(newWidth), pixelHeight = std::trunc(newHeight);
    if (pixelWidth < 1 || pixelHeight < 1 || pixelWidth > kMaxSide || pixelHeight > kMaxSide) return nullptr;
    const size_t width = size_t(pixelWidth), height = size_t(pixelHeight);
    const size_t bytesPerRow = bytesPerRowForResizedImage(image, width);
    // With a digest the bitmap is ours, so every byte of it (padding too) is known.
    std::vector<uint8_t> buffer(hashString ? bytesPerRow * height : 0, 0);
    auto context = cg::CGBitmapContextCreate(hashString ? buffer.data() : nullptr, width, height,
                                             image->bitsPerComponent, bytesPerRow, image->space,
                                             cg::CGImageGetAlphaInfo(image));
    if (!context) return nullptr;
    cg::CGContextDrawImage(context, cg::CGRectMake(0, 0, newWidth, newHeight), image);
    cg::CGImageRef resized = cg::CGBitmapContextCreateImage(context);
    if (hashString) *hashString = hexString(dataWithMD5OfData(buffer));
    return resized;
}

cg::CGImageRef newResizedCGImage(const cg::CGImageRef& image, double maxPixels) {
    return newResizedCGImage(image, maxPixels, nullptr);
}

std::shared_ptr<appkit::NSImageRep> representationOfSize(const appkit::NSImage& image, cg::CGSize size) {
    for (const auto& rep : image.representations())
        if (cg::CGSizeEqualToSize(rep->size(), size)) return rep;
    return nullptr;
}

std::shared_ptr<appkit::NSImageRep> bestRepresentationForSize(const appkit::NSImage& image, cg::CGSize size) {
    if (auto exact = representationOfSize(image, size)) return exact;
    std::shared_ptr<appkit::NSImageRep> best;
    double bestDifference = 65536;
    for (const auto& rep : image.representations()) {
        const double d = std::min(size.width - rep->size().width, size.height - rep->size().height);
        // A larger representation beats any smaller one; among each kind the closest wins.
        if ((bestDifference > 0 && d < 0) ||
            (std::fabs(d) < std::fabs(bestDifference) && !(bestDifference < 0 && d > 0))) {
            best = rep;
            bestDifference = d;
        }
    }
    return best ? best : image.bestRepresentationForDevice();
}

void removeRepresentationsLargerThanSize(appkit::NSImage& image, cg::CGSize large, cg::CGSize small) {
    const double most = large.width * large.height, least = small.width * small.height;
    for (const auto& rep : image.representations()) {
        const cg::CGSize pixels = pixelArea(*rep);
        const double area = pixels.width * pixels.height;
        if (area > most || area < least) image.removeRepresentation(rep);
    }
}

void removeRepresentationsLargerThanSize(appkit::NSImage& image, cg::CGSize large) {
    removeRepresentationsLargerThanSize(image, large, cg::CGSizeZero);
}

bool createRepresentationOfSize(appkit::NSImage& image, cg::CGSize size) {
    if (representationOfSize(image, size)) return false;
    auto best = bestRepresentationForSize(image, size);
    cg::CGImageRef source = best ? appkit::detail::CGImageOfRepresentation(*best) : nullptr;
    // Every representation that draws gives an image here; one that gives none draws nothing.
    if (!source) return false;
    const cg::CGSize from = best->size();
    const cg::CGRect target = NSRectFitRectInRect(cg::CGRectMake(0, 0, from.width, from.height),
                                                  cg::CGRectMake(0, 0, size.width, size.height), false);
    const double width = std::trunc(size.width), height = std::trunc(size.height);
    if (!(width >= 1 && height >= 1 && width <= kMaxSide && height <= kMaxSide)) return false;
    auto context = cg::CGBitmapContextCreate(
        nullptr, size_t(width), size_t(height), 8, size_t(width) * 4, cg::CGColorSpaceCreateDeviceRGB(),
        cg::kCGImageAlphaPremultipliedLast | cg::kCGBitmapByteOrder32Little);
    if (!context) return false;
    cg::CGContextDrawImage(context, target, source);
    auto rep = appkit::NSBitmapImageRep::initWithCGImage(cg::CGBitmapContextCreateImage(context));
    if (!rep) return false;
    rep->setSize(size);
    image.addRepresentation(rep);
    return true;
}

bool shrinkToSize(appkit::NSImage& image, cg::CGSize size) {
    createRepresentationOfSize(image, size);
    image.setSize(size);
    removeRepresentationsLargerThanSize(image, size);
    return true;
}

std::shared_ptr<appkit::NSImage> duplicateOfSize(const appkit::NSImage& image, cg::CGSize size) {
    auto copy = image.copy();
    shrinkToSize(*copy, size);
    copy->setFlipped(false);
    return copy;
}

std::shared_ptr<appkit::NSBitmapImageRep> bitmapImageRepresentation(appkit::NSImage& image) {
    if (auto bitmap =
            std::dynamic_pointer_cast<appkit::NSBitmapImageRep>(image.bestRepresentationForDevice()))
        return bitmap;
    for (const auto& rep : image.representations())
        if (auto bitmap = std::dynamic_pointer_cast<appkit::NSBitmapImageRep>(rep)) return bitmap;
    // Four 32-bit float samples a pixel.
    constexpr size_t kBytesPerPixel = 16;
    constexpr double kMaxBytes = 256.0 * 1024 * 1024;
    const cg::CGSize points = image.size();
    const double width = std::trunc(points.width), height = std::trunc(points.height);
    const std::string name = platform::format("<NSImage %p size %gx%g>", static_cast<const void*>(&image),
                                              points.width, points.height);
    if (width * height * kBytesPerPixel > kMaxBytes) {
        platform::log("%@ Couldn't create CGBitmapContext: %gx%g pixels need more than 256 MiB", name, width,
                      height);
        return nullptr;
    }
    const bool fits = width >= 1 && height >= 1 && width <= kMaxSide && height <= kMaxSide;
    std::vector<uint8_t> buffer(fits ? size_t(width) * kBytesPerPixel * size_t(height) : 0, 0);
    auto context =
        fits ? cg::CGBitmapContextCreate(buffer.data(), size_t(width), size_t(height), 32,
                                         size_t(width) * kBytesPerPixel,
                                         cg::CGColorSpaceCreateWithName(cg::kCGColorSpaceGenericRGB),
                                         cg::kCGImageAlphaPremultipliedLast | cg::kCGBitmapFloatComponents)
             : nullptr;
    if (!context) {
        platform::log("%@ Couldn't create CGBitmapContext", name);
        return nullptr;
    }
    appkit::NSGraphicsContext::saveGraphicsState();
    appkit::NSGraphicsContext::setCurrentContext(
        appkit::NSGraphicsContext::graphicsContextWithCGContext(context, image.isFlipped()));
    image.drawAtPoint(cg::CGPointMake(0, 0), cg::CGRectZero, appkit::NSCompositingOperationCopy, 1.0);
    appkit::NSGraphicsContext::restoreGraphicsState();
    auto rep = appkit::NSBitmapImageRep::initWithCGImage(cg::CGBitmapContextCreateImage(context));
    if (!rep) return nullptr;
    rep->setSize(points);
    image.addRepresentation(rep);
    return rep;
}

cg::CGImageRef CGImage(appkit::NSImage& image) {
    auto rep = bitmapImageRepresentation(image);
    return rep ? appkit::detail::CGImageOfRepresentation(*rep) : nullptr;
}

void* AlignedMalloc(size_t size, size_t* length) {
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    const size_t rounded = (size + page - 1) / page * page;
    void* memory = mmap(nullptr, rounded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED || rounded == 0) return nullptr;
    if (length) *length = rounded;
    return memory;
}

void AlignedFree(void* memory, size_t length) {
    if (memory) munmap(memory, length);
}

void AlignedCGDataProviderRelease(void*, const void* memory, size_t length) {
    AlignedFree(const_cast<void*>(memory), length);
}

bool CGImageWriteToFile(const cg::CGImageRef& image, const std::string& path) {
    auto destination = imageio::CGImageDestinationCreateWithURL(path, imageio::kUTTypePNG, 1, nullptr);
    imageio::CGImageDestinationAddImage(destination, image, nullptr);
    if (destination && image && imageio::CGImageDestinationFinalize(destination)) return true;
    platform::log("Failed to write image to %@", path);
    return false;
}

cg::CGImageRef CGImageDeepCopy(const cg::CGImageRef& image) {
    if (!image) return nullptr;
    std::vector<uint8_t> bytes(image->bytesPerRow * image->height, 0);
    std::memcpy(bytes.data(), image->bytes.get(), image->byteCount());
    return cg::CGImageCreate(image->width, image->height, image->bitsPerComponent, image->bitsPerPixel,
                             image->bytesPerRow, image->space, image->bitmapInfo,
                             cg::CGDataProviderCreateWithData(std::move(bytes)), cg::CGImageGetDecode(image),
                             image->shouldInterpolate, image->intent);
}

cg::CGColorRef CGColorCreateWithNSColor(const std::shared_ptr<appkit::NSColor>& color) {
    return color ? color->CGColor() : nullptr;
}

} // namespace foundation
