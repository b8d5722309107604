// A rectangle of a view (its bounds space) whose owner hears the pointer entering, leaving and
// moving inside it, while the area's activity option allows.
#pragma once

#include "platform/coregraphics/CGGeometry.h"

#include <cstdint>
#include <memory>

namespace appkit {

class NSResponder;

using NSTrackingAreaOptions = uint32_t;
inline constexpr NSTrackingAreaOptions NSTrackingMouseEnteredAndExited = 0x01;
inline constexpr NSTrackingAreaOptions NSTrackingMouseMoved = 0x02;
inline constexpr NSTrackingAreaOptions NSTrackingActiveWhenFirstResponder = 0x10;
inline constexpr NSTrackingAreaOptions NSTrackingActiveInKeyWindow = 0x20;
inline constexpr NSTrackingAreaOptions NSTrackingActiveInActiveApp = 0x40;
inline constexpr NSTrackingAreaOptions NSTrackingActiveAlways = 0x80;
inline constexpr NSTrackingAreaOptions NSTrackingInVisibleRect = 0x200;

class NSTrackingArea {
  public:
    // The owner is held weakly (it is usually the view the area is added to).
    NSTrackingArea(cg::CGRect rect, NSTrackingAreaOptions options, std::weak_ptr<NSResponder> owner)
        : m_rect(rect), m_options(options), m_owner(std::move(owner)) {}
    cg::CGRect rect() const { return m_rect; }
    NSTrackingAreaOptions options() const { return m_options; }
    std::shared_ptr<NSResponder> owner() const { return m_owner.lock(); }

  private:
    cg::CGRect m_rect;
    NSTrackingAreaOptions m_options;
    std::weak_ptr<NSResponder> m_owner;
};

} // namespace appkit
