// Builds Unicode keyboard-layout data ('uchr', little-endian) from per-key outputs: the
// layouts the stand-in Mac ships are made with it, and tests build malformed ones with it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace tis {

// The tables a layout has, in table-number order.
enum UchrLayer : int { kLayerNone, kLayerShift, kLayerCaps, kLayerOption, kLayerShiftOption, kLayerControl };
inline constexpr int kUchrLayerCount = 6;

struct UchrKeyOutput {
    std::u16string text; // empty with no dead key: no output
    int deadKey = -1;    // index into UchrDescription::deadKeys
};

struct UchrDeadKey {
    std::u16string terminator;
    // Base character and what the dead key then the base gives.
    std::vector<std::pair<char16_t, std::u16string>> results;
};

struct UchrKeyboardType {
    uint32_t first = 0;
    uint32_t last = 255;
};

struct UchrDescription {
    std::vector<UchrKeyboardType> keyboardTypes{UchrKeyboardType{}};
    uint16_t keysPerTable = 128;
    std::array<std::vector<UchrKeyOutput>, kUchrLayerCount> layers; // per key code
    std::vector<UchrDeadKey> deadKeys;
    // Written even when no output needs one (tests of the sequence road).
    std::vector<std::u16string> extraSequences;
};

// Offsets of the parts the builder wrote, for tests that break one on purpose.
struct UchrParts {
    uint32_t modifierMap = 0, charTableIndex = 0, stateRecords = 0, terminators = 0, sequences = 0;
};

// The modifier map over 32 modifier states (layout bits Command 1, Shift 2, Caps 4, Option 8,
// Control 16): Control selects Control; else Option with Shift or Caps, Shift+Option; Option
// alone, Option; else Shift, Shift; Caps, Caps; Command selects nothing; default "none".
uint8_t uchrTableForModifiers(uint32_t modifierState);

std::vector<uint8_t> buildUchr(const UchrDescription& description, UchrParts* parts = nullptr);

} // namespace tis
