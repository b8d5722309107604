#include "input/QNBKeyCodeFunctions.h"

#include "input/UchrLayoutData.h"
#include "platform/coregraphics/CGEvent.h"
#include "platform/foundation/CFStringUnicode.h"
#include "platform/textinputsources/UnicodeUtilities.h"

namespace input {

namespace {

struct SpecialKey {
    uint16_t keyCode;
    uint32_t glyph;
    const char* text;
};

// Key code 0 means the row has no key.
constexpr SpecialKey kSpecialKeys[] = {
    {48, 2, "\u21E5"},    {48, 3, "\u21E4"},    {76, 4, "\u2305"},    {0, 9, "\u2423"},
    {51, 10, "\u2326"},   {117, 23, "\u232B"},  {36, 11, "\u21A9"},   {36, 12, "\u21AA"},
    {36, 13, "\u21B5"},   {0, 16, "\u21E3"},    {0, 24, "\u21E0"},    {0, 25, "\u21E1"},
    {0, 26, "\u21E2"},    {53, 27, "\u238B"},   {71, 28, "\u2327"},   {116, 98, "\u21DE"},
    {121, 107, "\u21DF"}, {123, 100, "\u2190"}, {124, 101, "\u2192"}, {126, 104, "\u2191"},
    {125, 106, "\u2193"}, {115, 102, "\u2196"}, {119, 105, "\u2198"}, {114, 103, "<<Help Key>>"},
    {0, 110, "\u233D"},   {122, 111, "F1"},     {120, 112, "F2"},     {99, 113, "F3"},
    {118, 114, "F4"},     {96, 115, "F5"},      {97, 116, "F6"},      {98, 117, "F7"},
    {100, 118, "F8"},     {101, 119, "F9"},     {109, 120, "F10"},    {103, 121, "F11"},
    {111, 122, "F12"},    {105, 135, "F13"},    {107, 136, "F14"},    {113, 137, "F15"},
    {106, 143, "F16"},    {0, 140, "\u23CF"},
};
static_assert(std::size(kSpecialKeys) == 42);

std::optional<cf::Value> layoutDataOf(const tis::TISInputSourceRef& source) {
    return tis::TISGetInputSourceProperty(source, tis::kTISPropertyUnicodeKeyLayoutData);
}

} // namespace

OSStatus QNBGetKeyCodeForCharacter(const tis::TISInputSourceRef& given, char16_t character,
                                   uint16_t* keyCode) {
    if (!keyCode) return kQNBParamErr;
    auto source = given ? given : tis::TISCopyCurrentKeyboardLayoutInputSource();
    auto data = layoutDataOf(source);
    const cf::Bytes* bytes = data ? data->asData() : nullptr;
    auto layout = bytes ? UchrLayoutData::parse(bytes->data(), bytes->size()) : std::nullopt;
    if (!layout) return kQNBNoKeyForCharacter;
    for (const UchrKeyboardTypeHeader& h : layout->headers) {
        if (h.charTableIndexFormat != 0x4001) continue;
        bool records = h.hasStateRecords && h.stateRecordsFormat == 0x5001;
        for (const auto& table : h.tables) {
            for (uint16_t key = 0; key < table.size(); ++key) {
                uint16_t e = table[key];
                if ((e & 0xC000) == 0x8000) continue;
                if ((e & 0xC000) == 0x4000 && records && (e & 0x3FFF) < h.stateRecords.size()) {
                    if (h.stateRecords[e & 0x3FFF].stateZeroOutput != character) continue;
                } else if (e >= 0xFFFE || e != character) {
                    continue;
                }
                *keyCode = key;
                return 0;
            }
        }
    }
    return kQNBNoKeyForCharacter;
}

std::u16string QNBCreateStringFromKeyCode(uint16_t keyCode, bool flag) {
    auto data = layoutDataOf(tis::TISCopyCurrentKeyboardInputSource());
    const cf::Bytes* bytes = data ? data->asData() : nullptr;
    if (!bytes) return {};
    uint32_t dead = 0;
    char16_t units[4];
    size_t n = 0;
    OSStatus status = tis::UCKeyTranslate(bytes->data(), bytes->size(), keyCode, tis::kUCKeyActionDisplay,
                                          flag ? 512 : 0, tis::LMGetKbdType(), 0, &dead, 4, &n, units);
    if ((status != 0 && status != tis::kUCOutputBufferTooSmall) || n == 0) return {};
    return std::u16string(1, units[0]);
}

char16_t QNBKeyCodeToUniChar(uint16_t keyCode, bool flag) {
    std::u16string s = QNBCreateStringFromKeyCode(keyCode, flag);
    return s.empty() ? 0 : s[0];
}

void QNBPostUniCharWithoutModifiers(char16_t character) {
    for (bool down : {true, false}) {
        auto event = cg::CGEventCreateKeyboardEvent(nullptr, 0, down);
        cg::CGEventKeyboardSetUnicodeString(event, 1, &character);
        cg::CGEventPost(cg::kCGSessionEventTap, event);
    }
}

std::optional<std::string> QNBCopyModifierString(uint32_t m) {
    if ((m & 0x0F) == 0x08) return std::nullopt;
    std::string s;
    if (m & 0x01) s += "\u21E7";
    if (m & 0x04) s += "\u2303";
    if (m & 0x02) s += "\u2325";
    if (!(m & 0x08)) s += "\u2318";
    return s;
}

std::optional<std::string> QNBCopyStringForGlyph(uint32_t glyph) {
    // The keyboard-glyph text encoding has no converter on this platform, so the table answers.
    for (const SpecialKey& row : kSpecialKeys)
        if (row.glyph == glyph) return std::string(row.text);
    return std::nullopt;
}

std::optional<std::string> QNBCopyStringForKeyCode(uint16_t keyCode) {
    if (keyCode == 0) return std::nullopt;
    for (const SpecialKey& row : kSpecialKeys)
        if (row.keyCode == keyCode) return std::string(row.text);
    return std::nullopt;
}

} // namespace input
