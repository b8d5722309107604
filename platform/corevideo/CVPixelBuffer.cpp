#include "platform/corevideo/CVPixelBuffer.h"

namespace cv {

int32_t CVPixelBuffer::lockCount() const {
    std::lock_guard lock(m_lock);
    return m_lockCount;
}

CVReturn CVPixelBufferCreateWithIOSurface(std::nullptr_t, const iosurface::IOSurfaceRef& surface,
                                          const cf::Dictionary* attributes, CVPixelBufferRef* out) {
    if (!out) return kCVReturnInvalidArgument;
    *out = nullptr;
    if (!surface) return kCVReturnInvalidArgument;
    if (iosurface::IOSurfaceGetPixelFormat(surface) != kCVPixelFormatType_32BGRA ||
        iosurface::IOSurfaceGetBytesPerElement(surface) != 4)
        return kCVReturnInvalidPixelFormat;
    if (attributes) {
        auto format = attributes->find(kCVPixelBufferPixelFormatTypeKey);
        if (format != attributes->end() &&
            (!format->second.isNumber() ||
             format->second.storedInteger() != int64_t(kCVPixelFormatType_32BGRA)))
            return kCVReturnInvalidPixelFormat;
    }
    *out = std::make_shared<CVPixelBuffer>(surface);
    return kCVReturnSuccess;
}

CVReturn CVPixelBufferLockBaseAddress(const CVPixelBufferRef& buffer, CVPixelBufferLockFlags flags) {
    if (!buffer) return kCVReturnInvalidArgument;
    std::lock_guard lock(buffer->m_lock);
    iosurface::IOSurfaceLock(buffer->m_surface, uint32_t(flags & kCVPixelBufferLock_ReadOnly), nullptr);
    ++buffer->m_lockCount;
    return kCVReturnSuccess;
}

CVReturn CVPixelBufferUnlockBaseAddress(const CVPixelBufferRef& buffer, CVPixelBufferLockFlags flags) {
    if (!buffer) return kCVReturnInvalidArgument;
    std::lock_guard lock(buffer->m_lock);
    if (buffer->m_lockCount == 0) return kCVReturnInvalidArgument;
    iosurface::IOSurfaceUnlock(buffer->m_surface, uint32_t(flags & kCVPixelBufferLock_ReadOnly), nullptr);
    --buffer->m_lockCount;
    return kCVReturnSuccess;
}

void* CVPixelBufferGetBaseAddress(const CVPixelBufferRef& buffer) {
    if (!buffer || buffer->lockCount() == 0) return nullptr;
    return iosurface::IOSurfaceGetBaseAddress(buffer->surface());
}

size_t CVPixelBufferGetWidth(const CVPixelBufferRef& buffer) {
    return buffer ? iosurface::IOSurfaceGetWidth(buffer->surface()) : 0;
}

size_t CVPixelBufferGetHeight(const CVPixelBufferRef& buffer) {
    return buffer ? iosurface::IOSurfaceGetHeight(buffer->surface()) : 0;
}

size_t CVPixelBufferGetBytesPerRow(const CVPixelBufferRef& buffer) {
    return buffer ? iosurface::IOSurfaceGetBytesPerRow(buffer->surface()) : 0;
}

OSType CVPixelBufferGetPixelFormatType(const CVPixelBufferRef& buffer) {
    return buffer ? iosurface::IOSurfaceGetPixelFormat(buffer->surface()) : 0;
}

iosurface::IOSurfaceRef CVPixelBufferGetIOSurface(const CVPixelBufferRef& buffer) {
    return buffer ? buffer->surface() : nullptr;
}

void CVPixelBufferRelease(CVPixelBufferRef& buffer) {
    buffer.reset();
}

} // namespace cv
