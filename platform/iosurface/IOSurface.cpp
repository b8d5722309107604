#include "platform/iosurface/IOSurface.h"

#include "platform/core/Log.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <optional>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace iosurface {

namespace {

constexpr uint32_t kHeaderSpace = 64;
static_assert(sizeof(IOSurfaceHeader) <= kHeaderSpace);

void freeOwnMemory(void* base, size_t) {
    std::free(base);
}

void unmapMemory(void* base, size_t length) {
    ::munmap(base, length);
}

void fillHeader(void* base, uint32_t surfaceID, uint32_t width, uint32_t height, uint32_t bytesPerRow,
                uint32_t pixelOffset) {
    auto* header = new (base) IOSurfaceHeader{};
    header->magic = kIOSurfaceMagic;
    header->version = kIOSurfaceVersion;
    header->surfaceID = surfaceID;
    header->width = width;
    header->height = height;
    header->bytesPerRow = bytesPerRow;
    header->bytesPerElement = 4;
    header->pixelFormat = kIOSurfacePixelFormatBGRA;
    header->pixelOffset = pixelOffset;
}

} // namespace

bool IOSurfaceHeaderFits(const IOSurfaceHeader& header, size_t length) {
    if (header.magic != kIOSurfaceMagic || header.version != kIOSurfaceVersion) return false;
    if (header.bytesPerElement != 4 || header.pixelFormat != kIOSurfacePixelFormatBGRA) return false;
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
      m_header(static_cast<IOSurfaceHeader*>(base)), m_width(m_header->width), m_height(m_header->height),
      m_bytesPerRow(m_header->bytesPerRow), m_pixelOffset(m_header->pixelOffset) {}

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
    fillHeader(base, surfaceID, width, height, bytesPerRow, kHeaderSpace);
    return std::shared_ptr<IOSurface>(new IOSurface(base, length, freeOwnMemory));
}

std::shared_ptr<IOSurface> IOSurface::createShared(uint32_t surfaceID, uint32_t width, uint32_t height,
                                                   uint32_t bytesPerRow, int* fd) {
    *fd = -1;
    if (width == 0 || height == 0 || width > kIOSurfaceMaxSide || height > kIOSurfaceMaxSide ||
        bytesPerRow < width * 4)
        return nullptr;
    size_t length = kIOSurfaceSharedHeaderLength + size_t(bytesPerRow) * height;
    int memfd = ::memfd_create("iosurface", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (memfd < 0) return nullptr;
    void* base = MAP_FAILED;
    if (::ftruncate(memfd, off_t(length)) == 0 &&
        ::fcntl(memfd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) == 0)
        base = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, memfd, 0);
    if (base == MAP_FAILED) {
        ::close(memfd);
        platform::log("IOSurface: no memory for a surface of %u x %u", width, height);
        return nullptr;
    }
    fillHeader(base, surfaceID, width, height, bytesPerRow, kIOSurfaceSharedHeaderLength);
    *fd = memfd;
    return std::shared_ptr<IOSurface>(new IOSurface(base, length, unmapMemory));
}

std::shared_ptr<IOSurface> IOSurface::createWithDescriptor(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size < off_t(kIOSurfaceSharedHeaderLength) ||
        uint64_t(st.st_size) >
            uint64_t(kIOSurfaceSharedHeaderLength) + uint64_t(kIOSurfaceMaxSide) * kIOSurfaceMaxSide * 8) {
        platform::log("IOSurface: refused a surface's memory of unusable length");
        return nullptr;
    }
    // The length cannot change under the mapping.
    int seals = ::fcntl(fd, F_GET_SEALS);
    if (seals < 0 || !(seals & F_SEAL_SHRINK)) {
        platform::log("IOSurface: refused a surface's memory that could shrink");
        return nullptr;
    }
    size_t length = size_t(st.st_size);
    void* base = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) return nullptr;
    const auto& header = *static_cast<const IOSurfaceHeader*>(base);
    if (header.pixelOffset != kIOSurfaceSharedHeaderLength) {
        platform::log("IOSurface: refused a shared surface whose pixels do not follow its header page");
        ::munmap(base, length);
        return nullptr;
    }
    // The header stays writable (use counts, locks); the pixels are the producer's.
    ::mprotect(static_cast<uint8_t*>(base) + kIOSurfaceSharedHeaderLength,
               length - kIOSurfaceSharedHeaderLength, PROT_READ);
    return createWithMapping(base, length, unmapMemory);
}

namespace {

// An integer number of the properties, or nullopt when absent, not a number or not whole.
std::optional<int64_t> wholeNumber(const cf::Dictionary& properties, const char* key) {
    auto found = properties.find(key);
    if (found == properties.end() || !found->second.isNumber()) return std::nullopt;
    if (auto integer = found->second.storedInteger()) return integer;
    auto real = found->second.storedReal();
    if (!real || !std::isfinite(*real) || std::trunc(*real) != *real || std::fabs(*real) > 1e15)
        return std::nullopt;
    return int64_t(*real);
}

std::atomic<uint32_t> nextLocalSurfaceID{0x40000000};

} // namespace

IOSurfaceRef IOSurfaceCreate(const cf::Dictionary& properties) {
    const auto width = wholeNumber(properties, kIOSurfaceWidth);
    const auto height = wholeNumber(properties, kIOSurfaceHeight);
    const auto bytesPerRow = wholeNumber(properties, kIOSurfaceBytesPerRow);
    const auto bytesPerElement = wholeNumber(properties, kIOSurfaceBytesPerElement);
    const auto pixelFormat = wholeNumber(properties, kIOSurfacePixelFormat);
    const bool fits = width && height && bytesPerRow && bytesPerElement && pixelFormat && *width >= 1 &&
                      *height >= 1 && *width <= kIOSurfaceMaxSide && *height <= kIOSurfaceMaxSide &&
                      *bytesPerElement == 4 && *pixelFormat == kIOSurfacePixelFormatBGRA &&
                      *bytesPerRow >= 4 * *width && *bytesPerRow % 4 == 0 &&
                      *bytesPerRow <= 64 * kIOSurfaceMaxSide;
    if (!fits) {
        platform::log("IOSurfaceCreate: refused the properties %lld x %lld, %lld bytes a row",
                      (long long)width.value_or(-1), (long long)height.value_or(-1),
                      (long long)bytesPerRow.value_or(-1));
        return nullptr;
    }
    return IOSurface::create(nextLocalSurfaceID++, uint32_t(*width), uint32_t(*height),
                             uint32_t(*bytesPerRow));
}

uint32_t IOSurfaceGetPixelFormat(const IOSurfaceRef& surface) {
    return surface ? surface->header().pixelFormat : 0;
}

uint32_t IOSurfaceGetID(const IOSurfaceRef& s) {
    return s ? s->header().surfaceID : 0;
}
size_t IOSurfaceGetWidth(const IOSurfaceRef& s) {
    return s ? s->width() : 0;
}
size_t IOSurfaceGetHeight(const IOSurfaceRef& s) {
    return s ? s->height() : 0;
}
size_t IOSurfaceGetBytesPerRow(const IOSurfaceRef& s) {
    return s ? s->bytesPerRow() : 0;
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
