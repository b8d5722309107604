// Posted events for applications: keys for the active application's key window, with the
// characters the current layout gives (Shift, Caps Lock and Option applied; Command and Control
// leave them as typed, so Command-W reads "w"), unless the text sink is focused; HID pointer
// events routed as posted ones are.
#include "platform/foundation/CFStringUnicode.h"
#include "platform/textinputsources/KeyLayouts.h"
#include "platform/textinputsources/UnicodeUtilities.h"
#include "platform/windowserver/EventSystem.h"

#include <cmath>

namespace windowserver {

bool EventSystem::routeKey(int64_t type, uint16_t key, uint64_t eventFlags, const std::u16string* unicode) {
    if (m_sinkFocused || (key >= 54 && key <= 63)) return false; // modifier keys only change state
    const uint64_t flags = modifierFlags() | eventFlags;
    auto layout = tis::builtInKeyboardLayout(m_layoutSource);
    auto translate = [&](uint8_t modifiers) {
        std::u16string characters;
        if (!layout) return characters;
        uint32_t deadKeyState = 0;
        char16_t out[16];
        size_t n = 0;
        if (tis::UCKeyTranslate(layout->uchr.data(), layout->uchr.size(), key, tis::kUCKeyActionDown,
                                modifiers, m_keyboardType, 0, &deadKeyState, 16, &n, out) == tis::noErr)
            characters.assign(out, n);
        return characters;
    };
    uint8_t modifiers = 0;
    if (flags & 0x20000) modifiers |= 0x02; // Shift
    if (flags & 0x10000) modifiers |= 0x04; // Caps Lock
    if (flags & 0x80000) modifiers |= 0x08; // Option
    const std::u16string characters = unicode ? *unicode : translate(modifiers);
    // Shortcut recorders want the key itself: Option-K is "k" here, not "˚".
    const std::u16string unmodified = translate(modifiers & 0x04);
    return m_host.routeKey(type, key, flags, cf::utf8FromUTF16(characters), cf::utf8FromUTF16(unmodified));
}

void EventSystem::routeHID(uint32_t type, kernel::IOGPoint location, const kernel::NXEventData& event,
                           uint32_t flags) {
    double pressure = 0;
    if ((type >= 1 && type <= 4) || type == 25 || type == 26)
        pressure = event.mouse.pressure / 255.0;
    else if (type == 6 || type == 7 || type == 27)
        pressure = event.mouseMove.tablet.pressure / 65535.0;
    else if (type == 23)
        pressure = event.tablet.pressure / 65535.0;
    else if (type != 5)
        return; // not a pointer event
    m_host.routeMouse(type, cg::CGPointMake(location.x, location.y), flags, pressure);
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
