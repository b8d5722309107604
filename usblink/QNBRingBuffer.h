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

    size_t capacity() const;
    // New zeroed storage of that many bytes; what was stored is dropped and the indexes start
    // over.
    void setCapacity(size_t capacity);
    size_t length() const;
    // Stores at most the free space; answers the bytes stored.
    size_t writeBytes(const void* bytes, size_t length);
    // Copies at most the stored length, up to the end of the storage; answers the bytes copied.
    size_t getBytes(void* bytes, size_t length);
    long writeIndex() const;
    long readIndex() const;
    // An index outside the storage (0 ≤ index < capacity) is refused.
    void setWriteIndex(long index);
    void setReadIndex(long index);
    bool isFull() const;
    const uint8_t* buffer() const { return m_buffer.data(); }
    // The storage becomes these bytes and the capacity their count; the indexes start over.
    void setBuffer(std::vector<uint8_t> storage);
    std::string description() const;

  private:
    size_t lengthLocked() const;

    size_t m_capacity;
    std::vector<uint8_t> m_buffer;
    long m_writeIndex = 0;
    long m_readIndex = 0;
    bool m_bufferFull = false;
    mutable std::mutex m_bufferMutex;
};

} // namespace usblink
