// One page of shared memory in which the window server counts its compositions of every display.
// Clients map it read-only beside a display's framebuffer (CGDisplayBaseAddress), so a picture of
// the display can be copied straight from that mapping: a copy during which the display's
// sequence moved was torn by a composition and is taken again. A sequence is odd while the
// display's pixels or their place change.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace windowserver {

struct CompositionEntry {
    std::atomic<uint32_t> sequence;
    std::atomic<uint32_t> composed; // 1 once the present target was composed whole
    std::atomic<uint32_t> width, height;
    std::atomic<uint64_t> bytesPerRow;
    std::atomic<uint64_t> offset;     // of the first row in the framebuffer's memfd
    std::atomic<uint64_t> generation; // moves whenever the display's target changes
    std::atomic<uint64_t> reserved;
};
static_assert(sizeof(CompositionEntry) == 48);

inline constexpr size_t kCompositionPageBytes = 4096;
inline constexpr size_t kCompositionEntries = kCompositionPageBytes / sizeof(CompositionEntry);

// The entry of a display: the main display first, then the virtual displays by framebuffer index.
inline std::optional<size_t> compositionIndex(uint32_t displayID) {
    constexpr uint32_t kMain = 1, kFirstVirtual = 0x100;
    if (displayID == kMain) return 0;
    if (displayID >= kFirstVirtual && displayID - kFirstVirtual + 1 < kCompositionEntries)
        return size_t(displayID - kFirstVirtual + 1);
    return std::nullopt;
}

// The window server's side: the page, mapped writable here and sealed against writes through any
// later mapping, so clients can only read it. Each display's entry is written by one thread at a
// time (the window-server thread, or the compose worker composing that display).
class CompositionSequences {
  public:
    CompositionSequences();
    ~CompositionSequences();
    CompositionSequences(const CompositionSequences&) = delete;
    CompositionSequences& operator=(const CompositionSequences&) = delete;

    // -1 when no page could be made: clients then ask for every picture.
    int memfd() const { return m_fd; }
    // Around a composition of the display's pixels; whole says it covered the whole display, so
    // the target now holds a complete picture with the given geometry.
    void begin(uint32_t displayID);
    void end(uint32_t displayID, bool whole, uint32_t width, uint32_t height, uint64_t bytesPerRow,
             uint64_t offset);
    // The display's target changed or went: nothing in it is a picture until composed whole again.
    void invalidate(uint32_t displayID);
    uint64_t generation(uint32_t displayID) const;

  private:
    CompositionEntry* entry(uint32_t displayID) const;
    int m_fd = -1;
    CompositionEntry* m_entries = nullptr;
};

} // namespace windowserver
