// Quartz events, keyboard posting, the suppression bracket and event taps. Events are plain
// records here; posting hands them to the window server (platformd, or an in-process event
// system a test installed), which applies and logs them before the next request is answered.
#pragma once

#include "platform/coregraphics/CGError.h"
#include "platform/coregraphics/CGGeometry.h"
#include "platform/coregraphics/CGSPrivate.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace cg {

using CGKeyCode = uint16_t;
using CGCharCode = uint16_t;
using CGEventFlags = uint64_t;
using CGEventTimestamp = uint64_t;
using CGEventMask = uint64_t;
using CGEventField = uint32_t;
using UniChar = char16_t;
using UniCharCount = uint64_t;
using CGEventTapProxy = void*;

enum CGEventType : uint32_t {
    kCGEventNull = 0,
    kCGEventLeftMouseDown = 1,
    kCGEventLeftMouseUp = 2,
    kCGEventRightMouseDown = 3,
    kCGEventRightMouseUp = 4,
    kCGEventMouseMoved = 5,
    kCGEventLeftMouseDragged = 6,
    kCGEventRightMouseDragged = 7,
    kCGEventKeyDown = 10,
    kCGEventKeyUp = 11,
    kCGEventFlagsChanged = 12,
    kCGEventScrollWheel = 22,
    kCGEventTabletPointer = 23,
    kCGEventTabletProximity = 24,
    kCGEventOtherMouseDown = 25,
    kCGEventOtherMouseUp = 26,
    kCGEventOtherMouseDragged = 27,
};

enum CGMouseButton : uint32_t { kCGMouseButtonLeft = 0, kCGMouseButtonRight = 1, kCGMouseButtonCenter = 2 };
enum CGScrollEventUnit : uint32_t { kCGScrollEventUnitPixel = 0, kCGScrollEventUnitLine = 1 };
enum CGEventTapLocation : uint32_t {
    kCGHIDEventTap = 0,
    kCGSessionEventTap = 1,
    kCGAnnotatedSessionEventTap = 2
};
enum CGEventTapPlacement : uint32_t { kCGHeadInsertEventTap = 0, kCGTailAppendEventTap = 1 };
enum CGEventTapOptions : uint32_t { kCGEventTapOptionDefault = 0, kCGEventTapOptionListenOnly = 1 };
enum CGEventSourceStateID : int32_t {
    kCGEventSourceStatePrivate = -1,
    kCGEventSourceStateCombinedSessionState = 0,
    kCGEventSourceStateHIDSystemState = 1,
};

inline constexpr CGEventFlags kCGEventFlagMaskAlphaShift = 0x10000;
inline constexpr CGEventFlags kCGEventFlagMaskShift = 0x20000;
inline constexpr CGEventFlags kCGEventFlagMaskControl = 0x40000;
inline constexpr CGEventFlags kCGEventFlagMaskAlternate = 0x80000;
inline constexpr CGEventFlags kCGEventFlagMaskCommand = 0x100000;
inline constexpr CGEventFlags kCGEventFlagMaskSecondaryFn = 0x800000;

// Fields the product sets or reads.
inline constexpr CGEventField kCGMouseEventNumber = 0;
inline constexpr CGEventField kCGMouseEventClickState = 1;
inline constexpr CGEventField kCGMouseEventPressure = 2;
inline constexpr CGEventField kCGMouseEventButtonNumber = 3;
inline constexpr CGEventField kCGMouseEventSubtype = 7;
inline constexpr CGEventField kCGKeyboardEventKeycode = 9;
inline constexpr CGEventField kCGScrollWheelEventDeltaAxis1 = 11;
inline constexpr CGEventField kCGScrollWheelEventDeltaAxis2 = 12;
inline constexpr CGEventField kCGScrollWheelEventIsContinuous = 88;

struct CGEventSource {
    CGEventSourceStateID stateID = kCGEventSourceStateHIDSystemState;
};
using CGEventSourceRef = std::shared_ptr<CGEventSource>;

struct CGEventFieldValue {
    int64_t integer = 0;
    double real = 0;
    bool setExplicitly = false;
};

struct CGEvent {
    CGEventType type = kCGEventNull;
    CGPoint location;
    CGEventFlags flags = 0;
    CGEventTimestamp timestamp = 0;
    bool timestampSet = false;
    int32_t sourceState = 0; // 0 without a source
    std::map<CGEventField, CGEventFieldValue> fields;
    std::u16string unicode;
    bool unicodeSet = false;
};
using CGEventRef = std::shared_ptr<CGEvent>;

CGEventSourceRef CGEventSourceCreate(CGEventSourceStateID state);
// A null-type event at the cursor.
CGEventRef CGEventCreate(const CGEventSourceRef& source);
CGEventRef CGEventCreateMouseEvent(const CGEventSourceRef& source, CGEventType type, CGPoint location,
                                   CGMouseButton button);
CGEventRef CGEventCreateScrollWheelEvent(const CGEventSourceRef& source, CGScrollEventUnit units,
                                         uint32_t wheelCount, int32_t wheel1, int32_t wheel2 = 0);
CGEventRef CGEventCreateKeyboardEvent(const CGEventSourceRef& source, CGKeyCode key, bool keyDown);
void CGEventKeyboardSetUnicodeString(const CGEventRef& event, UniCharCount length, const UniChar* string);

void CGEventSetIntegerValueField(const CGEventRef& event, CGEventField field, int64_t value);
int64_t CGEventGetIntegerValueField(const CGEventRef& event, CGEventField field);
void CGEventSetDoubleValueField(const CGEventRef& event, CGEventField field, double value);
double CGEventGetDoubleValueField(const CGEventRef& event, CGEventField field);
CGEventType CGEventGetType(const CGEventRef& event);
void CGEventSetType(const CGEventRef& event, CGEventType type);
CGPoint CGEventGetLocation(const CGEventRef& event);
void CGEventSetLocation(const CGEventRef& event, CGPoint location);
CGEventFlags CGEventGetFlags(const CGEventRef& event);
void CGEventSetFlags(const CGEventRef& event, CGEventFlags flags);
CGEventTimestamp CGEventGetTimestamp(const CGEventRef& event);
void CGEventSetTimestamp(const CGEventRef& event, CGEventTimestamp timestamp);

// Hands the event to the window server, which has applied and logged it when this returns.
void CGEventPost(CGEventTapLocation tap, const CGEventRef& event);
CGError CGPostKeyboardEvent(CGCharCode character, CGKeyCode key, bool keyDown);
CGError CGEnableEventStateCombining(bool combineState);
CGError CGSetLocalEventsFilterDuringSuppressionState(uint32_t filter, uint32_t state);
CGError CGSetLocalEventsSuppressionInterval(double seconds);

// Event taps are records only: no event passes through them and callbacks never run.
struct CGEventTapInformation {
    uint32_t eventTapID;
    CGEventTapLocation tapPoint;
    CGEventTapOptions options;
    CGEventMask eventsOfInterest;
    int32_t tappingProcess;
    int32_t processBeingTapped;
    bool enabled;
    float minUsecLatency;
    float avgUsecLatency;
    float maxUsecLatency;
};
using CGEventTapCallBack = CGEventRef (*)(CGEventTapProxy, CGEventType, CGEventRef, void*);
struct CFMachPort {
    uint32_t tapID = 0;
    bool valid = true;
};
using CFMachPortRef = std::shared_ptr<CFMachPort>;

CFMachPortRef CGEventTapCreate(CGEventTapLocation tap, CGEventTapPlacement place, CGEventTapOptions options,
                               CGEventMask eventsOfInterest, CGEventTapCallBack callback, void* userInfo);
void CGEventTapEnable(const CFMachPortRef& tap, bool enable);
void CFMachPortInvalidate(const CFMachPortRef& port);
// Fills up to maxNumberOfTaps records in id order (a null list: only the count).
CGError CGGetEventTapList(uint32_t maxNumberOfTaps, CGEventTapInformation* tapList, uint32_t* eventTapCount);

} // namespace cg
