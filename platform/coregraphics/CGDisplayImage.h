// Pictures of displays: whole-display and part-display images, the framebuffer's read-only
// mapping, and display streams. The window server answers them through a provider it installs
// in the process; without one every call answers null (an image or stream that cannot be made).
#pragma once

#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/coregraphics/CGImage.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/iosurface/IOSurface.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace cg {

// A display stream's frame.
enum CGDisplayStreamFrameStatus : int32_t {
    kCGDisplayStreamFrameStatusFrameComplete = 0,
    kCGDisplayStreamFrameStatusFrameIdle = 1,
    kCGDisplayStreamFrameStatusFrameBlank = 2,
    kCGDisplayStreamFrameStatusStopped = 3,
};
enum CGDisplayStreamUpdateRectType : int32_t {
    kCGDisplayStreamUpdateRefreshedRects = 0,
    kCGDisplayStreamUpdateMovedRects = 1,
    kCGDisplayStreamUpdateDirtyRects = 2,
    kCGDisplayStreamUpdateReducedDirtyRects = 3,
};
inline constexpr uint32_t kCGDisplayStreamPixelFormatBGRA = 0x42475241; // 'BGRA'

// Rectangles changed since the stream's last delivered frame, in output pixels.
struct CGDisplayStreamUpdate {
    std::vector<CGRect> dirtyRects;
    std::vector<CGRect> reducedDirtyRects;
    uint64_t dropCount = 0; // frames skipped since the last delivered one
};
using CGDisplayStreamUpdateRef = std::shared_ptr<const CGDisplayStreamUpdate>;
size_t CGDisplayStreamUpdateGetDropCount(const CGDisplayStreamUpdateRef& update);
// The rectangles of the kind, or null with count 0.
const CGRect* CGDisplayStreamUpdateGetRects(const CGDisplayStreamUpdateRef& update,
                                            CGDisplayStreamUpdateRectType kind, size_t* count);

struct CGDisplayStreamProperties {
    bool showCursor = false;       // kCGDisplayStreamShowCursor: the cursor is never drawn
    double minimumFrameTime = 0.0; // kCGDisplayStreamMinimumFrameTime, seconds
    uint32_t queueDepth = 3;       // kCGDisplayStreamQueueDepth
};
using CGDisplayStreamFrameAvailableHandler =
    std::function<void(CGDisplayStreamFrameStatus status, uint64_t displayTime,
                       const iosurface::IOSurfaceRef& frame, const CGDisplayStreamUpdateRef& update)>;

// A stream as the provider runs it.
class CGDisplayStream {
  public:
    virtual ~CGDisplayStream() = default;
    virtual CGError start() = 0;
    // Asynchronous: the handler sees one frame of status Stopped afterwards.
    virtual CGError stop() = 0;
};
using CGDisplayStreamRef = std::shared_ptr<CGDisplayStream>;

// What the window server answers.
class DisplayPixelProvider {
  public:
    virtual ~DisplayPixelProvider() = default;
    // rect: null for the whole display, else points relative to the display's origin.
    virtual CGImageRef createImage(CGDirectDisplayID display, const CGRect* rect) = 0;
    // The framebuffer's read-only bytes (kept for the process) and their pitch.
    virtual const void* baseAddress(CGDirectDisplayID display, size_t* bytesPerRow) = 0;
    virtual CGDisplayStreamRef createStream(CGDirectDisplayID display, size_t outputWidth,
                                            size_t outputHeight, uint32_t pixelFormat,
                                            const CGDisplayStreamProperties& properties,
                                            const dispatch::dispatch_queue_t& queue,
                                            CGDisplayStreamFrameAvailableHandler handler) = 0;
};
void setDisplayPixelProvider(std::shared_ptr<DisplayPixelProvider> provider);
std::shared_ptr<DisplayPixelProvider> displayPixelProvider();

CGImageRef CGDisplayCreateImage(CGDirectDisplayID display);
// rect in points relative to the display's origin; null when not finite.
CGImageRef CGDisplayCreateImageForRect(CGDirectDisplayID display, CGRect rect);
const void* CGDisplayBaseAddress(CGDirectDisplayID display);
size_t CGDisplayBytesPerRow(CGDirectDisplayID display);

// Null when the size is 0 or above 16384, the format is not 'BGRA', the minimum frame time is
// negative or not finite, the cursor is asked for, the display is unknown or no provider
// answers. The queue depth (the pool's surfaces) is clamped to 1–8.
CGDisplayStreamRef CGDisplayStreamCreateWithDispatchQueue(CGDirectDisplayID display, size_t outputWidth,
                                                          size_t outputHeight, uint32_t pixelFormat,
                                                          const CGDisplayStreamProperties& properties,
                                                          const dispatch::dispatch_queue_t& queue,
                                                          CGDisplayStreamFrameAvailableHandler handler);
CGError CGDisplayStreamStart(const CGDisplayStreamRef& stream);
CGError CGDisplayStreamStop(const CGDisplayStreamRef& stream);

} // namespace cg
