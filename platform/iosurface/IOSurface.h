// Frame surfaces: one picture of a display in shared memory, 32-bit pixels with a row pitch.
// The header at the start of the memory is the same struct on both sides (the window server
// that fills the surface and the process that reads it), so use counts and locks are seen by
// both. A surface is handed on while it is in use (use count above 0); the producer does not
// reuse it until the count falls back to 0.
#pragma once

#include "platform/corefoundation/Value.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace iosurface {

inline constexpr uint32_t kIOSurfaceMagic = 0x54534653; // "TSFS"
inline constexpr uint32_t kIOSurfaceLockReadOnly = 0x00000001;
inline constexpr uint32_t kIOSurfaceMaxSide = 16384;
inline constexpr uint32_t kIOSurfaceVersion = 1;
// A shared surface's header takes one page, so that its pixels can be mapped read-only.
inline constexpr uint32_t kIOSurfaceSharedHeaderLength = 4096;
inline constexpr uint32_t kIOSurfacePixelFormatBGRA = 0x42475241; // 'BGRA'

// The shared header; pixels follow at pixelOffset.
struct IOSurfaceHeader {
    uint32_t magic;
    uint32_t surfaceID;
    uint32_t width;
    uint32_t height;
    uint32_t bytesPerRow;
    uint32_t pixelOffset;
    std::atomic<int32_t> useCount;
    std::atomic<int32_t> lockCount;
    std::atomic<uint32_t> seed; // changes with every write of the producer
    uint32_t version;
    uint32_t bytesPerElement;
    uint32_t pixelFormat;
};
static_assert(std::atomic<int32_t>::is_always_lock_free, "the header is shared between processes");

class IOSurface {
  public:
    // Takes a mapping of `length` bytes (unmapped with `release` at the end). Null when the
    // header is not a surface's, its rows are shorter than 4 × width, or the memory is shorter
    // than its geometry.
    static std::shared_ptr<IOSurface> createWithMapping(void* base, size_t length,
                                                        void (*release)(void*, size_t));
    // A surface in memory of its own (pixels zeroed), with rows of at least 4 × width bytes.
    static std::shared_ptr<IOSurface> create(uint32_t surfaceID, uint32_t width, uint32_t height,
                                             uint32_t bytesPerRow = 0);
    // The producer's side of a shared surface: a memfd of one header page then height rows of
    // bytesPerRow bytes ('BGRA', zeroed), mapped read-write; its descriptor goes in *fd.
    static std::shared_ptr<IOSurface> createShared(uint32_t surfaceID, uint32_t width, uint32_t height,
                                                   uint32_t bytesPerRow, int* fd);
    // The reader's side: maps a shared surface's memfd, the header read-write (use counts and
    // locks) and the pixels read-only. Null (logged) when the memory is shorter than its
    // header says or the header is not a surface's. The descriptor stays the caller's.
    static std::shared_ptr<IOSurface> createWithDescriptor(int fd);
    ~IOSurface();
    IOSurface(const IOSurface&) = delete;
    IOSurface& operator=(const IOSurface&) = delete;

    IOSurfaceHeader& header() const { return *m_header; }
    uint8_t* baseAddress() const { return m_base + m_pixelOffset; }
    // The geometry as checked when the surface was made: a producer rewriting the shared
    // header later cannot move a reader past the memory.
    uint32_t width() const { return m_width; }
    uint32_t height() const { return m_height; }
    uint32_t bytesPerRow() const { return m_bytesPerRow; }

  private:
    IOSurface(void* base, size_t length, void (*release)(void*, size_t));
    uint8_t* m_base;
    size_t m_length;
    void (*m_release)(void*, size_t);
    IOSurfaceHeader* m_header;
    uint32_t m_width, m_height, m_bytesPerRow, m_pixelOffset;
};
using IOSurfaceRef = std::shared_ptr<IOSurface>;

// Checks a mapping's header against its length: true when it describes a whole surface.
bool IOSurfaceHeaderFits(const IOSurfaceHeader& header, size_t length);

// Property keys of IOSurfaceCreate.
inline constexpr char kIOSurfaceWidth[] = "IOSurfaceWidth";
inline constexpr char kIOSurfaceHeight[] = "IOSurfaceHeight";
inline constexpr char kIOSurfaceBytesPerRow[] = "IOSurfaceBytesPerRow";
inline constexpr char kIOSurfaceBytesPerElement[] = "IOSurfaceBytesPerElement";
inline constexpr char kIOSurfacePixelFormat[] = "IOSurfacePixelFormat";

// A process-local surface (pixels zeroed) of whole-number width and height of 1 to 16384,
// bytes per row (a multiple of 4, at least 4 × width), 4 bytes per element and the 'BGRA'
// format, each given as an integer number. Null for anything else, logged.
IOSurfaceRef IOSurfaceCreate(const cf::Dictionary& properties);

uint32_t IOSurfaceGetID(const IOSurfaceRef& surface);
uint32_t IOSurfaceGetPixelFormat(const IOSurfaceRef& surface);
size_t IOSurfaceGetWidth(const IOSurfaceRef& surface);
size_t IOSurfaceGetHeight(const IOSurfaceRef& surface);
size_t IOSurfaceGetBytesPerRow(const IOSurfaceRef& surface);
size_t IOSurfaceGetBytesPerElement(const IOSurfaceRef& surface);
void* IOSurfaceGetBaseAddress(const IOSurfaceRef& surface);
// 0 on success (kIOReturnSuccess); the seed out may be null.
int IOSurfaceLock(const IOSurfaceRef& surface, uint32_t options, uint32_t* seed);
int IOSurfaceUnlock(const IOSurfaceRef& surface, uint32_t options, uint32_t* seed);
void IOSurfaceIncrementUseCount(const IOSurfaceRef& surface);
void IOSurfaceDecrementUseCount(const IOSurfaceRef& surface);
int32_t IOSurfaceGetUseCount(const IOSurfaceRef& surface);
bool IOSurfaceIsInUse(const IOSurfaceRef& surface);
int32_t IOSurfaceGetLockCount(const IOSurfaceRef& surface);

} // namespace iosurface
