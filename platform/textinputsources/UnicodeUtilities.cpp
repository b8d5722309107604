#include "platform/textinputsources/UnicodeUtilities.h"

#include <optional>
#include <vector>

namespace tis {

namespace {

constexpr uint16_t kStateRecordBits = 0x4000;
constexpr uint16_t kSequenceBits = 0x8000;

class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : m_data(data), m_size(data ? size : 0) {}
    std::optional<uint8_t> u8(uint64_t at) const {
        if (at >= m_size) return std::nullopt;
        return m_data[at];
    }
    std::optional<uint16_t> u16(uint64_t at) const {
        if (at + 2 > m_size) return std::nullopt;
        return static_cast<uint16_t>(m_data[at] | m_data[at + 1] << 8);
    }
    std::optional<uint32_t> u32(uint64_t at) const {
        auto lo = u16(at), hi = u16(at + 2);
        if (!lo || !hi) return std::nullopt;
        return *lo | uint32_t(*hi) << 16;
    }
    size_t size() const { return m_size; }

  private:
    const uint8_t* m_data;
    size_t m_size;
};

struct Header {
    uint32_t first, last, modifierMap, charTables, stateRecords, terminators, sequences;
};

std::optional<Header> chooseHeader(const Reader& r, uint32_t keyboardType) {
    auto count = r.u32(8);
    if (!count || *count == 0 || *count > r.size() / 28) return std::nullopt;
    std::optional<Header> chosen;
    for (uint32_t i = 0; i < *count; ++i) {
        uint32_t v[7];
        for (int j = 0; j < 7; ++j) {
            auto x = r.u32(12 + 28ull * i + 4ull * j);
            if (!x) return std::nullopt;
            v[j] = *x;
        }
        Header h{v[0], v[1], v[2], v[3], v[4], v[5], v[6]};
        if (i == 0) chosen = h;
        if (h.first <= keyboardType && keyboardType <= h.last) return h;
    }
    return chosen;
}

// Appends a sequence's units; false when the index or its offsets are out of bounds.
bool appendSequence(const Reader& r, uint32_t index, uint32_t i, std::vector<UniChar>& out) {
    auto count = r.u16(index + 2);
    if (!count || i >= *count) return false;
    auto from = r.u16(index + 4 + 2ull * i), to = r.u16(index + 4 + 2ull * (i + 1));
    if (!from || !to || *from > *to) return false;
    for (uint32_t at = *from; at + 1 < *to; at += 2) {
        auto unit = r.u16(uint64_t(index) + at);
        if (!unit) return false;
        out.push_back(*unit);
    }
    return true;
}

class Translation {
  public:
    Translation(const Reader& r, const Header& h) : m_r(r), m_h(h) {}

    // An output value as units: plain, a sequence, or nothing.
    bool appendPlain(uint16_t value, std::vector<UniChar>& out) const {
        if (value >= 0xFFFE) return true;
        if ((value & 0xC000) == kSequenceBits && m_h.sequences) {
            auto count = m_r.u16(m_h.sequences + 2);
            if (!count) return false;
            if ((value & 0x3FFF) < *count) return appendSequence(m_r, m_h.sequences, value & 0x3FFF, out);
        }
        out.push_back(value);
        return true;
    }
    std::optional<uint32_t> recordOffset(uint16_t value) const {
        if ((value & 0xC000) != kStateRecordBits || !m_h.stateRecords) return std::nullopt;
        auto count = m_r.u16(m_h.stateRecords + 2);
        if (!count || (value & 0x3FFF) >= *count) return std::nullopt;
        return m_r.u32(m_h.stateRecords + 4 + 4ull * (value & 0x3FFF));
    }
    bool appendTerminator(uint32_t state, std::vector<UniChar>& out) const {
        if (!m_h.terminators || state == 0) return true;
        auto count = m_r.u16(m_h.terminators + 2);
        if (!count) return false;
        if (state > *count) return true;
        auto t = m_r.u16(m_h.terminators + 4 + 2ull * (state - 1));
        return t && appendPlain(*t, out);
    }

    OSStatus translate(uint16_t key, uint16_t action, uint32_t modifiers, uint32_t options, uint32_t& dead,
                       std::vector<UniChar>& out) const {
        auto value = keyOutput(key, modifiers);
        if (!value) return paramErr;
        if (action == kUCKeyActionUp) return noErr;
        auto record = recordOffset(*value);
        if (!record) {
            if (dead != 0) {
                if (!appendTerminator(dead, out)) return paramErr;
                dead = 0;
            }
            return appendPlain(*value, out) ? noErr : paramErr;
        }
        auto zeroOutput = m_r.u16(*record), zeroNext = m_r.u16(*record + 2);
        auto entries = m_r.u16(*record + 4), format = m_r.u16(*record + 6);
        if (!zeroOutput || !zeroNext || !entries || !format) return paramErr;
        bool display = action == kUCKeyActionDisplay || (options & kUCKeyTranslateNoDeadKeysMask);
        if (display || (dead == 0 && *zeroNext == 0)) return appendPlain(*zeroOutput, out) ? noErr : paramErr;
        if (dead == 0) {
            dead = *zeroNext;
            return noErr;
        }
        if (*format == 1) {
            for (uint32_t i = 0; i < *entries; ++i) {
                auto state = m_r.u16(*record + 8 + 4ull * i), output = m_r.u16(*record + 10 + 4ull * i);
                if (!state || !output) return paramErr;
                if (*state == dead) {
                    dead = 0;
                    return appendPlain(*output, out) ? noErr : paramErr;
                }
            }
        }
        bool ok = appendTerminator(dead, out) && appendPlain(*zeroOutput, out);
        dead = 0;
        return ok ? noErr : paramErr;
    }

  private:
    std::optional<uint16_t> keyOutput(uint16_t key, uint32_t modifiers) const {
        auto mapFormat = m_r.u16(m_h.modifierMap), defaultTable = m_r.u16(m_h.modifierMap + 2);
        auto states = m_r.u32(m_h.modifierMap + 4);
        if (!mapFormat || !defaultTable || !states) return std::nullopt;
        uint32_t table = *defaultTable;
        if (modifiers < *states) {
            auto at = m_r.u8(m_h.modifierMap + 8ull + modifiers);
            if (!at) return std::nullopt;
            table = *at;
        }
        auto indexFormat = m_r.u16(m_h.charTables), keys = m_r.u16(m_h.charTables + 2);
        auto tables = m_r.u32(m_h.charTables + 4);
        if (!indexFormat || *indexFormat != 0x4001 || !keys || !tables) return std::nullopt;
        if (table >= *tables || key >= *keys) return std::nullopt;
        auto offset = m_r.u32(m_h.charTables + 8 + 4ull * table);
        if (!offset) return std::nullopt;
        return m_r.u16(*offset + 2ull * key);
    }

    const Reader& m_r;
    Header m_h;
};

} // namespace

OSStatus UCKeyTranslate(const uint8_t* keyLayout, size_t layoutSize, uint16_t virtualKeyCode,
                        uint16_t keyAction, uint32_t modifierKeyState, uint32_t keyboardType,
                        uint32_t keyTranslateOptions, uint32_t* deadKeyState, UniCharCount maxStringLength,
                        UniCharCount* actualStringLength, UniChar* unicodeString) {
    if (actualStringLength) *actualStringLength = 0;
    if (!deadKeyState || !actualStringLength || (maxStringLength > 0 && !unicodeString)) return paramErr;
    Reader r(keyLayout, layoutSize);
    auto header = chooseHeader(r, keyboardType);
    if (!header) return paramErr;
    std::vector<UniChar> out;
    uint32_t dead = *deadKeyState;
    OSStatus status =
        Translation(r, *header)
            .translate(virtualKeyCode, keyAction, modifierKeyState, keyTranslateOptions, dead, out);
    if (status != noErr) return status;
    *deadKeyState = dead;
    size_t n = out.size() < maxStringLength ? out.size() : maxStringLength;
    for (size_t i = 0; i < n; ++i)
        unicodeString[i] = out[i];
    *actualStringLength = n;
    return out.size() > maxStringLength ? kUCOutputBufferTooSmall : noErr;
}

} // namespace tis
