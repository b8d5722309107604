// Core Video's pixel buffers, as far as the H.264 encoder uses them: a buffer wrapped around
// an IOSurface of 32-bit BGRA pixels, its base address locked while read, and its geometry.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/iosurface/IOSurface.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace cv {

using CVReturn = int32_t;
using OSType = uint32_t;
using CVPixelBufferLockFlags = uint64_t;

inline constexpr CVReturn kCVReturnSuccess = 0;
inline constexpr CVReturn kCVReturnInvalidArgument = -6661;
inline constexpr CVReturn kCVReturnInvalidPixelFormat = -6680;
inline constexpr CVReturn kCVReturnUnsupported = -6683;

inline constexpr OSType kCVPixelFormatType_32BGRA = 0x42475241; // 'BGRA'
inline constexpr CVPixelBufferLockFlags kCVPixelBufferLock_ReadOnly = 1;
// Source attributes: the pixel format wanted, a number.
inline constexpr char kCVPixelBufferPixelFormatTypeKey[] = "PixelFormatType";

class CVPixelBuffer {
  public:
    explicit CVPixelBuffer(iosurface::IOSurfaceRef surface) : m_surface(std::move(surface)) {}
    const iosurface::IOSurfaceRef& surface() const { return m_surface; }
    int32_t lockCount() const;

  private:
    friend CVReturn CVPixelBufferLockBaseAddress(const std::shared_ptr<CVPixelBuffer>&,
                                                 CVPixelBufferLockFlags);
    friend CVReturn CVPixelBufferUnlockBaseAddress(const std::shared_ptr<CVPixelBuffer>&,
                                                   CVPixelBufferLockFlags);
    iosurface::IOSurfaceRef m_surface;
    mutable std::mutex m_lock;
    int32_t m_lockCount = 0;
};
using CVPixelBufferRef = std::shared_ptr<CVPixelBuffer>;
using CVImageBufferRef = CVPixelBufferRef;

// Wraps a 'BGRA' surface (the attributes, when given, may only ask for 'BGRA'); the buffer
// keeps the surface alive. kCVReturnInvalidArgument for no surface or no out pointer,
// kCVReturnInvalidPixelFormat for another format.
CVReturn CVPixelBufferCreateWithIOSurface(std::nullptr_t allocator, const iosurface::IOSurfaceRef& surface,
                                          const cf::Dictionary* pixelBufferAttributes, CVPixelBufferRef* out);
// Locks are counted: an unlock without a lock answers kCVReturnInvalidArgument.
CVReturn CVPixelBufferLockBaseAddress(const CVPixelBufferRef& buffer, CVPixelBufferLockFlags flags);
CVReturn CVPixelBufferUnlockBaseAddress(const CVPixelBufferRef& buffer, CVPixelBufferLockFlags flags);
// Null while the base address is not locked, as on the system.
void* CVPixelBufferGetBaseAddress(const CVPixelBufferRef& buffer);
size_t CVPixelBufferGetWidth(const CVPixelBufferRef& buffer);
size_t CVPixelBufferGetHeight(const CVPixelBufferRef& buffer);
size_t CVPixelBufferGetBytesPerRow(const CVPixelBufferRef& buffer);
OSType CVPixelBufferGetPixelFormatType(const CVPixelBufferRef& buffer);
iosurface::IOSurfaceRef CVPixelBufferGetIOSurface(const CVPixelBufferRef& buffer);
// Gives up the caller's reference.
void CVPixelBufferRelease(CVPixelBufferRef& buffer);

} // namespace cv
