// Screens as AppKit shows them, current at every call: frames in Cocoa space (origin at the
// main display's bottom-left, y up), the backing scale of the current mode, and the device
// description with "NSScreenNumber" = the display id. Any thread.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/coregraphics/CGGeometry.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace appkit {

class NSScreen {
  public:
    explicit NSScreen(uint32_t displayID) : m_displayID(displayID) {}

    // The active displays, the main display first.
    static std::vector<std::shared_ptr<NSScreen>> screens();
    // screens()[0] (no window is key in this slice); null without displays.
    static std::shared_ptr<NSScreen> mainScreen();

    cg::CGRect frame() const;
    // The frame less a 22-point menu bar at its top.
    cg::CGRect visibleFrame() const;
    double backingScaleFactor() const;
    // {"NSScreenNumber": id, "NSDeviceSize": {"Width", "Height"} in points,
    //  "NSDeviceResolution": {"Width", "Height"} = 72 × scale}.
    cf::Value deviceDescription() const;
    uint32_t displayID() const { return m_displayID; }

    // The screen holding most of rect (Cocoa global; an empty rect counts by the screen holding
    // its origin); null when rect meets none.
    static std::shared_ptr<NSScreen> screenHolding(cg::CGRect rect);
    // The visible frame of screenHolding(rect), else the main screen's; none without screens.
    static std::optional<cg::CGRect> visibleFrameHolding(cg::CGRect rect);

  private:
    uint32_t m_displayID;
};

// Core Graphics global (top-left, y down) to Cocoa global (bottom-left, y up) and back, with
// the main display's current height.
cg::CGRect NSRectFromCGRect(cg::CGRect rect);
cg::CGRect CGRectFromNSRect(cg::CGRect rect);

// The origin that keeps a rectangle of size inside bounds: moved back in along each axis where
// it overflows, its top-left kept where it is larger than bounds.
cg::CGPoint NSPointKeepingRectInside(cg::CGPoint origin, cg::CGSize size, cg::CGRect bounds);

} // namespace appkit
