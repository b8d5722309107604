#include "input/UchrLayoutData.h"

namespace input {

namespace {

// Tables and records past these counts cannot be in a real layout; refusing them bounds the
// work a hostile blob can cause.
constexpr uint32_t kMaxHeaders = 256;
constexpr uint32_t kMaxTables = 256;
constexpr uint32_t kMaxModifierStates = 256;
// The most bytes a parse copies out of the blob. Tables, records and sequences may all point at
// the same bytes, so without a budget a blob of a few kilobytes could make gigabytes of copies;
// a real layout copies well under a megabyte.
constexpr uint64_t kMaxCopiedBytes = 16u << 20;

class Reader {
  public:
    Reader(const uint8_t* data, size_t size) : m_data(data), m_size(data ? size : 0) {}
    bool u8(uint64_t at, uint8_t& out) const {
        if (at >= m_size) return false;
        out = m_data[at];
        return true;
    }
    bool u16(uint64_t at, uint16_t& out) const {
        if (at + 2 > m_size) return false;
        out = static_cast<uint16_t>(m_data[at] | m_data[at + 1] << 8);
        return true;
    }
    bool u32(uint64_t at, uint32_t& out) const {
        uint16_t lo, hi;
        if (!u16(at, lo) || !u16(at + 2, hi)) return false;
        out = lo | uint32_t(hi) << 16;
        return true;
    }
    size_t size() const { return m_size; }
    // Counts bytes about to be copied against the parse's budget; false once it is spent.
    bool take(uint64_t bytes) {
        if (bytes > m_budget) return false;
        m_budget -= bytes;
        return true;
    }

  private:
    const uint8_t* m_data;
    size_t m_size;
    uint64_t m_budget = kMaxCopiedBytes;
};

bool readModifierMap(Reader& r, uint32_t at, UchrKeyboardTypeHeader& h) {
    uint32_t count;
    if (!r.u16(at, h.modifierMapFormat) || !r.u16(at + 2, h.defaultTable) || !r.u32(at + 4, count))
        return false;
    if (count > kMaxModifierStates || !r.take(count)) return false;
    h.tableForModifierState.resize(count);
    for (uint32_t i = 0; i < count; ++i)
        if (!r.u8(uint64_t(at) + 8 + i, h.tableForModifierState[i])) return false;
    return true;
}

bool readTables(Reader& r, uint32_t at, UchrKeyboardTypeHeader& h) {
    uint32_t count;
    if (!r.u16(at, h.charTableIndexFormat) || !r.u16(at + 2, h.keysPerTable) || !r.u32(at + 4, count))
        return false;
    if (count > kMaxTables) return false;
    h.tables.resize(count);
    for (uint32_t t = 0; t < count; ++t) {
        uint32_t offset;
        if (!r.u32(uint64_t(at) + 8 + 4ull * t, offset)) return false;
        if (uint64_t(offset) + 2ull * h.keysPerTable > r.size() || !r.take(2ull * h.keysPerTable))
            return false;
        h.tables[t].resize(h.keysPerTable);
        for (uint32_t k = 0; k < h.keysPerTable; ++k)
            r.u16(uint64_t(offset) + 2ull * k, h.tables[t][k]);
    }
    return true;
}

bool readStateRecords(Reader& r, uint32_t at, UchrKeyboardTypeHeader& h) {
    uint16_t count;
    if (!r.u16(at, h.stateRecordsFormat) || !r.u16(at + 2, count) || !r.take(8ull * count)) return false;
    h.hasStateRecords = true;
    h.stateRecords.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t offset;
        UchrStateRecord& rec = h.stateRecords[i];
        uint16_t entries;
        if (!r.u32(uint64_t(at) + 4 + 4ull * i, offset) || !r.u16(offset, rec.stateZeroOutput) ||
            !r.u16(uint64_t(offset) + 2, rec.stateZeroNextState) || !r.u16(uint64_t(offset) + 4, entries) ||
            !r.u16(uint64_t(offset) + 6, rec.entryFormat))
            return false;
        if (rec.entryFormat != 1) continue; // only terminal entries are read
        if (uint64_t(offset) + 8 + 4ull * entries > r.size() || !r.take(8 + 4ull * entries)) return false;
        rec.entries.resize(entries);
        for (uint32_t e = 0; e < entries; ++e) {
            r.u16(uint64_t(offset) + 8 + 4ull * e, rec.entries[e].first);
            r.u16(uint64_t(offset) + 10 + 4ull * e, rec.entries[e].second);
        }
    }
    return true;
}

bool readSequences(Reader& r, uint32_t at, UchrKeyboardTypeHeader& h) {
    uint16_t format, count;
    if (!r.u16(at, format) || !r.u16(at + 2, count) || !r.take(2ull * count)) return false;
    h.hasSequences = true;
    std::vector<uint16_t> offsets(size_t(count) + 1);
    for (uint32_t i = 0; i <= count; ++i)
        if (!r.u16(uint64_t(at) + 4 + 2ull * i, offsets[i])) return false;
    h.sequences.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        if (offsets[i] > offsets[i + 1] || uint64_t(at) + offsets[i + 1] > r.size() ||
            !r.take(offsets[i + 1] - offsets[i]))
            return false;
        for (uint32_t o = offsets[i]; o + 1 < offsets[i + 1]; o += 2) {
            uint16_t unit = 0;
            r.u16(uint64_t(at) + o, unit);
            h.sequences[i].push_back(static_cast<char16_t>(unit));
        }
    }
    return true;
}

} // namespace

std::optional<UchrLayoutData> UchrLayoutData::parse(const uint8_t* data, size_t size) {
    Reader r(data, size);
    uint32_t count;
    if (!r.u32(8, count) || count == 0 || count > kMaxHeaders) return std::nullopt;
    UchrLayoutData layout;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t v[7];
        for (int j = 0; j < 7; ++j)
            if (!r.u32(12 + 28ull * i + 4ull * j, v[j])) return std::nullopt;
        UchrKeyboardTypeHeader h;
        h.firstType = v[0];
        h.lastType = v[1];
        if (!readModifierMap(r, v[2], h) || !readTables(r, v[3], h)) return std::nullopt;
        if (v[4] && !readStateRecords(r, v[4], h)) return std::nullopt;
        if (v[6] && !readSequences(r, v[6], h)) return std::nullopt;
        layout.headers.push_back(std::move(h));
    }
    return layout;
}

} // namespace input
