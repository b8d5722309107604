#include "platform/ipc/SharedPage.h"

#include "platform/core/Log.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef F_SEAL_FUTURE_WRITE
#define F_SEAL_FUTURE_WRITE 0x0010
#endif

namespace ipc {

namespace {

constexpr int kSizeSeals = F_SEAL_SHRINK | F_SEAL_GROW;
constexpr int kWriteSeals = F_SEAL_WRITE | F_SEAL_FUTURE_WRITE;

} // namespace

std::optional<OwnedSharedPage> createSharedPage(const char* name, size_t length) {
    UniqueFd fd(::memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING));
    if (!fd || ::ftruncate(fd.get(), off_t(length)) != 0) return std::nullopt;
    void* base = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (base == MAP_FAILED) return std::nullopt;
    // Sealed once mapped: this mapping stays writable, no later one can be.
    if (::fcntl(fd.get(), F_ADD_SEALS, kSizeSeals | F_SEAL_FUTURE_WRITE | F_SEAL_SEAL) != 0) {
        ::munmap(base, length);
        return std::nullopt;
    }
    return OwnedSharedPage{std::move(fd), base};
}

const void* mapSharedPage(int fd, size_t length, const char* what) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != off_t(length)) {
        platform::log("coregraphics: refused a %@ that is not one page of memory", what);
        return nullptr;
    }
    const int seals = ::fcntl(fd, F_GET_SEALS);
    if (seals < 0 || (seals & kSizeSeals) != kSizeSeals || !(seals & kWriteSeals)) {
        platform::log("coregraphics: refused a %@ that is not sealed", what);
        return nullptr;
    }
    void* base = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) {
        platform::log("coregraphics: a %@ cannot be mapped", what);
        return nullptr;
    }
    return base;
}

} // namespace ipc
