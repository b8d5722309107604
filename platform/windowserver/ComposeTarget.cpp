#include "platform/windowserver/ComposeTarget.h"

#include <limits>
#include <sys/mman.h>
#include <unistd.h>

namespace windowserver {

bool ComposeTarget::set(kernel::OSPtr<kernel::IODeviceMemory> aperture, uint64_t bytesPerRow,
                        uint64_t height) {
    release();
    if (height != 0 && bytesPerRow > std::numeric_limits<uint64_t>::max() / height) return false;
    uint64_t bytes = bytesPerRow * height;
    if (aperture && aperture->getLength() >= bytes) {
        m_aperture = std::move(aperture);
        m_imageBytes = bytes;
        m_bytesPerRow = bytesPerRow;
        return true;
    }
    if (bytes == 0 || bytes > std::numeric_limits<size_t>::max()) return false;
    // Shared memory, so that other processes can map the composed pixels read-only.
    int fd = ::memfd_create("compose-target", MFD_CLOEXEC);
    if (fd < 0) return false;
    void* own = MAP_FAILED;
    if (::ftruncate(fd, off_t(bytes)) == 0)
        own = ::mmap(nullptr, static_cast<size_t>(bytes), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (own == MAP_FAILED) {
        ::close(fd);
        return false;
    }
    m_own = own;
    m_ownFd = fd;
    m_ownLength = static_cast<size_t>(bytes);
    m_imageBytes = bytes;
    m_bytesPerRow = bytesPerRow;
    return true;
}

uint8_t* ComposeTarget::bytes() const {
    if (m_aperture) return static_cast<uint8_t*>(m_aperture->getBytesNoCopy());
    return static_cast<uint8_t*>(m_own);
}

int ComposeTarget::memfd() const {
    if (m_aperture) return m_aperture->memfd();
    return m_ownFd;
}

uint64_t ComposeTarget::memfdOffset() const {
    return m_aperture ? m_aperture->memfdOffset() : 0;
}

void ComposeTarget::release() {
    m_aperture.reset();
    if (m_own) ::munmap(m_own, m_ownLength);
    if (m_ownFd >= 0) ::close(m_ownFd);
    m_own = nullptr;
    m_ownFd = -1;
    m_ownLength = 0;
    m_imageBytes = 0;
    m_bytesPerRow = 0;
}

} // namespace windowserver
