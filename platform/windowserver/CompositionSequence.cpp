#include "platform/windowserver/CompositionSequence.h"

#include "platform/core/Log.h"
#include "platform/ipc/SharedPage.h"

#include <sys/mman.h>
#include <unistd.h>

namespace windowserver {

CompositionSequences::CompositionSequences() {
    // Writable through this mapping only: no client may map it writable or write it.
    auto page = ipc::createSharedPage("composition-sequences", kCompositionPageBytes);
    if (!page) {
        platform::log("windowserver: no composition sequence page; clients ask for every display image");
        return;
    }
    m_fd = page->fd.release();
    m_entries = static_cast<CompositionEntry*>(page->base); // zero-filled: nothing composed yet
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
