// Every request of the window server's event system, in one place: posting events, the input
// state, the text sink, the pasteboard, event taps, the process table and the text input
// sources; and the kinds of event-log entries it records. platformd answers them on the
// caller's connection thread, in its order, so a later request sees an earlier post.
#pragma once

#include "platform/ipc/Protocol.h"

#include <string_view>

namespace windowserver {

namespace eventop {
constexpr std::string_view post = "events.post";
constexpr std::string_view postKeyboard = "events.postKeyboard";
constexpr std::string_view bracket = "events.bracket";
constexpr std::string_view postHID = "events.postHID";
constexpr std::string_view buttonEventNumber = "events.buttonEventNum";
constexpr std::string_view inputState = "events.inputState";
constexpr std::string_view clearLog = "events.clear";
constexpr std::string_view textSink = "events.textSink";
constexpr std::string_view pasteboardClear = "pasteboard.clear";
constexpr std::string_view pasteboardDeclare = "pasteboard.declare";
constexpr std::string_view pasteboardSet = "pasteboard.set";
constexpr std::string_view pasteboardRead = "pasteboard.read";
constexpr std::string_view tapCreate = "taps.create";
constexpr std::string_view tapEnable = "taps.enable";
constexpr std::string_view tapInvalidate = "taps.invalidate";
constexpr std::string_view tapList = "taps.list";
constexpr std::string_view tapAdd = "taps.add";
constexpr std::string_view processForPID = "process.psn";
constexpr std::string_view processInformation = "process.info";
constexpr std::string_view currentInputSource = "tis.current";
constexpr std::string_view selectInputSource = "tis.select";
constexpr std::string_view setKeyboardType = "tis.setKbdType";
} // namespace eventop

// A Quartz event travels flat: type, x, y, flags, timestamp, timestampSet, sourceState,
// fields {"<number>": {integer, double, set}}, and for keys key, unicode, unicodeSet.
inline constexpr ipc::OpSignature kEventOps[] = {
    {eventop::post, "tap event", ""},
    {eventop::postKeyboard, "charCode key down", "status"},
    {eventop::bracket, "call arguments", ""},
    {eventop::postHID, "type x y data version flags options", "status"},
    {eventop::buttonEventNumber, "button", "status count"},
    {eventop::inputState, "", "cursorX cursorY buttons modifiers eventNumbers"},
    {eventop::clearLog, "", ""},
    {eventop::textSink, "action value?", "text focused pasteDelay"},
    {eventop::pasteboardClear, "", "changeCount"},
    {eventop::pasteboardDeclare, "types", "changeCount"},
    {eventop::pasteboardSet, "type data", ""},
    {eventop::pasteboardRead, "", "types items changeCount"},
    {eventop::tapCreate, "location place options mask", "id"},
    {eventop::tapEnable, "id enabled", ""},
    {eventop::tapInvalidate, "id", ""},
    {eventop::tapList, "", "taps"},
    {eventop::tapAdd, "pid enabled? location? options? mask?", "id"},
    {eventop::processForPID, "pid", "high low"},
    {eventop::processInformation, "high low", "information"},
    {eventop::currentInputSource, "", "current layout kbdType"},
    {eventop::selectInputSource, "id", ""},
    {eventop::setKeyboardType, "type", ""},
};

// Whether a request is the event system's (the rest of the window server's requests are in
// WindowServerProtocol.h).
constexpr bool isEventOp(std::string_view op) {
    for (const ipc::OpSignature& entry : kEventOps)
        if (entry.name == op) return true;
    return false;
}

namespace eventKind {
constexpr std::string_view cgEvent = "cg-event";       // CGEventPost: tap, type, x, y, flags, key?, fields
constexpr std::string_view cgKeyboard = "cg-keyboard"; // CGPostKeyboardEvent: charCode, key, down
constexpr std::string_view hidEvent = "hid-event";     // IOHIDPostEvent: type, x, y, options, flags, data
constexpr std::string_view eventBracket = "event-bracket"; // call, arguments
constexpr std::string_view pasteboard = "pasteboard";      // action (clear, write), type?, data?, changeCount
constexpr std::string_view eventTapList = "event-tap-list"; // count
constexpr std::string_view inputSource = "input-source";    // id
} // namespace eventKind

// What every entry's state after holds: cursorX, cursorY, buttons, modifiers.

} // namespace windowserver
