// Unicode keyboard-layout data ('uchr') from anywhere: the layout reader, UCKeyTranslate and
// the keyboard layout mapper on the same bytes. The input is a keyboard type, key strokes to
// translate (key code, action, modifier state, options), a text to type (UTF-16 units), then
// the layout data. A layout the reader refuses gets no mapper; every translation answers one
// of its three statuses with no more output than it was given room for; what the mapper
// types releases no key it did not press and leaves none held.
#include "fuzz/FuzzSupport.h"
#include "input/QNBKeyboardLayoutMapper.h"
#include "input/UchrLayoutData.h"
#include "platform/textinputsources/UnicodeUtilities.h"

#include <map>

using namespace input;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog quiet;
    fuzz::Reader reader(data, size);
    const uint8_t keyboardType = reader.u8();
    struct Stroke {
        uint16_t key;
        uint16_t action;
        uint32_t modifiers;
        uint32_t options;
    };
    std::vector<Stroke> strokes(reader.u8() % 8);
    for (Stroke& s : strokes)
        s = {reader.u16(), uint16_t(reader.u8() % 4), reader.u8(), uint32_t(reader.u8() & 1)};
    std::u16string text(reader.u8() % 32, u'\0');
    for (char16_t& unit : text)
        unit = reader.u16();
    const cf::Bytes layout = reader.rest(); // exactly the layout, so a read past it is caught

    const auto parsed = UchrLayoutData::parse(layout.data(), layout.size());
    uint32_t deadKeyState = 0;
    for (const Stroke& s : strokes) {
        tis::UniChar output[4] = {};
        tis::UniCharCount length = 99;
        const tis::OSStatus status =
            tis::UCKeyTranslate(layout.data(), layout.size(), s.key, s.action, s.modifiers, keyboardType,
                                s.options, &deadKeyState, 4, &length, output);
        FUZZ_CHECK(status == tis::noErr || status == tis::paramErr || status == tis::kUCOutputBufferTooSmall,
                   std::to_string(status));
        FUZZ_CHECK(length <= 4, std::to_string(length));
    }

    const auto mapper = QNBKeyboardLayoutMapper::initWithLayoutRef(cf::Value(layout), keyboardType);
    FUZZ_CHECK(bool(mapper) == parsed.has_value(),
               "a mapper over data the reader refuses, or none over good data");
    if (!mapper) return 0;
    for (int keypad : {kKeypadAny, kKeypadOnly, kKeypadNever}) {
        mapper->clearVirtualKeysToType();
        mapper->appendVirtualKeysToTypeString(text, keypad);
        std::map<uint16_t, int> held;
        for (const QNBKeyEvent& e : mapper->virtualKeysToType()) {
            held[e.virtualKey] += e.press ? 1 : -1;
            FUZZ_CHECK(held[e.virtualKey] >= 0,
                       "key " + std::to_string(e.virtualKey) + " released unpressed");
        }
        for (const auto& [key, count] : held)
            FUZZ_CHECK(count == 0, "key " + std::to_string(key) + " left held");
    }
    return 0;
}
