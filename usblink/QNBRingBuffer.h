// A fixed-capacity byte ring: the USB socket's store of incoming stream bytes. Each read and
// write is atomic under the ring's mutex; a read across the end of the storage returns the
// bytes up to the end, and the caller asks again for the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace usblink {

class QNBRingBuffer {
  public:
    explicit QNBRingBuffer(size_t capacity);

    size_t capacity() const { return m_capacity; }
    size_t length() const;
    // Stores at most the free space; answers the bytes stored.
    size_t writeBytes(const void* bytes, size_t length);
    // Copies at most the stored length, up to the end of the storage; answers the bytes copied.
    size_t getBytes(void* bytes, size_t length);
    long writeIndex() const;
    long readIndex() const;
    bool isFull() const;
    const uint8_t* buffer() const { return m_buffer.data(); }
    std::string description() const;

  private:
    size_t lengthLocked() const;

    const size_t m_capacity;
    std::vector<uint8_t> m_buffer;
    long m_writeIndex = 0;
    long m_readIndex = 0;
    bool m_bufferFull = false;
    mutable std::mutex m_bufferMutex;
};

} // namespace usblink
