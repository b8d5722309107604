#include "platform/appkit/NSEvent.h"

#include "platform/corefoundation/CFPreferences.h"
#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/coregraphics/CGSPrivate.h"

#include <cmath>

namespace appkit {

NSEvent NSEvent::mouseEvent(NSEventType type, cg::CGPoint locationInWindow, uint64_t modifierFlags,
                            double timestamp, uint32_t windowNumber, int64_t clickCount, double pressure) {
    NSEvent e;
    e.m_type = type;
    e.m_location = locationInWindow;
    e.m_modifierFlags = modifierFlags;
    e.m_timestamp = timestamp;
    e.m_windowNumber = windowNumber;
    e.m_clickCount = clickCount;
    e.m_pressure = pressure;
    return e;
}

NSEvent NSEvent::keyEvent(NSEventType type, cg::CGPoint locationInWindow, uint64_t modifierFlags,
                          double timestamp, uint32_t windowNumber, std::string characters, uint16_t keyCode,
                          std::optional<std::string> charactersIgnoringModifiers) {
    NSEvent e;
    e.m_type = type;
    e.m_location = locationInWindow;
    e.m_modifierFlags = modifierFlags;
    e.m_timestamp = timestamp;
    e.m_windowNumber = windowNumber;
    e.m_characters = std::move(characters);
    e.m_charactersIgnoringModifiers = std::move(charactersIgnoringModifiers);
    e.m_keyCode = keyCode;
    return e;
}

bool NSEvent::isMouseEvent() const {
    return m_type != NSEventType::KeyDown && m_type != NSEventType::KeyUp &&
           m_type != NSEventType::FlagsChanged;
}

NSEvent NSEvent::withTrackingArea(NSEventType type, std::shared_ptr<NSTrackingArea> area) const {
    NSEvent e = *this;
    e.m_type = type;
    e.m_trackingArea = std::move(area);
    return e;
}

cg::CGPoint NSEvent::mouseLocation() {
    cg::CGPoint location = cg::CGSCurrentInputPointerPosition();
    double mainHeight = cg::CGDisplayBounds(cg::CGMainDisplayID()).size.height;
    return {location.x, mainHeight - location.y};
}

double NSEvent::doubleClickInterval() {
    constexpr double kDefaultInterval = 0.5;
    auto value = cf::CFPreferencesCopyAppValue("com.apple.mouse.doubleClickThreshold",
                                               cf::kCFPreferencesAnyApplication);
    if (!value || !value->isNumber()) return kDefaultInterval;
    double seconds = value->doubleValue();
    return std::isfinite(seconds) && seconds > 0 ? seconds : kDefaultInterval;
}

} // namespace appkit
