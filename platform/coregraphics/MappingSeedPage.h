// The display-mapping seed on one page of shared memory. The window server writes the seed there
// at every change, and a process reads it without a request: a cursor loop checks it 120 times
// a second per display, and a round trip each time would cost more than the cursor query
// itself. Beside it, the cursor-state seed moves after every cursor state the window server gives
// the framebuffers, so a cursor loop whose seed has not moved knows the driver's answer already.
// The page is a memfd of exactly one page, sealed against growth, shrinking and any writable
// mapping made after the window server's own, and each process gets it once, opened read-only;
// the process maps it read-only. One layout serves both ends.
#pragma once

#include "platform/ipc/UniqueFd.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace cg {

inline constexpr uint32_t kMappingSeedPageMagic = 0x5153504D; // "MPSQ"
inline constexpr uint32_t kMappingSeedPageVersion = 1;
inline constexpr size_t kMappingSeedPageLength = 4096;

struct MappingSeedPageLayout {
    uint32_t magic = kMappingSeedPageMagic;
    uint32_t version = kMappingSeedPageVersion;
    std::atomic<uint64_t> seed{0};       // the 32-bit seed, widened; 0 until published
    std::atomic<uint64_t> cursorSeed{0}; // never 0 once published
};
static_assert(std::atomic<uint64_t>::is_always_lock_free, "the seed is read across processes");
static_assert(sizeof(MappingSeedPageLayout) <= kMappingSeedPageLength);

// The window server's end: the page and the only writable mapping of it. Without memory for a
// page the seed is kept in the process alone and no process gets a page.
class MappingSeedPublisher {
  public:
    explicit MappingSeedPublisher(uint32_t seed);
    ~MappingSeedPublisher();
    MappingSeedPublisher(const MappingSeedPublisher&) = delete;
    MappingSeedPublisher& operator=(const MappingSeedPublisher&) = delete;

    // Any thread.
    void publish(uint32_t seed) { m_page->seed.store(seed, std::memory_order_release); }
    uint32_t seed() const { return uint32_t(m_page->seed.load(std::memory_order_acquire)); }
    // After the framebuffers have been given a cursor state (location, visibility or image),
    // never before: a reader that sees the old seed and then asks a driver gets a state at least
    // as new, and sees the new seed at its next look.
    void cursorStateFed() { m_page->cursorSeed.fetch_add(1, std::memory_order_acq_rel); }
    uint64_t cursorSeed() const { return m_page->cursorSeed.load(std::memory_order_acquire); }
    // A descriptor of its own on the page, opened read-only, for one process; invalid when there
    // is no page.
    ipc::UniqueFd openReadOnly() const;

  private:
    ipc::UniqueFd m_fd;
    MappingSeedPageLayout* m_page = nullptr;
    bool m_mapped = false;
};

// A process's end: the page mapped read-only.
class MappingSeedPage {
  public:
    // The page behind fd (which stays the caller's), or nothing, logged, unless it is a memory
    // file of exactly kMappingSeedPageLength bytes sealed against growth, shrinking and writes,
    // beginning with the magic and version.
    static std::shared_ptr<const MappingSeedPage> adopt(int fd);
    ~MappingSeedPage();
    MappingSeedPage(const MappingSeedPage&) = delete;
    MappingSeedPage& operator=(const MappingSeedPage&) = delete;

    uint32_t seed() const { return uint32_t(m_page->seed.load(std::memory_order_acquire)); }
    // 0 when the window server publishes none.
    uint64_t cursorSeed() const { return m_page->cursorSeed.load(std::memory_order_acquire); }

  private:
    explicit MappingSeedPage(const MappingSeedPageLayout* page) : m_page(page) {}
    const MappingSeedPageLayout* m_page;
};

} // namespace cg
