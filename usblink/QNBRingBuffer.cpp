#include "usblink/QNBRingBuffer.h"

#include "platform/core/Format.h"

#include <algorithm>
#include <cstring>

namespace usblink {

QNBRingBuffer::QNBRingBuffer(size_t capacity) : m_capacity(capacity), m_buffer(capacity, 0) {}

size_t QNBRingBuffer::lengthLocked() const {
    if (m_writeIndex > m_readIndex) return static_cast<size_t>(m_writeIndex - m_readIndex);
    if (m_writeIndex < m_readIndex)
        return static_cast<size_t>(m_writeIndex - m_readIndex + static_cast<long>(m_capacity));
    return m_bufferFull ? m_capacity : 0;
}

size_t QNBRingBuffer::length() const {
    std::lock_guard lock(m_bufferMutex);
    return lengthLocked();
}

size_t QNBRingBuffer::writeBytes(const void* bytes, size_t length) {
    std::lock_guard lock(m_bufferMutex);
    size_t n = std::min(length, m_capacity - lengthLocked());
    if (n == 0) return 0; // nothing stored: the full mark stays as it is
    const auto* from = static_cast<const uint8_t*>(bytes);
    auto capacity = static_cast<long>(m_capacity);
    size_t first = std::min(n, static_cast<size_t>(capacity - m_writeIndex));
    std::memcpy(m_buffer.data() + m_writeIndex, from, first);
    m_writeIndex = (m_writeIndex + static_cast<long>(first)) % capacity;
    if (first < n) {
        std::memcpy(m_buffer.data() + m_writeIndex, from + first, n - first);
        m_writeIndex += static_cast<long>(n - first);
    }
    if (m_writeIndex == m_readIndex) m_bufferFull = true;
    return n;
}

size_t QNBRingBuffer::getBytes(void* bytes, size_t length) {
    std::lock_guard lock(m_bufferMutex);
    size_t n = std::min(length, lengthLocked());
    if (n == 0) return 0;
    auto capacity = static_cast<long>(m_capacity);
    size_t count = std::min(n, static_cast<size_t>(capacity - m_readIndex));
    std::memcpy(bytes, m_buffer.data() + m_readIndex, count);
    m_readIndex = (m_readIndex + static_cast<long>(count)) % capacity;
    m_bufferFull = false;
    return count;
}

size_t QNBRingBuffer::capacity() const {
    std::lock_guard lock(m_bufferMutex);
    return m_capacity;
}

void QNBRingBuffer::setCapacity(size_t capacity) {
    setBuffer(std::vector<uint8_t>(capacity, 0));
}

void QNBRingBuffer::setBuffer(std::vector<uint8_t> storage) {
    std::lock_guard lock(m_bufferMutex);
    m_buffer = std::move(storage);
    m_capacity = m_buffer.size();
    m_writeIndex = m_readIndex = 0;
    m_bufferFull = false;
}

void QNBRingBuffer::setWriteIndex(long index) {
    std::lock_guard lock(m_bufferMutex);
    if (index >= 0 && static_cast<size_t>(index) < m_capacity) m_writeIndex = index;
}

void QNBRingBuffer::setReadIndex(long index) {
    std::lock_guard lock(m_bufferMutex);
    if (index >= 0 && static_cast<size_t>(index) < m_capacity) m_readIndex = index;
}

long QNBRingBuffer::writeIndex() const {
    std::lock_guard lock(m_bufferMutex);
    return m_writeIndex;
}

long QNBRingBuffer::readIndex() const {
    std::lock_guard lock(m_bufferMutex);
    return m_readIndex;
}

bool QNBRingBuffer::isFull() const {
    std::lock_guard lock(m_bufferMutex);
    return m_bufferFull;
}

std::string QNBRingBuffer::description() const {
    std::lock_guard lock(m_bufferMutex);
    std::string text;
    text.reserve(m_capacity);
    for (uint8_t b : m_buffer)
        text.push_back(b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.');
    return platform::format("<QNBRingBuffer: %p; capacity=%li; length=%li, buffer=%@>",
                            static_cast<const void*>(this), static_cast<long>(m_capacity),
                            static_cast<long>(lengthLocked()), text);
}

} // namespace usblink
