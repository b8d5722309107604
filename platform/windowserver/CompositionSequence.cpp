#include "platform/windowserver/CompositionSequence.h"

#include "platform/core/Log.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#ifndef F_SEAL_FUTURE_WRITE
#define F_SEAL_FUTURE_WRITE 0x0010
#endif

namespace windowserver {

CompositionSequences::CompositionSequences() {
    int fd = ::memfd_create("composition-sequences", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0 || ::ftruncate(fd, off_t(kCompositionPageBytes)) != 0) {
        if (fd >= 0) ::close(fd);
        platform::log("windowserver: no composition sequence page; clients ask for every display image");
        return;
    }
    void* map = ::mmap(nullptr, kCompositionPageBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    // Writable through this mapping only: no client may map it writable or write it.
    if (map == MAP_FAILED ||
        ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_FUTURE_WRITE | F_SEAL_SEAL) != 0) {
        if (map != MAP_FAILED) ::munmap(map, kCompositionPageBytes);
        ::close(fd);
        platform::log("windowserver: the composition sequence page cannot be sealed; clients ask for every "
                      "display image");
        return;
    }
    m_fd = fd;
    m_entries = static_cast<CompositionEntry*>(map); // zero-filled: nothing composed yet
}

CompositionSequences::~CompositionSequences() {
    if (m_entries) ::munmap(m_entries, kCompositionPageBytes);
    if (m_fd >= 0) ::close(m_fd);
}

CompositionEntry* CompositionSequences::entry(uint32_t displayID) const {
    auto index = compositionIndex(displayID);
    return m_entries && index ? &m_entries[*index] : nullptr;
}

void CompositionSequences::begin(uint32_t displayID) {
    if (CompositionEntry* e = entry(displayID)) {
        e->sequence.store(e->sequence.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release); // odd before any pixel changes
    }
}

void CompositionSequences::end(uint32_t displayID, bool whole, uint32_t width, uint32_t height,
                               uint64_t bytesPerRow, uint64_t offset) {
    CompositionEntry* e = entry(displayID);
    if (!e) return;
    if (whole) {
        e->width.store(width, std::memory_order_relaxed);
        e->height.store(height, std::memory_order_relaxed);
        e->bytesPerRow.store(bytesPerRow, std::memory_order_relaxed);
        e->offset.store(offset, std::memory_order_relaxed);
        e->composed.store(1, std::memory_order_relaxed);
    }
    e->sequence.store(e->sequence.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

void CompositionSequences::invalidate(uint32_t displayID) {
    CompositionEntry* e = entry(displayID);
    if (!e) return;
    begin(displayID);
    e->composed.store(0, std::memory_order_relaxed);
    e->generation.store(e->generation.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    e->sequence.store(e->sequence.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

uint64_t CompositionSequences::generation(uint32_t displayID) const {
    CompositionEntry* e = entry(displayID);
    return e ? e->generation.load(std::memory_order_relaxed) : 0;
}

} // namespace windowserver
