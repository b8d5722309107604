#include "platform/coregraphics/MappingSeedPage.h"

#include "platform/core/Log.h"
#include "platform/ipc/SharedPage.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <cstdio>
#include <new>

namespace cg {

MappingSeedPublisher::MappingSeedPublisher(uint32_t seed) {
    if (auto page = ipc::createSharedPage("display-mapping-seed", kMappingSeedPageLength)) {
        m_page = new (page->base) MappingSeedPageLayout;
        m_fd = std::move(page->fd);
        m_mapped = true;
    } else {
        platform::log("windowserver: no shared page for the display-mapping seed; processes ask for it");
        m_page = new MappingSeedPageLayout;
    }
    publish(seed);
    cursorStateFed();
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
    const void* base = ipc::mapSharedPage(fd, kMappingSeedPageLength, "display-mapping seed page");
    if (!base) return nullptr;
    const auto* page = static_cast<const MappingSeedPageLayout*>(base);
    if (page->magic != kMappingSeedPageMagic || page->version != kMappingSeedPageVersion) {
        platform::log("coregraphics: refused a display-mapping seed page of another kind");
        ::munmap(const_cast<void*>(base), kMappingSeedPageLength);
        return nullptr;
    }
    return std::shared_ptr<const MappingSeedPage>(new MappingSeedPage(page));
}

MappingSeedPage::~MappingSeedPage() {
    ::munmap(const_cast<MappingSeedPageLayout*>(m_page), kMappingSeedPageLength);
}

} // namespace cg
