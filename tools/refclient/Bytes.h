// Packed little-endian reading and writing for the wire records. Every read is
// bounds-checked: reading past the end answers zero and marks the reader failed,
// so a short record can never reach beyond its buffer.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

namespace refclient {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

class ByteWriter {
public:
    ByteWriter& u8(uint8_t v) {
        m_bytes.push_back(v);
        return *this;
    }
    ByteWriter& u16(uint16_t v) { return little(v, 2); }
    ByteWriter& u32(uint32_t v) { return little(v, 4); }
    ByteWriter& u64(uint64_t v) { return little(v, 8); }
    ByteWriter& i16(int16_t v) { return u16(static_cast<uint16_t>(v)); }
    ByteWriter& i32(int32_t v) { return u32(static_cast<uint32_t>(v)); }
    ByteWriter& f32(float v) {
        uint32_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        return u32(bits);
    }
    ByteWriter& zeros(size_t n) {
        m_bytes.insert(m_bytes.end(), n, 0);
        return *this;
    }
    ByteWriter& bytes(ByteView b) {
        m_bytes.insert(m_bytes.end(), b.begin(), b.end());
        return *this;
    }
    // A text field of fixed width: the text as given (already fitted), zero-filled.
    ByteWriter& field(std::string_view text, size_t width) {
        size_t n = text.size() < width ? text.size() : width;
        m_bytes.insert(m_bytes.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
        return zeros(width - n);
    }
    size_t size() const { return m_bytes.size(); }
    const Bytes& bytes() const { return m_bytes; }
    Bytes take() { return std::move(m_bytes); }

private:
    ByteWriter& little(uint64_t v, int width) {
        for (int i = 0; i < width; ++i) m_bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    Bytes m_bytes;
};

class ByteReader {
public:
    explicit ByteReader(ByteView data) : m_data(data) {}
    uint8_t u8() { return static_cast<uint8_t>(little(1)); }
    uint16_t u16() { return static_cast<uint16_t>(little(2)); }
    uint32_t u32() { return static_cast<uint32_t>(little(4)); }
    uint64_t u64() { return little(8); }
    int16_t i16() { return static_cast<int16_t>(u16()); }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    float f32() {
        uint32_t bits = u32();
        float v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    void skip(size_t n) {
        if (!need(n)) return;
        m_pos += n;
    }
    bool ok() const { return m_ok; }
    size_t position() const { return m_pos; }
    size_t remaining() const { return m_data.size() - m_pos; }

private:
    bool need(size_t n) {
        if (!m_ok || m_data.size() - m_pos < n) {
            m_ok = false;
            return false;
        }
        return true;
    }
    uint64_t little(int width) {
        if (!need(static_cast<size_t>(width))) return 0;
        uint64_t v = 0;
        for (int i = 0; i < width; ++i) v |= static_cast<uint64_t>(m_data[m_pos + static_cast<size_t>(i)]) << (8 * i);
        m_pos += static_cast<size_t>(width);
        return v;
    }
    ByteView m_data;
    size_t m_pos = 0;
    bool m_ok = true;
};

} // namespace refclient
