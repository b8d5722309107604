// A window's backing store: BGRA premultiplied pixels in a memfd shared with the window's owner,
// who draws into it and then flushes rectangles; the window server copies only what is flushed.
// The memfd is sealed against shrinking and growing, so the owner can never make the window
// server's mapping fault.
#pragma once

#include "platform/ipc/UniqueFd.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace windowserver {

class BackingStore {
  public:
    // Sides above this are refused: the window stays listed, undrawn.
    static constexpr uint32_t kMaxSide = 16384;

    // Zero-filled (transparent) pixels with padded rows; null when a side is 0 or over kMaxSide,
    // or the memory cannot be had.
    static std::unique_ptr<BackingStore> create(uint32_t width, uint32_t height);
    ~BackingStore();
    BackingStore(const BackingStore&) = delete;
    BackingStore& operator=(const BackingStore&) = delete;

    uint32_t width() const { return m_width; }
    uint32_t height() const { return m_height; }
    size_t bytesPerRow() const { return m_bytesPerRow; }
    const uint8_t* bytes() const { return m_bytes; }
    // For the owner: the same memory.
    ipc::UniqueFd duplicate() const;

    // Rows always carry padding, so that code assuming packed rows shows itself.
    static size_t paddedBytesPerRow(uint32_t width) { return (size_t(width) * 4 + 63) / 64 * 64 + 64; }

  private:
    BackingStore() = default;
    ipc::UniqueFd m_fd;
    uint8_t* m_bytes = nullptr;
    size_t m_length = 0;
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    size_t m_bytesPerRow = 0;
};

} // namespace windowserver
