// What pointer and stylus input computes without a session: tap phases, the stylus actions'
// event types, mouse buttons and pointer types, the pressure curve, scroll wheel values, the
// HID records of a stroke, the names for logs, the double-click rule, and the process-wide HID
// system connection.
#pragma once

#include "foundation/QNBStylus.h"

#include "platform/coregraphics/CGGeometry.h"
#include "platform/iokit/IOHIDLib.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace input {

enum QNBEventPhase : uint32_t {
    QNBEventPhaseInvalid = 0,
    QNBEventPhaseBegan = 1,
    QNBEventPhaseMoved = 2,
    QNBEventPhaseEnded = 3,
    QNBEventPhaseCancelled = 4,
};

using foundation::QNBStylusAction;
using foundation::QNBStylusButtonMask;
using enum foundation::QNBStylusAction;
using enum foundation::QNBStylusButtonMask;

uint32_t EventPhaseForTapType(uint32_t tapType);
uint32_t MouseButtonForAction(uint64_t action);
uint32_t EventTypeForAction(uint64_t action, uint32_t phase);
uint64_t PointerTypeForAction(uint64_t action);

std::string NSStringFromPointerType(uint64_t pointerType);
std::string NSStringFromQNBEventPhase(uint32_t phase);
std::string NSStringFromCGEventType(uint32_t type);
std::string NSStringFromCGEventMouseSubtype(uint32_t subtype);

// YES when the interval is at most the system's double-click interval.
bool NSEventIsDoubleClick(double interval);

// The pen pressure bent by the user's sensitivity (exponent 10s - 4 above 0.5, 10s/12 + 1/6
// otherwise). The raw pressure is clamped to [0, 1] (NaN 0) before the curve and the result
// after it, so it always fits the records' 8- and 16-bit fields.
double QNBPressureCurve(float raw, float sensitivity);

// A scroll datagram's amount as a wheel value: truncated, negated unless the direction is
// natural, cut to 16 bits, then doubled. A NaN, infinite or out-of-range amount counts as 0.
int32_t scrollWheelValueForAmount(float amount, bool natural);
// A scroll-wheel tap's delta: negated unless natural, doubled, then cut to 16 bits.
int16_t scrollWheelValueForDelta(int32_t delta, bool natural);
// Natural scrolling: on 10.7 and later, unless "ReverseScrollwheelEventDirection" (the screen
// server's defaults) or, winning over it, "com.apple.swipescrolldirection" says otherwise.
bool scrollDirectionIsNatural();

// A global point as the HID system's 16-bit location: floor, then saturated.
iokit::IOGPoint HIDLocationForPoint(cg::CGPoint point);
// A hover height as the 32-bit field value: truncated and clamped (NaN 0).
int32_t hoverHeightFieldValue(float height);

// What the input code reads of the session's display set.
struct InputGeometry {
    double cursorScale = 0;
    cg::CGRect scaleCorrectedDisplayBounds;
    cg::CGRect frame;
};
enum class PointRounding { Truncate, Floor };
// A client point in global coordinates: times 1 / cursorScale, made integral, plus the bounds'
// origin, then clamped into the frame (half-open): a device reaches no other display. Without the
// clamp a point past the device's picture (a drag off its edge, a rounding at its last pixel)
// would click on a neighbouring display the device cannot see. Nothing without a display set,
// an empty frame or no usable scale.
std::optional<cg::CGPoint> convertClientPoint(const std::optional<InputGeometry>& geometry, double x,
                                              double y, PointRounding rounding);

// The four HID records of a stroke; every field not named by the form is 0.
iokit::NXEventData mouseTabletPointEventData(cg::CGPoint location, double pressure, uint64_t buttons,
                                             int32_t eventNumber, uint64_t clickCount, uint32_t mouseButton);
iokit::NXEventData mouseMoveEventData(cg::CGPoint location, cg::CGPoint lastLocation, double pressure,
                                      uint64_t buttons);
iokit::NXEventData tabletPointEventData(cg::CGPoint location, double pressure, uint64_t buttons);
iokit::NXEventData proximityEventData(bool entered, uint64_t pointerType);
// The tablet the proximity records (HID and Quartz) describe.
inline constexpr uint16_t kProximityVendorID = 0xBD29;
inline constexpr uint16_t kProximityTabletID = 0x100;
inline constexpr uint32_t kProximityUniqueID = 0xBABEFACE;
inline constexpr uint32_t kProximityCapabilityMask = 0x447;

// The action of a stroke started with these stylus buttons, from the preferences' actions per
// mask; mouseButton is set when a barrel button decides (else left as it was).
uint64_t stylusActionForButtons(uint64_t buttons,
                                const std::function<uint64_t(uint64_t mask)>& actionForButton,
                                uint32_t& mouseButton);

// The HID system connection of the process, opened on first use (and tried again while it
// could not be opened).
iokit::io_connect_t get_event_driver();

} // namespace input
