#include "platform/coregraphics/MappingSeedPage.h"

#include "platform/core/Log.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cstdio>
#include <new>

namespace cg {

namespace {

constexpr int kRequiredSeals = F_SEAL_SHRINK | F_SEAL_GROW;
constexpr int kWriteSeals = F_SEAL_WRITE | F_SEAL_FUTURE_WRITE;

} // namespace

MappingSeedPublisher::MappingSeedPublisher(uint32_t seed) {
    ipc::UniqueFd fd(::memfd_create("display-mapping-seed", MFD_CLOEXEC | MFD_ALLOW_SEALING));
    void* base = MAP_FAILED;
    if (fd && ::ftruncate(fd.get(), off_t(kMappingSeedPageLength)) == 0)
        base = ::mmap(nullptr, kMappingSeedPageLength, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    // Sealed once mapped: this mapping stays writable, no later one can be.
    if (base != MAP_FAILED &&
        ::fcntl(fd.get(), F_ADD_SEALS, kRequiredSeals | F_SEAL_FUTURE_WRITE | F_SEAL_SEAL) != 0) {
        ::munmap(base, kMappingSeedPageLength);
        base = MAP_FAILED;
    }
    if (base == MAP_FAILED) {
        platform::log("windowserver: no shared page for the display-mapping seed; processes ask for it");
        m_page = new MappingSeedPageLayout;
    } else {
        m_page = new (base) MappingSeedPageLayout;
        m_fd = std::move(fd);
        m_mapped = true;
    }
    publish(seed);
}

MappingSeedPublisher::~MappingSeedPublisher() {
    if (!m_mapped) {
        delete m_page;
        return;
    }
    m_page->~MappingSeedPageLayout();
    ::munmap(m_page, kMappingSeedPageLength);
}

ipc::UniqueFd MappingSeedPublisher::openReadOnly() const {
    if (!m_fd) return {};
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", m_fd.get());
    return ipc::UniqueFd(::open(path, O_RDONLY | O_CLOEXEC));
}

std::shared_ptr<const MappingSeedPage> MappingSeedPage::adopt(int fd) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size != off_t(kMappingSeedPageLength)) {
        platform::log("coregraphics: refused a display-mapping seed page that is not one page of memory");
        return nullptr;
    }
    const int seals = ::fcntl(fd, F_GET_SEALS);
    if (seals < 0 || (seals & kRequiredSeals) != kRequiredSeals || !(seals & kWriteSeals)) {
        platform::log("coregraphics: refused a display-mapping seed page that is not sealed");
        return nullptr;
    }
    void* base = ::mmap(nullptr, kMappingSeedPageLength, PROT_READ, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) {
        platform::log("coregraphics: a display-mapping seed page cannot be mapped");
        return nullptr;
    }
    const auto* page = static_cast<const MappingSeedPageLayout*>(base);
    if (page->magic != kMappingSeedPageMagic || page->version != kMappingSeedPageVersion) {
        platform::log("coregraphics: refused a display-mapping seed page of another kind");
        ::munmap(base, kMappingSeedPageLength);
        return nullptr;
    }
    return std::shared_ptr<const MappingSeedPage>(new MappingSeedPage(page));
}

MappingSeedPage::~MappingSeedPage() {
    ::munmap(const_cast<MappingSeedPageLayout*>(m_page), kMappingSeedPageLength);
}

} // namespace cg
