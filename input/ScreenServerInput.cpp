#include "input/ScreenServerInput.h"

#include "foundation/CGGeometryAdditions.h"
#include "foundation/QNBPreferences.h"
#include "input/ClickTracking.h"
#include "input/PointerActions.h"
#include "input/QNBHostKeyboardEvent.h"
#include "input/QNBKeyCodeUtilities.h"
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/NSUserDefaults.h"
#include "platform/iokit/IOHIDLib.h"

#include <cmath>
#include <limits>

namespace input {

namespace {

constexpr uint32_t kScrollWheelEventType = cg::kCGEventScrollWheel;
constexpr cg::CGEventField kTabletPointX = 15, kTabletPointY = 16, kTabletPointZ = 17;
constexpr cg::CGEventField kTabletProximityVendorID = 28, kTabletProximityTabletID = 29,
                           kTabletProximityVendorPointerType = 33,
                           kTabletProximityVendorPointerSerialNumber = 34,
                           kTabletProximityVendorUniqueID = 35, kTabletProximityCapabilityMask = 36,
                           kTabletProximityPointerType = 37, kTabletProximityEnterProximity = 38;
constexpr uint8_t kLeftButton = 1, kRightButton = 2;

double secondsBetween(uint64_t earlier, uint64_t now) {
    return now >= earlier ? static_cast<double>(now - earlier) / 1e9 : 0.0;
}

// Tap and mouse datagrams need a display to land on: without one (or with an empty frame) they
// are dropped.
bool geometryIsUsable(const std::optional<InputGeometry>& geometry, std::span<const uint8_t> data) {
    if (convertClientPoint(geometry, 0, 0, PointRounding::Floor)) return true;
    platform::log("Dropping a datagram of type %u: the session has no display", unsigned(data[0]));
    return false;
}

cg::CGPoint converted(const InputGeometry& geometry, double x, double y, PointRounding rounding) {
    return convertClientPoint(geometry, x, y, rounding).value_or(cg::CGPoint{});
}

// A difference of two points' coordinates, rounded half away from zero into 32 bits.
int32_t roundedDelta(double delta) {
    double r = std::round(delta);
    if (std::isnan(r)) return 0;
    return static_cast<int32_t>(std::clamp(r, double(std::numeric_limits<int32_t>::min()),
                                           double(std::numeric_limits<int32_t>::max())));
}

// Where the pointer is: a null event made now lies at the cursor.
cg::CGPoint currentPointerPosition() {
    auto event = cg::CGEventCreate(nullptr);
    return event ? cg::CGEventGetLocation(event) : cg::CGPoint{};
}

} // namespace

// ---- Entry points -------------------------------------------------------------------------

void ScreenServerInput::tapDatagramReceivedForSocket(const Socket&, std::span<const uint8_t> data) {
    auto tap = QNTapMsgFromDatagram(data);
    if (!tap) return;
    const auto geometry = inputGeometry();
    if (!geometryIsUsable(geometry, data)) return;
    std::lock_guard lock(m_inputLock);
    const QNTapMsg& header = tap->message.tap;
    if (tap->carriesModifiers) QNBKeyCodeUtilities::postModifiers(header.modifierFlags, true);
    const uint8_t type = header.tapType;
    if (type <= 2)
        handleTapEventWithMsg(header, *geometry);
    else if (type <= 5)
        handleContextualTapEventWithMsg(header, *geometry);
    else if (type <= 8)
        handleScrollwheelTapEventWithMsg(header, *geometry);
    else if (type <= 11)
        handleStylusTapEventWithMsg(tap->message, *geometry);
    else if (type >= 14 && type <= 16)
        handleStylusHoverEventWithMsg(tap->message, *geometry);
    if (tap->carriesModifiers) QNBKeyCodeUtilities::postModifiers(header.modifierFlags, false);
}

void ScreenServerInput::keyboardEventDatagramReceivedForSocket(const Socket&, std::span<const uint8_t> data) {
    std::lock_guard lock(m_inputLock);
    keyboardEventDatagramReceived(data);
}

// Window and menu requests are not served.
void ScreenServerInput::windowRequestDatagramReceivedForSocket(const Socket&, std::span<const uint8_t>) {}
void ScreenServerInput::menuRequestDatagramReceivedForSocket(const Socket&, std::span<const uint8_t>) {}

void ScreenServerInput::mouseDatagramReceivedForSocket(const Socket&, std::span<const uint8_t> data) {
    auto message = QNMouseMsgFromDatagram(data);
    if (!message) return;
    const auto geometry = inputGeometry();
    if (!geometryIsUsable(geometry, data)) return;
    std::lock_guard lock(m_inputLock);
    mouseDatagram(*message, converted(*geometry, message->x, message->y, PointRounding::Truncate));
}

void ScreenServerInput::scrollDatagramReceivedForSocket(const Socket&, std::span<const uint8_t> data) {
    std::lock_guard lock(m_inputLock);
    scrollDatagramReceived(data);
}

void ScreenServerInput::buttonDatagramReceivedForSocket(const Socket&, std::span<const uint8_t> data) {
    auto message = QNButtonMsgFromDatagram(data);
    if (!message) return;
    handleButtonEventWithMsg(*message);
}

// ---- Mouse datagrams ----------------------------------------------------------------------

void ScreenServerInput::postButtonEvent(cg::CGEventType type, cg::CGPoint point, cg::CGMouseButton button,
                                        std::optional<int64_t> clickState, uint64_t now) {
    auto event = cg::CGEventCreateMouseEvent(nullptr, type, point, button);
    if (!event) return;
    if (clickState) cg::CGEventSetIntegerValueField(event, cg::kCGMouseEventClickState, *clickState);
    cg::CGEventSetTimestamp(event, now);
    postEvent(event);
}

void ScreenServerInput::mouseDatagram(const QNMouseMsg& message, cg::CGPoint point) {
    const uint8_t b = message.buttons;
    const uint8_t changed = b ^ m_state.savedMouseFlags;
    const uint64_t now = platform::machAbsoluteTime();
    bool movedPosted = false;
    for (int i = 0; i < 2; ++i) {
        const uint8_t bit = static_cast<uint8_t>(1 << i);
        const bool left = i == 0;
        if (changed & bit) {
            const bool pressed = b & bit;
            auto clickState = ClickTracking::shared().mouseButtonChanged(i, pressed, now);
            cg::CGEventType type = pressed ? (left ? cg::kCGEventLeftMouseDown : cg::kCGEventRightMouseDown)
                                           : (left ? cg::kCGEventLeftMouseUp : cg::kCGEventRightMouseUp);
            postButtonEvent(type, point, cg::kCGMouseButtonLeft, clickState, now);
        } else if (b & bit) {
            auto type = left ? cg::kCGEventLeftMouseDragged : cg::kCGEventRightMouseDragged;
            if (auto event =
                    cg::CGEventCreateMouseEvent(nullptr, type, point, static_cast<cg::CGMouseButton>(i)))
                postEvent(event);
        } else if (b == 0 && !movedPosted) {
            if (auto event = cg::CGEventCreateMouseEvent(nullptr, cg::kCGEventMouseMoved, point,
                                                         cg::kCGMouseButtonLeft))
                postEvent(event);
            movedPosted = true;
        }
    }
    m_state.savedMouseFlags = b;
}

// ---- Taps -------------------------------------------------------------------------------

// A tap's or contextual tap's down, drag or up. What the taps hold is remembered for the end of
// the connection; a tap's drag or up that outlived that end (its button already let go) is
// dropped, so its down gets one up.
void ScreenServerInput::tapButtonEvent(uint32_t tapType, cg::CGPoint point, bool contextual) {
    const uint32_t phase = EventPhaseForTapType(tapType);
    const uint8_t bit = contextual ? kRightButton : kLeftButton;
    if (phase == QNBEventPhaseBegan) {
        m_releasedTapButtons &= static_cast<uint8_t>(~bit);
    } else if (m_releasedTapButtons & bit) {
        if (phase == QNBEventPhaseEnded) m_releasedTapButtons &= static_cast<uint8_t>(~bit);
        return;
    }
    static constexpr cg::CGEventType kTap[] = {cg::kCGEventLeftMouseDown, cg::kCGEventLeftMouseDragged,
                                               cg::kCGEventLeftMouseUp};
    static constexpr cg::CGEventType kContextual[] = {
        cg::kCGEventRightMouseDown, cg::kCGEventRightMouseDragged, cg::kCGEventRightMouseUp};
    const cg::CGEventType type = (contextual ? kContextual : kTap)[phase - 1];
    auto event = cg::CGEventCreateMouseEvent(nullptr, type, point,
                                             contextual ? cg::kCGMouseButtonRight : cg::kCGMouseButtonLeft);
    if (!event) {
        platform::log("Failed to create a mouseEvent, but silently ignoring the error");
        return;
    }
    const uint64_t now = platform::machAbsoluteTime();
    // Every contextual event carries its time, its drags too; a tap's drag goes as created.
    if (contextual) cg::CGEventSetTimestamp(event, now);
    if (phase != QNBEventPhaseMoved) {
        cg::CGEventSetTimestamp(event, now);
        if (!contextual) {
            auto click = ClickTracking::shared().tapChanged(phase == QNBEventPhaseBegan, point, now);
            if (click.clickState)
                cg::CGEventSetIntegerValueField(event, cg::kCGMouseEventClickState, *click.clickState);
            cg::CGEventSetLocation(event, click.location);
        }
        if (phase == QNBEventPhaseBegan)
            m_heldButtons |= bit;
        else
            m_heldButtons &= static_cast<uint8_t>(~bit);
    }
    postEvent(event);
}

void ScreenServerInput::handleTapEventWithMsg(const QNTapMsg& message, const InputGeometry& geometry) {
    if (message.tapType > 2) return;
    std::lock_guard lock(m_inputLock);
    tapButtonEvent(message.tapType, converted(geometry, message.x, message.y, PointRounding::Floor), false);
}

void ScreenServerInput::handleContextualTapEventWithMsg(const QNTapMsg& message,
                                                        const InputGeometry& geometry) {
    if (message.tapType < 3 || message.tapType > 5) return;
    std::lock_guard lock(m_inputLock);
    tapButtonEvent(message.tapType, converted(geometry, message.x, message.y, PointRounding::Truncate), true);
}

void ScreenServerInput::handleScrollwheelTapEventWithMsg(const QNTapMsg& message,
                                                         const InputGeometry& geometry) {
    std::lock_guard lock(m_inputLock);
    auto defaults = ns::NSUserDefaults::standardUserDefaults();
    defaults->synchronize();
    const bool dontMove = defaults->boolForKey("DontMoveMousePositionForScrollwheelEvent");
    const bool natural = scrollDirectionIsNatural();
    const uint32_t phase = EventPhaseForTapType(message.tapType);
    const cg::CGPoint point = converted(geometry, message.x, message.y, PointRounding::Floor);
    if (phase == QNBEventPhaseBegan) {
        if (dontMove) return;
        m_state.mScrollLocation = point;
        if (auto event =
                cg::CGEventCreateMouseEvent(nullptr, cg::kCGEventMouseMoved, point, cg::kCGMouseButtonLeft))
            postEvent(event);
        return;
    }
    if (phase != QNBEventPhaseMoved) return;
    int32_t dx = message.x, dy = message.y;
    if (message.tapType == 10) { // a pen stroke whose action scrolls: measured from its last point
        dx = roundedDelta(point.x - m_state.mScrollLocation.x);
        dy = roundedDelta(point.y - m_state.mScrollLocation.y);
        m_state.mScrollLocation = point;
    }
    auto event = cg::CGEventCreateScrollWheelEvent(nullptr, cg::kCGScrollEventUnitPixel, 2,
                                                   scrollWheelValueForDelta(dy, natural),
                                                   scrollWheelValueForDelta(dx, natural));
    if (!event) return;
    cg::CGEventSetIntegerValueField(event, cg::kCGScrollWheelEventIsContinuous, 1);
    cg::CGEventSetFlags(event, cg::CGEventGetFlags(event) | m_state.eventModifiers);
    postEvent(event);
}

void ScreenServerInput::handleButtonEventWithMsg(const QNButtonMsg& message) {
    std::lock_guard lock(m_inputLock);
    input::handleButtonEventWithMsg(message, m_state.eventModifiers, &m_state.heldButtonModifiers);
}

// ---- The pen ----------------------------------------------------------------------------

void ScreenServerInput::handleStylusTapEventWithMsg(const QNStylusTapMsg& message,
                                                    const InputGeometry& geometry) {
    const uint8_t type = message.tap.tapType;
    if (type >= 14 && type <= 16) {
        handleStylusHoverEventWithMsg(message, geometry);
        return;
    }
    std::lock_guard lock(m_inputLock);
    const uint32_t phase = EventPhaseForTapType(type);
    const cg::CGPoint point = converted(geometry, message.tap.x, message.tap.y, PointRounding::Floor);
    const double pressure = QNBPressureCurve(
        message.pressure, foundation::QNBPreferences::sharedAppPrefs().stylusPressureSensitivity());
    const uint64_t buttons = message.buttons;
    switch (phase) {
    case QNBEventPhaseBegan:
        stylusEventBegan(point, pressure, buttons);
        if (m_state.beginEventType == kScrollWheelEventType)
            handleScrollwheelTapEventWithMsg(message.tap, geometry);
        [[fallthrough]];
    case QNBEventPhaseMoved:
        stylusEventMoved(point, pressure, buttons);
        if (m_state.beginEventType == kScrollWheelEventType)
            handleScrollwheelTapEventWithMsg(message.tap, geometry);
        break;
    case QNBEventPhaseEnded:
    case QNBEventPhaseCancelled:
        stylusEventEnded(point, pressure, buttons);
        break;
    default:
        break;
    }
}

void ScreenServerInput::handleStylusHoverEventWithMsg(const QNStylusTapMsg& message,
                                                      const InputGeometry& geometry) {
    std::lock_guard lock(m_inputLock);
    const uint32_t phase = EventPhaseForTapType(message.tap.tapType);
    const cg::CGPoint point = converted(geometry, message.tap.x, message.tap.y, PointRounding::Floor);
    constexpr uint64_t kPen = 1;
    if (phase == QNBEventPhaseBegan) postProximityHIDEventWithPoint(point, true, kPen);
    auto event = cg::CGEventCreateMouseEvent(nullptr, cg::kCGEventMouseMoved, point,
                                             static_cast<cg::CGMouseButton>(m_state.eventButtons));
    if (event) {
        cg::CGEventSetIntegerValueField(event, cg::kCGMouseEventSubtype, 1);
        cg::CGEventSetIntegerValueField(event, kTabletPointX, static_cast<int64_t>(point.x));
        cg::CGEventSetIntegerValueField(event, kTabletPointY, static_cast<int64_t>(point.y));
        cg::CGEventSetIntegerValueField(event, kTabletPointZ, hoverHeightFieldValue(message.hoverHeight));
        cg::CGEventSetTimestamp(event, platform::machAbsoluteTime());
        postEvent(event);
    }
    if (phase == QNBEventPhaseEnded) postProximityHIDEventWithPoint(point, false, kPen);
}

void ScreenServerInput::stylusEventBegan(cg::CGPoint location, double pressure, uint64_t buttons) {
    std::lock_guard lock(m_inputLock);
    stylusEventEnded(location, pressure, buttons);
    m_state.savedTapCursorPosition = currentPointerPosition();
    auto& prefs = foundation::QNBPreferences::sharedAppPrefs();
    const uint64_t action = stylusActionForButtons(
        buttons, [&prefs](uint64_t mask) { return prefs.actionForButton(mask); }, m_state.eventMouseButton);
    m_state.beginEventType = EventTypeForAction(action, QNBEventPhaseBegan);
    m_state.changeEventType = EventTypeForAction(action, QNBEventPhaseMoved);
    m_state.endEventType = EventTypeForAction(action, QNBEventPhaseEnded);
    m_state.eventPointerType = PointerTypeForAction(action);
    m_state.eventButtons = buttons;
    m_state.eventPressure = pressure;
    m_state.eventLocation = location;
    const uint64_t now = platform::machAbsoluteTime();
    if (NSEventIsDoubleClick(secondsBetween(m_state.lastMouseUpTimeStamp, now)) &&
        foundation::CGPointProximateWithin(location, m_state.lastMouseUpPoint,
                                           ClickTracking::kDoubleClickDistance))
        ++m_state.eventClickCount;
    else
        m_state.eventClickCount = 1;
    m_state.lastMouseDownTimeStamp = now;
    m_state.lastMouseDownPoint = location;
    if (m_state.beginEventType == cg::kCGEventLeftMouseDown ||
        m_state.beginEventType == cg::kCGEventRightMouseDown)
        postProximityHIDEventWithPoint(location, true, m_state.eventPointerType);
    postMouseForm(m_state.beginEventType, location, pressure, buttons);
}

void ScreenServerInput::stylusEventMoved(cg::CGPoint location, double pressure, uint64_t buttons) {
    std::lock_guard lock(m_inputLock);
    if (m_state.beginEventType == 0) return;
    auto move = mouseMoveEventData(location, m_state.eventLocation, pressure, buttons);
    if (postHIDEventData(move, m_state.changeEventType, location, iokit::kIOHIDSetCursorPosition) != 0)
        platform::log("Failed to post a mouseEvent, but silently ignoring the error for now");
    auto tablet = tabletPointEventData(location, pressure, buttons);
    if (postHIDEventData(tablet, cg::kCGEventTabletPointer, location, 0) != 0)
        platform::log("Failed to post a NX_TABLETPOINTER event, but silently ignoring the error for now");
    m_state.eventLocation = location;
}

void ScreenServerInput::stylusEventEnded(cg::CGPoint location, double pressure, uint64_t buttons) {
    std::lock_guard lock(m_inputLock);
    if (m_state.beginEventType == 0) return;
    postMouseForm(m_state.endEventType, location, pressure, buttons);
    m_state.lastMouseUpTimeStamp = platform::machAbsoluteTime();
    m_state.lastMouseUpPoint = location;
    postProximityHIDEventWithPoint(location, false, m_state.eventPointerType);
    m_state.beginEventType = m_state.changeEventType = m_state.endEventType = 0;
}

void ScreenServerInput::postMouseForm(uint32_t eventType, cg::CGPoint location, double pressure,
                                      uint64_t buttons) {
    int32_t eventNumber = 0;
    if (iokit::IOHIDGetButtonEventNum(get_event_driver(), m_state.eventMouseButton, &eventNumber) != 0)
        eventNumber = 0;
    auto data = mouseTabletPointEventData(location, pressure, buttons, eventNumber, m_state.eventClickCount,
                                          m_state.eventMouseButton);
    if (postHIDEventData(data, eventType, location, iokit::kIOHIDSetCursorPosition) != 0)
        platform::log("Failed to post a mouseEvent, but silently ignoring the error for now");
}

int32_t ScreenServerInput::postHIDEventData(const iokit::NXEventData& data, uint32_t eventType,
                                            cg::CGPoint location, uint32_t options) {
    return iokit::IOHIDPostEvent(get_event_driver(), eventType, HIDLocationForPoint(location), &data,
                                 iokit::kNXEventDataVersion, 0, options);
}

void ScreenServerInput::postProximityHIDEventWithPoint(cg::CGPoint point, bool entered,
                                                       uint64_t pointerType) {
    if (postHIDEventData(proximityEventData(entered, pointerType), cg::kCGEventTabletProximity, point, 0) !=
        0)
        platform::log("Failed to post a proximity event");
}

void ScreenServerInput::postProximityEventWithPoint(cg::CGPoint point, bool entered, uint64_t pointerType) {
    auto event = cg::CGEventCreate(nullptr);
    if (!event) return;
    cg::CGEventSetType(event, cg::kCGEventTabletProximity);
    cg::CGEventSetLocation(event, point);
    const auto type = static_cast<double>(pointerType);
    const std::pair<cg::CGEventField, double> fields[] = {
        {kTabletProximityVendorPointerType, type},
        {kTabletProximityPointerType, type},
        {cg::kCGMouseEventSubtype, 2}, // tablet proximity
        {kTabletProximityVendorPointerSerialNumber, 1},
        {kTabletProximityVendorUniqueID, double(kProximityUniqueID)},
        {kTabletProximityVendorID, double(kProximityVendorID)},
        {kTabletProximityTabletID, double(kProximityTabletID)},
        {kTabletProximityCapabilityMask, double(kProximityCapabilityMask)},
        {kTabletProximityEnterProximity, entered ? 1.0 : 0.0}};
    for (auto [field, value] : fields)
        cg::CGEventSetDoubleValueField(event, field, value);
    postEvent(event);
}

void ScreenServerInput::postProximityEventWithCGEvent(const cg::CGEventRef& event, bool entered,
                                                      uint64_t pointerType) {
    postProximityEventWithPoint(cg::CGEventGetLocation(event), entered, pointerType);
}

// ---- The end of a connection ------------------------------------------------------------

void ScreenServerInput::releaseHeldInput() {
    std::lock_guard lock(m_inputLock);
    const uint8_t held =
        static_cast<uint8_t>(m_heldButtons | (m_state.savedMouseFlags & (kLeftButton | kRightButton)));
    if (held) {
        const cg::CGPoint pointer = currentPointerPosition();
        const uint64_t now = platform::machAbsoluteTime();
        if (held & kLeftButton)
            postButtonEvent(cg::kCGEventLeftMouseUp, pointer, cg::kCGMouseButtonLeft, {}, now);
        if (held & kRightButton)
            postButtonEvent(cg::kCGEventRightMouseUp, pointer, cg::kCGMouseButtonRight, {}, now);
    }
    m_releasedTapButtons |= m_heldButtons;
    m_heldButtons = 0;
    m_state.savedMouseFlags = 0;
    // Every key a still-held button pressed goes up, each once, whichever button came last.
    uint64_t modifiers = m_state.eventModifiers;
    for (const auto& [button, keys] : m_state.heldButtonModifiers)
        modifiers |= keys;
    postModifierKeys(modifiers, false);
    m_state.eventModifiers = 0;
    m_state.heldButtonModifiers.clear();
}

// ---- Shared things and state ------------------------------------------------------------

void ScreenServerInput::postEvent(const cg::CGEventRef& event) {
    input::postEvent(event);
}

cg::CGEventSourceRef ScreenServerInput::eventSource() {
    return input::eventSource();
}

ax::AXUIElementRef ScreenServerInput::uiElementRef() {
    static const ax::AXUIElementRef element = ax::AXUIElementCreateSystemWide();
    return element;
}

cg::CGPoint ScreenServerInput::lastMouseDownPoint() const {
    std::lock_guard lock(m_inputLock);
    return m_state.lastMouseDownPoint;
}

double ScreenServerInput::eventPressure() const {
    std::lock_guard lock(m_inputLock);
    return m_state.eventPressure;
}

uint64_t ScreenServerInput::eventButtons() const {
    std::lock_guard lock(m_inputLock);
    return m_state.eventButtons;
}

uint8_t ScreenServerInput::savedMouseFlags() const {
    std::lock_guard lock(m_inputLock);
    return m_state.savedMouseFlags;
}

uint64_t ScreenServerInput::eventModifiers() const {
    std::lock_guard lock(m_inputLock);
    return m_state.eventModifiers;
}

ScreenServerInputState ScreenServerInput::inputState() const {
    std::lock_guard lock(m_inputLock);
    return m_state;
}

} // namespace input
