#include "platform/coregraphics/CGEvent.h"

#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/WindowServerRequest.h"
#include "platform/foundation/CFStringUnicode.h"
#include "platform/windowserver/EventProtocol.h"

#include <cmath>
#include <string>

namespace cg {

namespace op = windowserver::eventop;

namespace {

CGEventRef newEvent(const CGEventSourceRef& source, CGEventType type, CGPoint location) {
    auto e = std::make_shared<CGEvent>();
    e->type = type;
    e->location = location;
    e->timestamp = platform::machAbsoluteTime();
    e->sourceState = source ? source->stateID : 0;
    return e;
}

void setField(const CGEventRef& e, CGEventField field, int64_t integer, double real) {
    if (!e) return;
    e->fields[field] = CGEventFieldValue{integer, real, true};
}

// Where the event system has the cursor: a new event's location (the origin when the window
// server cannot be reached).
CGPoint eventCursor() {
    auto reply = CGSRequest(op::inputState);
    auto x = CGSReplyReal(reply, "cursorX"), y = CGSReplyReal(reply, "cursorY");
    return x && y ? CGPointMake(*x, *y) : CGPoint{};
}

CGError bracketCall(const char* call, cf::Array arguments) {
    auto reply = CGSRequest(op::bracket, {{"call", call}, {"arguments", cf::Value(std::move(arguments))}});
    return reply ? kCGErrorSuccess : kCGErrorCannotComplete;
}

} // namespace

CGEventSourceRef CGEventSourceCreate(CGEventSourceStateID state) {
    return std::make_shared<CGEventSource>(CGEventSource{state});
}

CGEventRef CGEventCreate(const CGEventSourceRef& source) {
    return newEvent(source, kCGEventNull, eventCursor());
}

CGEventRef CGEventCreateMouseEvent(const CGEventSourceRef& source, CGEventType type, CGPoint location,
                                   CGMouseButton button) {
    auto e = newEvent(source, type, location);
    e->fields[kCGMouseEventButtonNumber] = CGEventFieldValue{button, static_cast<double>(button), false};
    return e;
}

CGEventRef CGEventCreateScrollWheelEvent(const CGEventSourceRef& source, CGScrollEventUnit units,
                                         uint32_t wheelCount, int32_t wheel1, int32_t wheel2) {
    auto e = newEvent(source, kCGEventScrollWheel, eventCursor());
    e->fields[kCGScrollWheelEventDeltaAxis1] = CGEventFieldValue{wheel1, double(wheel1), false};
    if (wheelCount > 1)
        e->fields[kCGScrollWheelEventDeltaAxis2] = CGEventFieldValue{wheel2, double(wheel2), false};
    e->fields[kCGScrollWheelEventIsContinuous] = CGEventFieldValue{
        units == kCGScrollEventUnitPixel, units == kCGScrollEventUnitPixel ? 1.0 : 0.0, false};
    return e;
}

CGEventRef CGEventCreateKeyboardEvent(const CGEventSourceRef& source, CGKeyCode key, bool keyDown) {
    auto e = newEvent(source, keyDown ? kCGEventKeyDown : kCGEventKeyUp, eventCursor());
    e->fields[kCGKeyboardEventKeycode] = CGEventFieldValue{key, double(key), false};
    return e;
}

void CGEventKeyboardSetUnicodeString(const CGEventRef& event, UniCharCount length, const UniChar* string) {
    if (!event) return;
    event->unicode.assign(string && length ? string : u"", string ? length : 0);
    event->unicodeSet = true;
}

void CGEventSetIntegerValueField(const CGEventRef& e, CGEventField field, int64_t value) {
    setField(e, field, value, static_cast<double>(value));
}

int64_t CGEventGetIntegerValueField(const CGEventRef& e, CGEventField field) {
    if (!e) return 0;
    auto it = e->fields.find(field);
    return it == e->fields.end() ? 0 : it->second.integer;
}

void CGEventSetDoubleValueField(const CGEventRef& e, CGEventField field, double value) {
    int64_t integer = std::isfinite(value) && std::fabs(value) < 9.2e18 ? static_cast<int64_t>(value) : 0;
    setField(e, field, integer, value);
}

double CGEventGetDoubleValueField(const CGEventRef& e, CGEventField field) {
    if (!e) return 0;
    auto it = e->fields.find(field);
    return it == e->fields.end() ? 0 : it->second.real;
}

CGEventType CGEventGetType(const CGEventRef& e) {
    return e ? e->type : kCGEventNull;
}
void CGEventSetType(const CGEventRef& e, CGEventType type) {
    if (e) e->type = type;
}
CGPoint CGEventGetLocation(const CGEventRef& e) {
    return e ? e->location : CGPoint{};
}
void CGEventSetLocation(const CGEventRef& e, CGPoint location) {
    if (e) e->location = location;
}
CGEventFlags CGEventGetFlags(const CGEventRef& e) {
    return e ? e->flags : 0;
}
void CGEventSetFlags(const CGEventRef& e, CGEventFlags flags) {
    if (e) e->flags = flags;
}
CGEventTimestamp CGEventGetTimestamp(const CGEventRef& e) {
    return e ? e->timestamp : 0;
}
void CGEventSetTimestamp(const CGEventRef& e, CGEventTimestamp timestamp) {
    if (!e) return;
    e->timestamp = timestamp;
    e->timestampSet = true;
}

void CGEventPost(CGEventTapLocation tap, const CGEventRef& e) {
    if (!e) return;
    cf::Dictionary fields;
    for (const auto& [number, value] : e->fields)
        fields.insert_or_assign(
            std::to_string(number),
            cf::Dictionary{{"integer", value.integer}, {"double", value.real}, {"set", value.setExplicitly}});
    cf::Dictionary event{{"type", static_cast<int64_t>(e->type)},
                         {"x", e->location.x},
                         {"y", e->location.y},
                         {"flags", static_cast<int64_t>(e->flags & 0x7FFFFFFFFFFFFFFF)},
                         {"timestamp", static_cast<int64_t>(e->timestamp & 0x7FFFFFFFFFFFFFFF)},
                         {"timestampSet", e->timestampSet},
                         {"sourceState", e->sourceState},
                         {"fields", cf::Value(std::move(fields))}};
    if (e->type == kCGEventKeyDown || e->type == kCGEventKeyUp) {
        event.insert_or_assign("key", CGEventGetIntegerValueField(e, kCGKeyboardEventKeycode) & 0xFFFF);
        if (e->unicodeSet) {
            event.insert_or_assign("unicode", cf::utf8FromUTF16(e->unicode));
            // The units themselves: UTF-8 turns half of a surrogate pair into U+FFFD.
            event.insert_or_assign("unicodeUnits", cf::Value(cf::utf16LEBytes(e->unicode)));
            event.insert_or_assign("unicodeSet", true);
        }
    }
    uint32_t location = tap == kCGHIDEventTap ? 0 : 1;
    if (!CGSRequest(op::post, {{"tap", location}, {"event", cf::Value(std::move(event))}}))
        platform::log("CGEventPost: the window server did not take an event of type %u", unsigned(e->type));
}

CGError CGPostKeyboardEvent(CGCharCode character, CGKeyCode key, bool keyDown) {
    auto reply = CGSRequest(op::postKeyboard, {{"charCode", character}, {"key", key}, {"down", keyDown}});
    return reply ? kCGErrorSuccess : kCGErrorCannotComplete;
}

CGError CGEnableEventStateCombining(bool combineState) {
    return bracketCall("CGEnableEventStateCombining", {combineState});
}

CGError CGSetLocalEventsFilterDuringSuppressionState(uint32_t filter, uint32_t state) {
    return bracketCall("CGSetLocalEventsFilterDuringSuppressionState", {filter, state});
}

CGError CGSetLocalEventsSuppressionInterval(double seconds) {
    return bracketCall("CGSetLocalEventsSuppressionInterval", {seconds});
}

CFMachPortRef CGEventTapCreate(CGEventTapLocation tap, CGEventTapPlacement place, CGEventTapOptions options,
                               CGEventMask eventsOfInterest, CGEventTapCallBack, void*) {
    auto reply = CGSRequest(op::tapCreate, {{"location", static_cast<uint32_t>(tap)},
                                            {"place", static_cast<uint32_t>(place)},
                                            {"options", static_cast<uint32_t>(options)},
                                            {"mask", static_cast<int64_t>(eventsOfInterest)}});
    auto id = CGSReplyInteger(reply, "id", 1, UINT32_MAX);
    if (!id) return nullptr;
    return std::make_shared<CFMachPort>(CFMachPort{static_cast<uint32_t>(*id), true});
}

void CGEventTapEnable(const CFMachPortRef& tap, bool enable) {
    if (!tap || !tap->valid) return;
    CGSRequest(op::tapEnable, {{"id", tap->tapID}, {"enabled", enable}});
}

void CFMachPortInvalidate(const CFMachPortRef& port) {
    if (!port || !port->valid) return;
    port->valid = false;
    CGSRequest(op::tapInvalidate, {{"id", port->tapID}});
}

CGError CGGetEventTapList(uint32_t maxNumberOfTaps, CGEventTapInformation* tapList, uint32_t* eventTapCount) {
    if (!eventTapCount) return kCGErrorIllegalArgument;
    *eventTapCount = 0;
    auto reply = CGSRequest(op::tapList);
    const cf::Value* taps = reply ? reply->find("taps") : nullptr;
    if (!taps || !taps->asArray()) return kCGErrorCannotComplete;
    uint32_t n = 0;
    for (const cf::Value& t : *taps->asArray()) {
        if (tapList && n >= maxNumberOfTaps) break;
        if (tapList) {
            auto integer = [&](std::string_view key) {
                return CGSReplyInteger(std::optional<cf::Value>(t), key).value_or(0);
            };
            const cf::Value* enabled = t.find("enabled");
            tapList[n] = CGEventTapInformation{static_cast<uint32_t>(integer("eventTapID")),
                                               static_cast<CGEventTapLocation>(integer("tapPoint")),
                                               static_cast<CGEventTapOptions>(integer("options")),
                                               static_cast<CGEventMask>(integer("eventsOfInterest")),
                                               static_cast<int32_t>(integer("tappingProcess")),
                                               static_cast<int32_t>(integer("processBeingTapped")),
                                               enabled && enabled->asBool().value_or(false),
                                               0,
                                               0,
                                               0};
        }
        ++n;
    }
    *eventTapCount = n;
    return kCGErrorSuccess;
}

} // namespace cg
