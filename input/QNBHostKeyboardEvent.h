// One keyboard message of the client turned into keyboard events on the Mac: a typed Unicode
// character, a raw virtual key, an arrow, a selection step, a deletion, or cut, copy, paste and
// undo, each with the modifier keys the message carries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace input {

// The keyboard datagram (type 3), 9 bytes, little-endian.
struct QNKeyboardMsg {
    static constexpr size_t kSize = 9;
    uint8_t type;
    uint8_t kind;
    uint8_t shiftState;
    uint8_t modifierFlags;
    uint8_t reserved;
    uint32_t value;
};

// Control 0x40000, Alternate 0x80000, Command 0x100000, Shift 0x20000; 0x01 alone gives 0.
uint64_t QNBEventFlagsFromMessageEventFlags(uint8_t flags);

class QNBHostKeyboardEvent {
  public:
    // Reads the message's bytes where they lie (valid while the handler runs).
    explicit QNBHostKeyboardEvent(const uint8_t* message) { initWithKeyboardMessage(message); }

    void initWithKeyboardMessage(const uint8_t* message) { m_message = message; }
    bool isValid() const { return m_message != nullptr; }
    void sendSynthesizedEvent();

    void sendSynthesizedUnicharEvent();
    void sendSynthesizedKeyCodeEvent();
    void sendSynthesizedCursorEvent();
    void sendSynthesizedSelectionEvent();
    void sendSynthesizedDeletionEvent();
    void sendSynthesizedPasteboardEvent();
    void postModifiersKeyDown(bool down);

    const uint8_t* eventMessage() const { return m_message; }
    void setEventMessage(const uint8_t* message) { m_message = message; }
    bool forceCursorRightEvent() const { return m_forceCursorRightEvent; }
    void setForceCursorRightEvent(bool value) { m_forceCursorRightEvent = value; }

  private:
    QNKeyboardMsg message() const;
    void postForcedCursorRight();
    void postCommandWithKeysFor(char16_t letter);

    const uint8_t* m_message = nullptr;
    bool m_forceCursorRightEvent = false;
};

// The session's handler body: nothing for an empty datagram; a datagram shorter than the
// message is dropped with a log line naming its type and length.
void keyboardEventDatagramReceived(std::span<const uint8_t> data);

} // namespace input
