// Little-endian packing by explicit byte encoding: every record on the wire is packed
// little-endian, whatever the host's layout, so records are built and parsed a byte at a
// time and never by casting a struct over a buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace net {

class LittleEndianWriter {
  public:
    explicit LittleEndianWriter(std::vector<uint8_t>& out) : m_out(out) {}

    void u8(uint8_t v) { m_out.push_back(v); }
    void u16(uint16_t v) { put(v, 2); }
    void u32(uint32_t v) { put(v, 4); }
    void u64(uint64_t v) { put(v, 8); }
    void i16(int16_t v) { u16(static_cast<uint16_t>(v)); }
    void i32(int32_t v) { u32(static_cast<uint32_t>(v)); }
    void bytes(std::span<const uint8_t> b) { m_out.insert(m_out.end(), b.begin(), b.end()); }
    void zeros(size_t n) { m_out.insert(m_out.end(), n, 0); }

  private:
    void put(uint64_t v, int width) {
        for (int i = 0; i < width; ++i)
            m_out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    std::vector<uint8_t>& m_out;
};

// Reads from a span; a read past the end answers zero and marks the reader failed, so a
// caller checks ok() once after parsing a whole record.
class LittleEndianReader {
  public:
    explicit LittleEndianReader(std::span<const uint8_t> in) : m_in(in) {}

    uint8_t u8() { return static_cast<uint8_t>(get(1)); }
    uint16_t u16() { return static_cast<uint16_t>(get(2)); }
    uint32_t u32() { return static_cast<uint32_t>(get(4)); }
    uint64_t u64() { return get(8); }
    int16_t i16() { return static_cast<int16_t>(u16()); }
    int32_t i32() { return static_cast<int32_t>(u32()); }
    // Copies n bytes into out (zero-filled when they are not there).
    void bytes(uint8_t* out, size_t n) {
        if (!take(n)) {
            std::memset(out, 0, n);
            return;
        }
        std::memcpy(out, m_in.data() + m_offset - n, n);
    }
    void skip(size_t n) { take(n); }

    bool ok() const { return m_ok; }
    size_t offset() const { return m_offset; }
    size_t remaining() const { return m_in.size() - m_offset; }

  private:
    bool take(size_t n) {
        if (!m_ok || n > remaining()) {
            m_ok = false;
            return false;
        }
        m_offset += n;
        return true;
    }
    uint64_t get(int width) {
        if (!take(static_cast<size_t>(width))) return 0;
        uint64_t v = 0;
        for (int i = 0; i < width; ++i)
            v |= static_cast<uint64_t>(m_in[m_offset - width + i]) << (8 * i);
        return v;
    }
    std::span<const uint8_t> m_in;
    size_t m_offset = 0;
    bool m_ok = true;
};

} // namespace net
