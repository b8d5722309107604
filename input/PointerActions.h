// The pointer handlers that need nothing of a session but what they are handed: the scroll
// datagram (it acts at the current pointer position) and the hardware-button actions (undo,
// redo, held modifiers, a recorded keystroke). The session's entry points forward here.
#pragma once

#include "input/InputDatagrams.h"
#include "platform/coregraphics/CGEvent.h"

#include <cstdint>
#include <map>
#include <span>

namespace input {

// The process-wide event source (HID system state), created on first use, never released.
cg::CGEventSourceRef eventSource();
// Posts the event at the HID event tap.
void postEvent(const cg::CGEventRef& event);

// A scroll datagram: one pixel scroll-wheel event, wheel 1 the vertical and wheel 2 the
// horizontal value. A datagram shorter than 13 bytes is dropped.
void scrollDatagramReceived(std::span<const uint8_t> data);

// The modifier keys of Quartz event flags (Control 59, Option 58, Command 55, Shift 56, in that
// order), each pressed or released by key code.
void postModifierKeys(uint64_t flags, bool pressed);

// The modifier keys each "held modifiers" button pressed and has not let go, by button.
using HeldButtonModifiers = std::map<uint8_t, uint64_t>;

// A hardware button's action from the shared preferences; eventModifiers is the session's
// (set by the held-modifiers action, added to continuous scroll events); held, when given, keeps
// what each held-modifiers button pressed so that the end of a connection can let go of all.
void handleButtonEventWithMsg(const QNButtonMsg& message, uint64_t& eventModifiers,
                              HeldButtonModifiers* held = nullptr);

} // namespace input
