#include "input/QNBHostKeyboardEvent.h"

#include "foundation/QNBPreferences.h"
#include "input/InputDatagrams.h"
#include "input/QNBKeyCodeUtilities.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGEvent.h"

#include <atomic>

namespace input {

namespace {

constexpr uint16_t kShiftKey = 56, kCommandKey = 55, kDeleteKey = 51, kRightArrow = 124;
constexpr uint16_t kArrows[] = {126, 125, 123, 124}; // sub-codes 1 to 4: Up, Down, Left, Right

std::atomic<bool> gCompatibleModeSwitchedOn{false};

void press(uint16_t key, bool down) {
    cg::CGPostKeyboardEvent(0, key, down);
}

void pressAndRelease(uint16_t key) {
    press(key, true);
    press(key, false);
}

void postList(const std::vector<QNBKeyListEntry>& list) {
    for (const auto& entry : list)
        press(entry.virtualKey, entry.down != 0);
}

} // namespace

uint64_t QNBEventFlagsFromMessageEventFlags(uint8_t flags) {
    if (flags == 0x01) return 0;
    uint64_t out = 0;
    if (flags & 0x02) out |= cg::kCGEventFlagMaskControl;
    if (flags & 0x04) out |= cg::kCGEventFlagMaskAlternate;
    if (flags & 0x08) out |= cg::kCGEventFlagMaskCommand;
    if (flags & 0x20) out |= cg::kCGEventFlagMaskShift;
    return out;
}

QNKeyboardMsg QNBHostKeyboardEvent::message() const {
    const uint8_t* m = m_message;
    return QNKeyboardMsg{m[0], m[1],
                         m[2], m[3],
                         m[4], static_cast<uint32_t>(m[5] | m[6] << 8 | m[7] << 16 | uint32_t(m[8]) << 24)};
}

void QNBHostKeyboardEvent::sendSynthesizedEvent() {
    if (foundation::QNBPreferences::sharedAppPrefs().debuggingDontSendKBEvents()) {
        platform::log("Debugging Flag prevented us from sending KB Events (QNBDebuggingDontSendKBEvents).");
        return;
    }
    switch (message().kind) {
    case 0:
        sendSynthesizedUnicharEvent();
        break;
    case 1:
        sendSynthesizedKeyCodeEvent();
        break;
    case 2:
        sendSynthesizedCursorEvent();
        break;
    case 3:
        sendSynthesizedSelectionEvent();
        break;
    case 4:
        sendSynthesizedDeletionEvent();
        break;
    case 5:
        sendSynthesizedPasteboardEvent();
        break;
    default:
        break;
    }
}

void QNBHostKeyboardEvent::postModifiersKeyDown(bool down) {
    QNBKeyCodeUtilities::postModifiers(message().modifierFlags, down);
}

void QNBHostKeyboardEvent::postForcedCursorRight() {
    if (!m_forceCursorRightEvent) return;
    pressAndRelease(kRightArrow);
    m_forceCursorRightEvent = false;
}

void QNBHostKeyboardEvent::sendSynthesizedUnicharEvent() {
    QNKeyboardMsg m = message();
    auto c = static_cast<char16_t>(m.value & 0xFFFF);
    QNBKeyCodeUtilities& utilities = QNBKeyCodeUtilities::sharedUtilities();
    if (!gCompatibleModeSwitchedOn.exchange(true)) utilities.setUseCompatibleModeForPostString(true);
    if (m.modifierFlags == 0) {
        if (m_forceCursorRightEvent) {
            QNBBeginKeyBracket();
            postForcedCursorRight();
            QNBEndKeyBracket();
        }
        utilities.postString(std::u16string(1, c));
        return;
    }
    auto list = utilities.keyCodesForUniChar(c, m.shiftState == 4);
    if (!list || list->empty()) return;
    QNBBeginKeyBracket();
    postForcedCursorRight();
    postModifiersKeyDown(true);
    postList(*list);
    postModifiersKeyDown(false);
    QNBEndKeyBracket();
}

void QNBHostKeyboardEvent::sendSynthesizedKeyCodeEvent() {
    QNBBeginKeyBracket();
    postModifiersKeyDown(true);
    postForcedCursorRight();
    pressAndRelease(static_cast<uint16_t>(message().value & 0xFFFF));
    postModifiersKeyDown(false);
    QNBEndKeyBracket();
}

void QNBHostKeyboardEvent::sendSynthesizedCursorEvent() {
    uint32_t sub = message().value;
    if (sub < 1 || sub > 4) return;
    QNBBeginKeyBracket();
    postModifiersKeyDown(true);
    pressAndRelease(kArrows[sub - 1]);
    postModifiersKeyDown(false);
    QNBEndKeyBracket();
}

void QNBHostKeyboardEvent::postCommandWithKeysFor(char16_t letter) {
    auto list = QNBKeyCodeUtilities::sharedUtilities().keyCodesForUniChar(letter, false);
    QNBBeginKeyBracket();
    press(kCommandKey, true);
    if (list) postList(*list);
    press(kCommandKey, false);
    QNBEndKeyBracket();
}

void QNBHostKeyboardEvent::sendSynthesizedSelectionEvent() {
    uint32_t sub = message().value;
    if (sub >= 1 && sub <= 4) {
        QNBBeginKeyBracket();
        press(kShiftKey, true);
        pressAndRelease(kArrows[sub - 1]);
        press(kShiftKey, false);
        QNBEndKeyBracket();
    } else if (sub == 5) {
        postCommandWithKeysFor(u'a');
    }
}

void QNBHostKeyboardEvent::sendSynthesizedDeletionEvent() {
    QNBBeginKeyBracket();
    postModifiersKeyDown(true);
    pressAndRelease(kDeleteKey);
    postModifiersKeyDown(false);
    QNBEndKeyBracket();
}

void QNBHostKeyboardEvent::sendSynthesizedPasteboardEvent() {
    static constexpr char16_t kLetters[] = {u'x', u'c', u'v', u'z'};
    uint32_t sub = message().value;
    if (sub < 1 || sub > 4) return;
    auto list = QNBKeyCodeUtilities::sharedUtilities().keyCodesForUniChar(kLetters[sub - 1], false);
    if (!list || list->empty()) return;
    QNBBeginKeyBracket();
    press(kCommandKey, true);
    postList(*list);
    press(kCommandKey, false);
    QNBEndKeyBracket();
}

void keyboardEventDatagramReceived(std::span<const uint8_t> data) {
    if (!datagramHasLength(data, QNKeyboardMsg::kSize)) return;
    QNBHostKeyboardEvent event(data.data());
    if (event.isValid()) event.sendSynthesizedEvent();
}

} // namespace input
