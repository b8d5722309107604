#include "platform/windowserver/BackingStore.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace windowserver {

std::unique_ptr<BackingStore> BackingStore::create(uint32_t width, uint32_t height) {
    if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) return nullptr;
    std::unique_ptr<BackingStore> store(new BackingStore);
    store->m_width = width, store->m_height = height;
    store->m_bytesPerRow = paddedBytesPerRow(width);
    store->m_length = store->m_bytesPerRow * height;
    int fd = ::memfd_create("window-backing-store", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) return nullptr;
    store->m_fd = ipc::UniqueFd(fd);
    if (::ftruncate(fd, off_t(store->m_length)) != 0 ||
        ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) != 0)
        return nullptr;
    void* map = ::mmap(nullptr, store->m_length, PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) return nullptr;
    store->m_bytes = static_cast<uint8_t*>(map);
    return store;
}

BackingStore::~BackingStore() {
    if (m_bytes) ::munmap(m_bytes, m_length);
}

ipc::UniqueFd BackingStore::duplicate() const {
    return ipc::UniqueFd(::fcntl(m_fd.get(), F_DUPFD_CLOEXEC, 0));
}

} // namespace windowserver
