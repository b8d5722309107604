#include "input/PointerActions.h"

#include "foundation/QNBPreferences.h"
#include "input/PointerStylus.h"
#include "platform/core/Log.h"

#include <mutex>

namespace input {

namespace {

constexpr uint16_t kZKey = 6;

// A key-down and a key-up from the event source with flags added, at the HID event tap.
void postKeystroke(uint16_t key, uint64_t flags) {
    for (bool down : {true, false}) {
        auto event = cg::CGEventCreateKeyboardEvent(eventSource(), key, down);
        if (!event) continue;
        cg::CGEventSetFlags(event, cg::CGEventGetFlags(event) | flags);
        cg::CGEventPost(cg::kCGHIDEventTap, event);
    }
}

} // namespace

cg::CGEventSourceRef eventSource() {
    static const cg::CGEventSourceRef source = cg::CGEventSourceCreate(cg::kCGEventSourceStateHIDSystemState);
    return source;
}

void postEvent(const cg::CGEventRef& event) {
    cg::CGEventPost(cg::kCGHIDEventTap, event);
}

void scrollDatagramReceived(std::span<const uint8_t> data) {
    auto message = QNScrollMsgFromDatagram(data);
    if (!message) return;
    bool natural = scrollDirectionIsNatural();
    int32_t h = scrollWheelValueForAmount(message->horizontal, natural);
    int32_t v = scrollWheelValueForAmount(message->vertical, natural);
    if (auto event = cg::CGEventCreateScrollWheelEvent(nullptr, cg::kCGScrollEventUnitPixel, 2, v, h))
        postEvent(event);
}

void postModifierKeys(uint64_t flags, bool pressed) {
    const std::pair<uint64_t, uint16_t> keys[] = {{cg::kCGEventFlagMaskControl, 59},
                                                  {cg::kCGEventFlagMaskAlternate, 58},
                                                  {cg::kCGEventFlagMaskCommand, 55},
                                                  {cg::kCGEventFlagMaskShift, 56}};
    for (auto [flag, key] : keys)
        if (flags & flag) cg::CGPostKeyboardEvent(0, key, pressed);
}

void handleButtonEventWithMsg(const QNButtonMsg& message, uint64_t& eventModifiers,
                              HeldButtonModifiers* held) {
    if (message.button > 61) { // its mask would lie past 64 bits
        platform::log("Dropping the action of button %u: no such button", unsigned(message.button));
        return;
    }
    uint64_t mask = uint64_t(1) << (message.button + 2);
    auto& prefs = foundation::QNBPreferences::sharedAppPrefs();
    bool pressed = message.pressed != 0;
    switch (prefs.actionForButton(mask)) {
    case QNBStylusActionUndo:
        if (!pressed) postKeystroke(kZKey, cg::kCGEventFlagMaskCommand);
        break;
    case QNBStylusActionRedo:
        if (!pressed) postKeystroke(kZKey, cg::kCGEventFlagMaskCommand | cg::kCGEventFlagMaskShift);
        break;
    case QNBStylusActionCustomModifier: {
        uint64_t mods = prefs.modifiersForButton(mask);
        postModifierKeys(mods, pressed);
        eventModifiers = pressed ? mods : 0;
        if (held) {
            if (pressed)
                (*held)[message.button] = mods;
            else
                held->erase(message.button);
        }
        break;
    }
    case QNBStylusActionKeystroke: {
        if (pressed) break;
        uint16_t character = prefs.shortcutCharacterForButton(mask);
        // A recorded shortcut is one whose character's low byte, read signed, is positive.
        if (static_cast<int8_t>(character & 0xFF) <= 0) break;
        postKeystroke(static_cast<uint16_t>(prefs.shortcutKeyCodeForButton(mask) & 0xFFFF),
                      prefs.shortcutModifiersForButton(mask));
        break;
    }
    default:
        break;
    }
}

} // namespace input
