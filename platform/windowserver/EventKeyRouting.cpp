// Posted keys for the active application: its key window takes them, with the characters the
// current layout gives (Shift, Caps Lock and Option applied; Command and Control leave them
// as typed, so Command-W reads "w"), unless the text sink is focused.
#include "platform/foundation/CFStringUnicode.h"
#include "platform/textinputsources/KeyLayouts.h"
#include "platform/textinputsources/UnicodeUtilities.h"
#include "platform/windowserver/EventSystem.h"

#include <cmath>

namespace windowserver {

bool EventSystem::routeKey(int64_t type, uint16_t key, uint64_t eventFlags, const std::u16string* unicode) {
    if (m_sinkFocused || (key >= 54 && key <= 63)) return false; // modifier keys only change state
    const uint64_t flags = modifierFlags() | eventFlags;
    std::u16string characters;
    if (unicode) {
        characters = *unicode;
    } else if (auto layout = tis::builtInKeyboardLayout(m_layoutSource)) {
        uint8_t modifiers = 0;
        if (flags & 0x20000) modifiers |= 0x02; // Shift
        if (flags & 0x10000) modifiers |= 0x04; // Caps Lock
        if (flags & 0x80000) modifiers |= 0x08; // Option
        uint32_t deadKeyState = 0;
        char16_t out[16];
        size_t n = 0;
        if (tis::UCKeyTranslate(layout->uchr.data(), layout->uchr.size(), key, tis::kUCKeyActionDown,
                                modifiers, m_keyboardType, 0, &deadKeyState, 16, &n, out) == tis::noErr)
            characters.assign(out, n);
    }
    return m_host.routeKey(type, key, flags, cf::utf8FromUTF16(characters));
}

double EventSystem::fieldReal(const cf::Value* fields, int number) {
    const cf::Value* field = fields ? fields->find(std::to_string(number)) : nullptr;
    if (!field) return 0;
    for (auto kind : {"double", "integer"})
        if (const cf::Value* v = field->find(kind); v && v->isNumber() && std::isfinite(v->doubleValue()))
            return v->doubleValue();
    return 0;
}

} // namespace windowserver
