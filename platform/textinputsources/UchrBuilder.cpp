#include "platform/textinputsources/UchrBuilder.h"

#include <algorithm>
#include <map>

namespace tis {

namespace {

constexpr uint16_t kNoOutput = 0xFFFF;
constexpr uint32_t kModifierStates = 32;

class Writer {
  public:
    uint32_t size() const { return static_cast<uint32_t>(m_bytes.size()); }
    void u8(uint8_t v) { m_bytes.push_back(v); }
    void u16(uint16_t v) {
        u8(static_cast<uint8_t>(v));
        u8(static_cast<uint8_t>(v >> 8));
    }
    void u32(uint32_t v) {
        u16(static_cast<uint16_t>(v));
        u16(static_cast<uint16_t>(v >> 16));
    }
    void align4() {
        while (m_bytes.size() % 4)
            u8(0);
    }
    void put32(uint32_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            m_bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
    void put16(uint32_t at, uint16_t v) {
        m_bytes[at] = static_cast<uint8_t>(v);
        m_bytes[at + 1] = static_cast<uint8_t>(v >> 8);
    }
    std::vector<uint8_t> take() { return std::move(m_bytes); }

  private:
    std::vector<uint8_t> m_bytes;
};

// Output values for texts: single units as they are, longer ones as sequences.
struct Outputs {
    std::vector<std::u16string> sequences;
    uint16_t of(const std::u16string& text) {
        if (text.empty()) return kNoOutput;
        if (text.size() == 1 && (text[0] & 0xC000) != 0x4000 && (text[0] & 0xC000) != 0x8000 &&
            text[0] < 0xFFFE)
            return text[0];
        auto it = std::find(sequences.begin(), sequences.end(), text);
        if (it == sequences.end()) it = sequences.insert(sequences.end(), text);
        return static_cast<uint16_t>(0x8000 | (it - sequences.begin()));
    }
};

struct StateRecord {
    uint16_t stateZeroOutput = kNoOutput;
    uint16_t stateZeroNext = 0;
    std::vector<std::pair<uint16_t, uint16_t>> entries; // current state, output
};

} // namespace

uint8_t uchrTableForModifiers(uint32_t m) {
    bool shift = m & 0x02, caps = m & 0x04, option = m & 0x08, control = m & 0x10;
    if (control) return kLayerControl;
    if (option) return (shift || caps) ? kLayerShiftOption : kLayerOption;
    if (shift) return kLayerShift;
    if (caps) return kLayerCaps;
    return kLayerNone;
}

std::vector<uint8_t> buildUchr(const UchrDescription& d, UchrParts* parts) {
    Outputs outputs;
    for (const auto& s : d.extraSequences)
        outputs.sequences.push_back(s);

    // State records: one per dead key (its state is index + 1), then one per base character
    // that some dead key combines with.
    std::vector<StateRecord> records;
    for (size_t i = 0; i < d.deadKeys.size(); ++i)
        records.push_back({kNoOutput, static_cast<uint16_t>(i + 1), {}});
    std::map<char16_t, size_t> baseRecord;
    for (size_t i = 0; i < d.deadKeys.size(); ++i) {
        for (const auto& [base, result] : d.deadKeys[i].results) {
            auto [it, added] = baseRecord.try_emplace(base, records.size());
            if (added) records.push_back({base, 0, {}});
            records[it->second].entries.emplace_back(static_cast<uint16_t>(i + 1), outputs.of(result));
        }
    }

    std::array<std::vector<uint16_t>, kUchrLayerCount> tables;
    for (int layer = 0; layer < kUchrLayerCount; ++layer) {
        tables[layer].assign(d.keysPerTable, kNoOutput);
        const auto& keys = d.layers[layer];
        for (size_t k = 0; k < keys.size() && k < d.keysPerTable; ++k) {
            const UchrKeyOutput& out = keys[k];
            uint16_t value = kNoOutput;
            if (out.deadKey >= 0 && static_cast<size_t>(out.deadKey) < d.deadKeys.size())
                value = static_cast<uint16_t>(0x4000 | out.deadKey);
            else if (out.text.size() == 1 && baseRecord.count(out.text[0]))
                value = static_cast<uint16_t>(0x4000 | baseRecord[out.text[0]]);
            else
                value = outputs.of(out.text);
            tables[layer][k] = value;
        }
    }
    std::vector<uint16_t> terminators;
    for (const auto& dead : d.deadKeys)
        terminators.push_back(outputs.of(dead.terminator));

    Writer w;
    w.u16(0x1002); // header format
    w.u16(0);      // data version
    w.u32(0);      // no feature info
    w.u32(static_cast<uint32_t>(d.keyboardTypes.size()));
    uint32_t headers = w.size();
    for (size_t i = 0; i < d.keyboardTypes.size() * 7; ++i)
        w.u32(0);
    UchrParts p;

    p.modifierMap = w.size();
    w.u16(0x3001);
    w.u16(kLayerNone);
    w.u32(kModifierStates);
    for (uint32_t m = 0; m < kModifierStates; ++m)
        w.u8(uchrTableForModifiers(m));
    w.align4();

    p.charTableIndex = w.size();
    w.u16(0x4001);
    w.u16(d.keysPerTable);
    w.u32(kUchrLayerCount);
    uint32_t tableOffsets = w.size();
    for (int i = 0; i < kUchrLayerCount; ++i)
        w.u32(0);
    for (int i = 0; i < kUchrLayerCount; ++i) {
        w.put32(tableOffsets + 4 * i, w.size());
        for (uint16_t v : tables[i])
            w.u16(v);
        w.align4();
    }

    if (!records.empty()) {
        p.stateRecords = w.size();
        w.u16(0x5001);
        w.u16(static_cast<uint16_t>(records.size()));
        uint32_t recordOffsets = w.size();
        for (size_t i = 0; i < records.size(); ++i)
            w.u32(0);
        for (size_t i = 0; i < records.size(); ++i) {
            w.put32(recordOffsets + 4 * static_cast<uint32_t>(i), w.size());
            const StateRecord& r = records[i];
            w.u16(r.stateZeroOutput);
            w.u16(r.stateZeroNext);
            w.u16(static_cast<uint16_t>(r.entries.size()));
            w.u16(1); // terminal entries
            for (auto [state, output] : r.entries) {
                w.u16(state);
                w.u16(output);
            }
            w.align4();
        }
        p.terminators = w.size();
        w.u16(0x6001);
        w.u16(static_cast<uint16_t>(terminators.size()));
        for (uint16_t t : terminators)
            w.u16(t);
        w.align4();
    }

    if (!outputs.sequences.empty()) {
        p.sequences = w.size();
        w.u16(0x7001);
        w.u16(static_cast<uint16_t>(outputs.sequences.size()));
        uint32_t offsets = w.size();
        for (size_t i = 0; i <= outputs.sequences.size(); ++i)
            w.u16(0);
        for (size_t i = 0; i < outputs.sequences.size(); ++i) {
            w.put16(offsets + 2 * static_cast<uint32_t>(i), static_cast<uint16_t>(w.size() - p.sequences));
            for (char16_t c : outputs.sequences[i])
                w.u16(c);
        }
        w.put16(offsets + 2 * static_cast<uint32_t>(outputs.sequences.size()),
                static_cast<uint16_t>(w.size() - p.sequences));
        w.align4();
    }

    for (size_t i = 0; i < d.keyboardTypes.size(); ++i) {
        uint32_t at = headers + static_cast<uint32_t>(i) * 28;
        w.put32(at, d.keyboardTypes[i].first);
        w.put32(at + 4, d.keyboardTypes[i].last);
        w.put32(at + 8, p.modifierMap);
        w.put32(at + 12, p.charTableIndex);
        w.put32(at + 16, p.stateRecords);
        w.put32(at + 20, p.terminators);
        w.put32(at + 24, p.sequences);
    }
    if (parts) *parts = p;
    return w.take();
}

} // namespace tis
