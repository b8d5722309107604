#include "platform/coregraphics/CGDisplayImage.h"

#include "platform/core/Log.h"
#include "platform/coregraphics/DisplayImageClient.h"

#include <algorithm>
#include <cmath>
#include <mutex>

namespace cg {

namespace {

std::mutex gProviderLock;
std::shared_ptr<DisplayPixelProvider> gProvider;

bool finiteRect(CGRect r) {
    return std::isfinite(r.origin.x) && std::isfinite(r.origin.y) && std::isfinite(r.size.width) &&
           std::isfinite(r.size.height);
}

} // namespace

void setDisplayPixelProvider(std::shared_ptr<DisplayPixelProvider> provider) {
    std::lock_guard lock(gProviderLock);
    gProvider = std::move(provider);
}

std::shared_ptr<DisplayPixelProvider> displayPixelProvider() {
    {
        std::lock_guard lock(gProviderLock);
        if (gProvider) return gProvider;
    }
    // No window server in this process: ask platformd's.
    return socketDisplayPixelProvider();
}

const CGRect* CGDisplayStreamUpdateGetRects(const CGDisplayStreamUpdateRef& update,
                                            CGDisplayStreamUpdateRectType kind, size_t* count) {
    if (count) *count = 0;
    if (!update) return nullptr;
    const std::vector<CGRect>* rects = nullptr;
    if (kind == kCGDisplayStreamUpdateReducedDirtyRects)
        rects = &update->reducedDirtyRects;
    else if (kind == kCGDisplayStreamUpdateDirtyRects)
        rects = &update->dirtyRects;
    if (!rects || rects->empty()) return nullptr;
    if (count) *count = rects->size();
    return rects->data();
}

size_t CGDisplayStreamUpdateGetDropCount(const CGDisplayStreamUpdateRef& update) {
    return update ? size_t(update->dropCount) : 0;
}

CGImageRef CGDisplayCreateImage(CGDirectDisplayID display) {
    auto provider = displayPixelProvider();
    return provider ? provider->createImage(display, nullptr) : nullptr;
}

CGImageRef CGDisplayCreateImageForRect(CGDirectDisplayID display, CGRect rect) {
    if (!finiteRect(rect)) return nullptr;
    auto provider = displayPixelProvider();
    return provider ? provider->createImage(display, &rect) : nullptr;
}

const void* CGDisplayBaseAddress(CGDirectDisplayID display) {
    auto provider = displayPixelProvider();
    size_t bytesPerRow = 0;
    return provider ? provider->baseAddress(display, &bytesPerRow) : nullptr;
}

size_t CGDisplayBytesPerRow(CGDirectDisplayID display) {
    auto provider = displayPixelProvider();
    size_t bytesPerRow = 0;
    if (!provider || !provider->baseAddress(display, &bytesPerRow)) return 0;
    return bytesPerRow;
}

CGDisplayStreamRef CGDisplayStreamCreateWithDispatchQueue(CGDirectDisplayID display, size_t outputWidth,
                                                          size_t outputHeight, uint32_t pixelFormat,
                                                          const CGDisplayStreamProperties& properties,
                                                          const dispatch::dispatch_queue_t& queue,
                                                          CGDisplayStreamFrameAvailableHandler handler) {
    if (outputWidth == 0 || outputHeight == 0 || outputWidth > 16384 || outputHeight > 16384 ||
        pixelFormat != kCGDisplayStreamPixelFormatBGRA || !queue || !handler) {
        platform::log("CGDisplayStreamCreate: refused a stream of %zu x %zu, format 0x%x", outputWidth,
                      outputHeight, pixelFormat);
        return nullptr;
    }
    if (!std::isfinite(properties.minimumFrameTime) || properties.minimumFrameTime < 0 ||
        properties.showCursor) {
        platform::log("CGDisplayStreamCreate: refused the stream's properties");
        return nullptr;
    }
    CGDisplayStreamProperties clamped = properties;
    clamped.queueDepth = std::clamp<uint32_t>(properties.queueDepth, 1, 8);
    auto provider = displayPixelProvider();
    if (!provider) return nullptr;
    return provider->createStream(display, outputWidth, outputHeight, pixelFormat, clamped, queue,
                                  std::move(handler));
}

CGError CGDisplayStreamStart(const CGDisplayStreamRef& stream) {
    return stream ? stream->start() : kCGErrorIllegalArgument;
}

CGError CGDisplayStreamStop(const CGDisplayStreamRef& stream) {
    return stream ? stream->stop() : kCGErrorIllegalArgument;
}

} // namespace cg
