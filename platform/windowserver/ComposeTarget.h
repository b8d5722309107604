// Where the window server composes one display: the framebuffer's aperture when it holds the
// whole image at the driver's row length, else a buffer of the window server's own, so that
// nothing is ever written past the aperture.
#pragma once

#include "platform/kernel/IODeviceMemory.h"
#include "platform/kernel/OSPtr.h"

#include <cstddef>
#include <cstdint>

namespace windowserver {

class ComposeTarget {
  public:
    ComposeTarget() = default;
    ~ComposeTarget() { release(); }
    ComposeTarget(const ComposeTarget&) = delete;
    ComposeTarget& operator=(const ComposeTarget&) = delete;

    // Takes the aperture (null allowed) for an image of height rows of bytesPerRow bytes.
    // Answers false when no target could be made at all (the image size overflows or no
    // memory is left for an own buffer).
    bool set(kernel::OSPtr<kernel::IODeviceMemory> aperture, uint64_t bytesPerRow, uint64_t height);
    void release();

    bool usesOwnBuffer() const { return m_own != nullptr; }
    bool isSet() const { return m_aperture || m_own; }
    uint64_t imageBytes() const { return m_imageBytes; }
    uint64_t bytesPerRow() const { return m_bytesPerRow; }
    // The first row's bytes; null when nothing is set.
    uint8_t* bytes() const;
    // The memfd holding the image and where in it the image starts (-1 when none).
    int memfd() const;
    uint64_t memfdOffset() const;

  private:
    kernel::OSPtr<kernel::IODeviceMemory> m_aperture;
    void* m_own = nullptr; // a memfd's pages: untouched rows cost nothing
    int m_ownFd = -1;
    size_t m_ownLength = 0;
    uint64_t m_imageBytes = 0;
    uint64_t m_bytesPerRow = 0;
};

} // namespace windowserver
