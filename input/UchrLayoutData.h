// Unicode keyboard-layout data ('uchr') read once into checked tables: every offset and count
// is followed only after it was found inside the data, so the key searches below never read
// outside it. Malformed data reads as no layout at all.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace input {

struct UchrStateRecord {
    uint16_t stateZeroOutput = 0;
    uint16_t stateZeroNextState = 0;
    uint16_t entryFormat = 0;
    std::vector<std::pair<uint16_t, uint16_t>> entries; // current state, output
};

struct UchrKeyboardTypeHeader {
    uint32_t firstType = 0;
    uint32_t lastType = 0;
    uint16_t modifierMapFormat = 0;
    uint16_t defaultTable = 0;
    std::vector<uint8_t> tableForModifierState;
    uint16_t charTableIndexFormat = 0;
    uint16_t keysPerTable = 0;
    std::vector<std::vector<uint16_t>> tables;
    bool hasStateRecords = false;
    uint16_t stateRecordsFormat = 0;
    std::vector<UchrStateRecord> stateRecords;
    bool hasSequences = false;
    std::vector<std::u16string> sequences;
};

struct UchrLayoutData {
    std::vector<UchrKeyboardTypeHeader> headers;

    // Nullopt when the data is too short, a count or offset points outside it, or there is
    // no keyboard-type header.
    static std::optional<UchrLayoutData> parse(const uint8_t* data, size_t size);
};

} // namespace input
