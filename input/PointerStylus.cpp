#include "input/PointerStylus.h"

#include "foundation/SystemVersion.h"
#include "platform/appkit/NSEvent.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/NSUserDefaults.h"

#include <cmath>
#include <limits>
#include <mutex>

namespace input {

namespace {

template <typename T> T saturated(double v) {
    if (std::isnan(v)) return 0;
    if (v <= static_cast<double>(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
    if (v >= static_cast<double>(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
    return static_cast<T>(v);
}

uint8_t fraction256(double v) {
    if (!std::isfinite(v)) return 0;
    return static_cast<uint8_t>((v - std::floor(v)) * 256);
}

kernel::NXTabletPointData tabletPoint(int32_t x, int32_t y, double pressure, uint64_t buttons) {
    return kernel::NXTabletPointData{x, y, static_cast<uint16_t>(buttons & 0xFFFF),
                                     static_cast<uint16_t>(std::floor(pressure * 65535))};
}

const char* nameIn(std::initializer_list<std::pair<uint32_t, const char*>> names, uint64_t value) {
    for (auto [v, name] : names)
        if (v == value) return name;
    return "unknown/invalid";
}

} // namespace

uint32_t EventPhaseForTapType(uint32_t tapType) {
    if (tapType <= 11) return tapType % 3 + 1;
    if (tapType >= 14 && tapType <= 16) return tapType - 14 + 1;
    return QNBEventPhaseInvalid;
}

uint32_t MouseButtonForAction(uint64_t action) {
    switch (action) {
    case QNBStylusActionMiddleClick:
        return 2;
    case QNBStylusActionSecondaryClick:
        return 1;
    default:
        return 0;
    }
}

uint32_t EventTypeForAction(uint64_t action, uint32_t phase) {
    if (action == QNBStylusActionMoveCursor) return 5;
    if (action == QNBStylusActionScrollWheel) return 22;
    uint32_t began = 1, moved = 6, ended = 2;
    if (action == QNBStylusActionMiddleClick) began = 25, moved = 27, ended = 26;
    if (action == QNBStylusActionSecondaryClick) began = 3, moved = 7, ended = 4;
    switch (phase) {
    case QNBEventPhaseBegan:
        return began;
    case QNBEventPhaseMoved:
        return moved;
    case QNBEventPhaseEnded:
    case QNBEventPhaseCancelled:
        return ended;
    default:
        return 0;
    }
}

uint64_t PointerTypeForAction(uint64_t action) {
    switch (action) {
    case QNBStylusActionEraser:
        return 3;
    case QNBStylusActionClick:
    case QNBStylusActionMiddleClick:
    case QNBStylusActionSecondaryClick:
    case QNBStylusActionDisabled:
        return 1;
    case QNBStylusActionMoveCursor:
    case QNBStylusActionScrollWheel:
    case QNBStylusActionUndo:
    case QNBStylusActionRedo:
    case QNBStylusActionCustomModifier:
    case QNBStylusActionKeystroke:
        return 2;
    default:
        return 0;
    }
}

std::string NSStringFromPointerType(uint64_t t) {
    return nameIn({{0, "NX_TABLET_POINTER_UNKNOWN"},
                   {1, "NX_TABLET_POINTER_PEN"},
                   {2, "NX_TABLET_POINTER_CURSOR"},
                   {3, "NX_TABLET_POINTER_ERASER"}},
                  t);
}

std::string NSStringFromQNBEventPhase(uint32_t p) {
    return nameIn({{0, "QNBEventPhaseInvalid"},
                   {1, "QNBEventPhaseBegan"},
                   {2, "QNBEventPhaseMoved"},
                   {3, "QNBEventPhaseEnded"},
                   {4, "QNBEventPhaseCancelled"}},
                  p);
}

std::string NSStringFromCGEventType(uint32_t t) {
    return nameIn({{0, "kCGEventNull"},
                   {1, "kCGEventLeftMouseDown"},
                   {2, "kCGEventLeftMouseUp"},
                   {3, "kCGEventRightMouseDown"},
                   {4, "kCGEventRightMouseUp"},
                   {5, "kCGEventMouseMoved"},
                   {6, "kCGEventLeftMouseDragged"},
                   {7, "kCGEventRightMouseDragged"},
                   {10, "kCGEventKeyDown"},
                   {11, "kCGEventKeyUp"},
                   {12, "kCGEventFlagsChanged"},
                   {22, "kCGEventScrollWheel"},
                   {23, "kCGEventTabletPointer"},
                   {24, "kCGEventTabletProximity"},
                   {25, "kCGEventOtherMouseDown"},
                   {26, "kCGEventOtherMouseUp"},
                   {27, "kCGEventOtherMouseDragged"}},
                  t);
}

std::string NSStringFromCGEventMouseSubtype(uint32_t s) {
    return nameIn({{0, "kCGEventMouseSubtypeDefault"},
                   {1, "kCGEventMouseSubtypeTabletPoint"},
                   {2, "kCGEventMouseSubtypeTabletProximity"}},
                  s);
}

bool NSEventIsDoubleClick(double interval) {
    return interval <= appkit::NSEvent::doubleClickInterval();
}

double QNBPressureCurve(float raw, float sensitivity) {
    double p = std::isnan(raw) ? 0.0 : std::clamp(static_cast<double>(raw), 0.0, 1.0);
    double s = sensitivity;
    double e = s > 0.5 ? 10 * s - 4 : 10 * s / 12 + 1.0 / 6;
    double bent = std::pow(p, e);
    return std::isnan(bent) ? 0.0 : std::clamp(bent, 0.0, 1.0);
}

int32_t scrollWheelValueForAmount(float amount, bool natural) {
    constexpr double kLimit = 2147483648.0; // truncation must land inside 32 bits
    int32_t v = 0;
    if (std::isfinite(amount) && std::fabs(static_cast<double>(amount)) < kLimit)
        v = static_cast<int32_t>(amount);
    if (!natural) v = -v;
    return 2 * static_cast<int32_t>(static_cast<int16_t>(v));
}

int16_t scrollWheelValueForDelta(int32_t delta, bool natural) {
    int64_t v = natural ? delta : -int64_t(delta);
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint64_t>(2 * v)));
}

bool scrollDirectionIsNatural() {
    auto defaults = ns::NSUserDefaults::standardUserDefaults();
    defaults->synchronize();
    bool lion = foundation::BCDSystemVersionFunction() > 0x0A06FF;
    bool natural = lion;
    if (defaults->objectForKey("ReverseScrollwheelEventDirection"))
        natural = defaults->boolForKey("ReverseScrollwheelEventDirection");
    if (lion && defaults->objectForKey("com.apple.swipescrolldirection"))
        natural = defaults->boolForKey("com.apple.swipescrolldirection");
    return natural;
}

std::optional<cg::CGPoint> convertClientPoint(const std::optional<InputGeometry>& g, double x, double y,
                                              PointRounding rounding) {
    if (!g || !std::isfinite(g->cursorScale) || g->cursorScale <= 0 || cg::CGRectIsEmpty(g->frame) ||
        !std::isfinite(g->frame.size.width) || !std::isfinite(g->frame.size.height))
        return std::nullopt;
    auto integral = [rounding](double v) {
        double r = rounding == PointRounding::Floor ? std::floor(v) : std::trunc(v);
        return static_cast<double>(saturated<int32_t>(r));
    };
    double gx = integral(x * (1.0 / g->cursorScale)) + g->scaleCorrectedDisplayBounds.origin.x;
    double gy = integral(y * (1.0 / g->cursorScale)) + g->scaleCorrectedDisplayBounds.origin.y;
    const cg::CGRect& f = g->frame;
    // The last point inside is one short of the far edges (a frame narrower than that keeps its origin).
    double maxX = std::max(f.origin.x, f.origin.x + f.size.width - 1);
    double maxY = std::max(f.origin.y, f.origin.y + f.size.height - 1);
    return cg::CGPointMake(std::clamp(gx, f.origin.x, maxX), std::clamp(gy, f.origin.y, maxY));
}

iokit::IOGPoint HIDLocationForPoint(cg::CGPoint point) {
    return iokit::IOGPoint{saturated<int16_t>(std::floor(point.x)), saturated<int16_t>(std::floor(point.y))};
}

int32_t hoverHeightFieldValue(float height) {
    return saturated<int32_t>(std::trunc(static_cast<double>(height)));
}

iokit::NXEventData mouseTabletPointEventData(cg::CGPoint location, double pressure, uint64_t buttons,
                                             int32_t eventNumber, uint64_t clickCount, uint32_t mouseButton) {
    iokit::NXEventData data{};
    auto& m = data.mouse;
    m.subx = fraction256(location.x);
    m.suby = fraction256(location.y);
    m.eventNum = eventNumber;
    m.click = saturated<int32_t>(static_cast<double>(clickCount));
    m.pressure = static_cast<uint8_t>(std::floor(pressure * 255));
    m.buttonNumber = static_cast<uint8_t>(mouseButton);
    m.subType = 1;
    m.tablet = tabletPoint(saturated<int32_t>(std::trunc(location.x)),
                           saturated<int32_t>(std::trunc(location.y)), pressure, buttons);
    return data;
}

iokit::NXEventData mouseMoveEventData(cg::CGPoint location, cg::CGPoint last, double pressure,
                                      uint64_t buttons) {
    iokit::NXEventData data{};
    auto& m = data.mouseMove;
    m.dx = saturated<int32_t>(std::floor(location.x - last.x));
    m.dy = saturated<int32_t>(std::floor(location.y - last.y));
    m.subx = fraction256(location.x);
    m.suby = fraction256(location.y);
    m.subType = 1;
    m.tablet = tabletPoint(saturated<int32_t>(std::trunc(location.x)),
                           saturated<int32_t>(std::trunc(location.y)), pressure, buttons);
    return data;
}

iokit::NXEventData tabletPointEventData(cg::CGPoint location, double pressure, uint64_t buttons) {
    iokit::NXEventData data{};
    data.tablet = tabletPoint(saturated<int32_t>(std::floor(location.x)),
                              saturated<int32_t>(std::floor(location.y)), pressure, buttons);
    return data;
}

iokit::NXEventData proximityEventData(bool entered, uint64_t pointerType) {
    iokit::NXEventData data{};
    auto& p = data.proximity;
    p.vendorID = kProximityVendorID;
    p.tabletID = kProximityTabletID;
    p.vendorPointerType = static_cast<uint16_t>(pointerType);
    p.pointerSerialNumber = 1;
    p.uniqueID = kProximityUniqueID;
    p.capabilityMask = kProximityCapabilityMask;
    p.pointerType = static_cast<uint8_t>(pointerType);
    p.enterProximity = entered ? 1 : 0;
    return data;
}

uint64_t stylusActionForButtons(uint64_t buttons, const std::function<uint64_t(uint64_t)>& actionForButton,
                                uint32_t& mouseButton) {
    uint64_t bottom = actionForButton(QNBStylusButtonBottomBarrel),
             top = actionForButton(QNBStylusButtonTopBarrel);
    uint64_t tip = actionForButton(QNBStylusButtonTip), eraser = actionForButton(QNBStylusButtonEraser);
    uint64_t action = 0;
    auto barrel = [&](uint64_t mask, uint64_t barrelAction) {
        if ((buttons & mask) && barrelAction != QNBStylusActionKeystroke &&
            barrelAction != QNBStylusActionDisabled) {
            mouseButton = MouseButtonForAction(barrelAction);
            action = barrelAction;
        }
    };
    barrel(QNBStylusButtonBottomBarrel, bottom);
    barrel(QNBStylusButtonTopBarrel, top);
    if (action == 0 || action == QNBStylusActionUndo || action == QNBStylusActionRedo ||
        action == QNBStylusActionCustomModifier) {
        if ((buttons & QNBStylusButtonEraser) && eraser != QNBStylusActionDisabled) action = eraser;
        if ((buttons & QNBStylusButtonTip) && tip != QNBStylusActionDisabled) action = tip;
    }
    if (action == 0) action = actionForButton(QNBStylusButtonFinger);
    return action;
}

iokit::io_connect_t get_event_driver() {
    static std::mutex mutex;
    static iokit::io_connect_t sEventDrvrRef = 0;
    constexpr const char* kFunction = "io_connect_t get_event_driver(void)";
    std::lock_guard lock(mutex);
    if (sEventDrvrRef) return sEventDrvrRef;
    iokit::mach_port_t masterPort = 0;
    if (iokit::IOMasterPort(0, &masterPort) != iokit::KERN_SUCCESS)
        platform::log("%s:Error calling IOMasterPort", kFunction);
    iokit::io_iterator_t iterator = 0;
    if (iokit::IOServiceGetMatchingServices(masterPort, iokit::IOServiceMatching("IOHIDSystem"), &iterator) !=
        iokit::KERN_SUCCESS)
        platform::log("%s:Error calling IOServiceGetMatchingServices", kFunction);
    iokit::io_service_t service = iokit::IOIteratorNext(iterator);
    if (!service) platform::log("%s:Could not get service from IOIteratorNext", kFunction);
    if (iokit::IOServiceOpen(service, iokit::mach_task_self(), iokit::kIOHIDParamConnectType,
                             &sEventDrvrRef) != iokit::KERN_SUCCESS) {
        platform::log("%s:failed to open service with IOServiceOpen", kFunction);
        sEventDrvrRef = 0;
    }
    if (service) iokit::IOObjectRelease(service);
    if (iterator) iokit::IOObjectRelease(iterator);
    return sEventDrvrRef;
}

} // namespace input
