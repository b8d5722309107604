#include "platform/iosurface/IOSurface.h"

#include "platform/core/Log.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace iosurface {

namespace {

constexpr uint32_t kHeaderSpace = 64;
static_assert(sizeof(IOSurfaceHeader) <= kHeaderSpace);

void freeOwnMemory(void* base, size_t) {
    std::free(base);
}

} // namespace

bool IOSurfaceHeaderFits(const IOSurfaceHeader& header, size_t length) {
    if (header.magic != kIOSurfaceMagic) return false;
    if (header.width == 0 || header.height == 0 || header.width > kIOSurfaceMaxSide ||
        header.height > kIOSurfaceMaxSide)
        return false;
    if (header.bytesPerRow < uint64_t(header.width) * 4) return false;
    if (header.pixelOffset < sizeof(IOSurfaceHeader)) return false;
    uint64_t need = uint64_t(header.pixelOffset) + uint64_t(header.bytesPerRow) * header.height;
    return need <= length;
}

IOSurface::IOSurface(void* base, size_t length, void (*release)(void*, size_t))
    : m_base(static_cast<uint8_t*>(base)), m_length(length), m_release(release),
      m_header(static_cast<IOSurfaceHeader*>(base)) {}

IOSurface::~IOSurface() {
    if (m_release) m_release(m_base, m_length);
}

std::shared_ptr<IOSurface> IOSurface::createWithMapping(void* base, size_t length,
                                                        void (*release)(void*, size_t)) {
    if (!base || length < sizeof(IOSurfaceHeader) ||
        !IOSurfaceHeaderFits(*static_cast<const IOSurfaceHeader*>(base), length)) {
        platform::log("IOSurface: refused a mapping of %@ bytes whose header does not fit it", length);
        if (base && release) release(base, length);
        return nullptr;
    }
    return std::shared_ptr<IOSurface>(new IOSurface(base, length, release));
}

std::shared_ptr<IOSurface> IOSurface::create(uint32_t surfaceID, uint32_t width, uint32_t height,
                                             uint32_t bytesPerRow) {
    if (width == 0 || height == 0 || width > kIOSurfaceMaxSide || height > kIOSurfaceMaxSide) return nullptr;
    if (bytesPerRow == 0) bytesPerRow = width * 4;
    if (bytesPerRow < width * 4) return nullptr;
    size_t length = kHeaderSpace + size_t(bytesPerRow) * height;
    void* base = std::calloc(1, length);
    if (!base) return nullptr;
    auto* header = new (base) IOSurfaceHeader{};
    header->magic = kIOSurfaceMagic;
    header->surfaceID = surfaceID;
    header->width = width;
    header->height = height;
    header->bytesPerRow = bytesPerRow;
    header->pixelOffset = kHeaderSpace;
    return std::shared_ptr<IOSurface>(new IOSurface(base, length, freeOwnMemory));
}

uint32_t IOSurfaceGetID(const IOSurfaceRef& s) {
    return s ? s->header().surfaceID : 0;
}
size_t IOSurfaceGetWidth(const IOSurfaceRef& s) {
    return s ? s->header().width : 0;
}
size_t IOSurfaceGetHeight(const IOSurfaceRef& s) {
    return s ? s->header().height : 0;
}
size_t IOSurfaceGetBytesPerRow(const IOSurfaceRef& s) {
    return s ? s->header().bytesPerRow : 0;
}
size_t IOSurfaceGetBytesPerElement(const IOSurfaceRef& s) {
    return s ? 4 : 0;
}
void* IOSurfaceGetBaseAddress(const IOSurfaceRef& s) {
    return s ? s->baseAddress() : nullptr;
}

int IOSurfaceLock(const IOSurfaceRef& s, uint32_t, uint32_t* seed) {
    if (!s) return -1;
    s->header().lockCount.fetch_add(1);
    if (seed) *seed = s->header().seed.load();
    return 0;
}

int IOSurfaceUnlock(const IOSurfaceRef& s, uint32_t, uint32_t* seed) {
    if (!s) return -1;
    int32_t count = s->header().lockCount.load();
    while (count > 0 && !s->header().lockCount.compare_exchange_weak(count, count - 1)) {
    }
    if (count <= 0) return -1; // not locked: refused
    if (seed) *seed = s->header().seed.load();
    return 0;
}

void IOSurfaceIncrementUseCount(const IOSurfaceRef& s) {
    if (s) s->header().useCount.fetch_add(1);
}

void IOSurfaceDecrementUseCount(const IOSurfaceRef& s) {
    if (!s) return;
    int32_t count = s->header().useCount.load();
    while (count > 0 && !s->header().useCount.compare_exchange_weak(count, count - 1)) {
    }
}

int32_t IOSurfaceGetUseCount(const IOSurfaceRef& s) {
    return s ? s->header().useCount.load() : 0;
}

bool IOSurfaceIsInUse(const IOSurfaceRef& s) {
    return IOSurfaceGetUseCount(s) > 0;
}

int32_t IOSurfaceGetLockCount(const IOSurfaceRef& s) {
    return s ? s->header().lockCount.load() : 0;
}

} // namespace iosurface
