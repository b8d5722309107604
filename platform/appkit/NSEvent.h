// Events as a process's windows receive them (type, window number, window-base location,
// modifiers, clicks, characters), and NSEvent's class-side state the screen server and the input
// code read.
#pragma once

#include "platform/coregraphics/CGGeometry.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace appkit {

class NSTrackingArea;

enum class NSEventType : uint32_t {
    LeftMouseDown = 1,
    LeftMouseUp = 2,
    RightMouseDown = 3,
    RightMouseUp = 4,
    MouseMoved = 5,
    LeftMouseDragged = 6,
    RightMouseDragged = 7,
    MouseEntered = 8,
    MouseExited = 9,
    KeyDown = 10,
    KeyUp = 11,
    FlagsChanged = 12,
    TabletPoint = 23,
    OtherMouseDragged = 27,
};

// Event types as mask bits (1 << type), for global monitors.
using NSEventMask = uint64_t;
inline constexpr NSEventMask NSEventMaskMouseMoved = 1ull << 5;
inline constexpr NSEventMask NSEventMaskLeftMouseDragged = 1ull << 6;
inline constexpr NSEventMask NSEventMaskRightMouseDragged = 1ull << 7;
inline constexpr NSEventMask NSEventMaskTabletPoint = 1ull << 23;
inline constexpr NSEventMask NSEventMaskOtherMouseDragged = 1ull << 27;

// A global monitor's handle; removeMonitor ends it.
struct NSEventMonitorRecord;
using NSEventMonitor = std::shared_ptr<NSEventMonitorRecord>;

class NSEvent {
  public:
    static NSEvent mouseEvent(NSEventType type, cg::CGPoint locationInWindow, uint64_t modifierFlags,
                              double timestamp, uint32_t windowNumber, int64_t clickCount, double pressure);
    static NSEvent keyEvent(NSEventType type, cg::CGPoint locationInWindow, uint64_t modifierFlags,
                            double timestamp, uint32_t windowNumber, std::string characters, uint16_t keyCode,
                            std::optional<std::string> charactersIgnoringModifiers = {});

    NSEventType type() const { return m_type; }
    bool isMouseEvent() const;
    bool isKeyEvent() const { return m_type == NSEventType::KeyDown || m_type == NSEventType::KeyUp; }
    cg::CGPoint locationInWindow() const { return m_location; }
    uint32_t windowNumber() const { return m_windowNumber; }
    uint64_t modifierFlags() const { return m_modifierFlags; }
    double timestamp() const { return m_timestamp; }
    int64_t clickCount() const { return m_clickCount; }
    double pressure() const { return m_pressure; }
    const std::string& characters() const { return m_characters; }
    // The layout's characters for the key without Option or Shift (Option-K gives "k" where
    // characters gives "˚"); the characters themselves when the event carries none apart.
    const std::string& charactersIgnoringModifiers() const {
        return m_charactersIgnoringModifiers ? *m_charactersIgnoringModifiers : m_characters;
    }
    uint16_t keyCode() const { return m_keyCode; }
    // Entered and exited events: the area crossed.
    std::shared_ptr<NSTrackingArea> trackingArea() const { return m_trackingArea; }
    NSEvent withTrackingArea(NSEventType type, std::shared_ptr<NSTrackingArea> area) const;

    // The pointer's location in Cocoa global points: origin at the main display's bottom-left,
    // y up (the window server's location, y flipped by the main display's height).
    static cg::CGPoint mouseLocation();
    // The global domain's "com.apple.mouse.doubleClickThreshold" when it is a positive number,
    // else 0.5 s.
    static double doubleClickInterval();

    // Global monitors (NSApplicationActivation.cpp): copies of the masked pointer events that
    // reach no window or another process, through platformd, on the main run loop in every
    // mode; location in Cocoa global points (locationInWindow, window number 0) and pressure.
    // Removing an unknown or removed monitor is a no-op. Main thread.
    static NSEventMonitor addGlobalMonitorForEventsMatchingMask(NSEventMask mask,
                                                                std::function<void(const NSEvent&)> handler);
    static void removeMonitor(const NSEventMonitor& monitor);

  private:
    NSEventType m_type = NSEventType::MouseMoved;
    cg::CGPoint m_location = cg::CGPointZero;
    uint32_t m_windowNumber = 0;
    uint64_t m_modifierFlags = 0;
    double m_timestamp = 0;
    int64_t m_clickCount = 0;
    double m_pressure = 0;
    std::string m_characters;
    std::optional<std::string> m_charactersIgnoringModifiers;
    uint16_t m_keyCode = 0;
    std::shared_ptr<NSTrackingArea> m_trackingArea;
};

} // namespace appkit
