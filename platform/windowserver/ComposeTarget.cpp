#include "platform/windowserver/ComposeTarget.h"

#include <limits>
#include <sys/mman.h>

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
    void* own = ::mmap(nullptr, static_cast<size_t>(bytes), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (own == MAP_FAILED) return false;
    m_own = own;
    m_ownLength = static_cast<size_t>(bytes);
    m_imageBytes = bytes;
    m_bytesPerRow = bytesPerRow;
    return true;
}

uint8_t* ComposeTarget::bytes() const {
    if (m_aperture) return static_cast<uint8_t*>(m_aperture->getBytesNoCopy());
    return static_cast<uint8_t*>(m_own);
}

void ComposeTarget::release() {
    m_aperture.reset();
    if (m_own) ::munmap(m_own, m_ownLength);
    m_own = nullptr;
    m_ownLength = 0;
    m_imageBytes = 0;
    m_bytesPerRow = 0;
}

} // namespace windowserver
