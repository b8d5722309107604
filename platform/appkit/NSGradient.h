// Gradients of colours at locations, drawn in the current graphics context.
#pragma once

#include "platform/appkit/NSBezierPath.h"
#include "platform/appkit/NSColor.h"
#include "platform/coregraphics/CGGradient.h"

#include <memory>
#include <vector>

namespace appkit {

enum NSGradientDrawingOptions : uint32_t {
    NSGradientDrawsBeforeStartingLocation = 1,
    NSGradientDrawsAfterEndingLocation = 2,
};

class NSGradient {
  public:
    static std::shared_ptr<NSGradient> initWithStartingColor(const std::shared_ptr<NSColor>& start,
                                                             const std::shared_ptr<NSColor>& end);
    // locations null: evenly spaced. Null for fewer than two colours or a null colour.
    static std::shared_ptr<NSGradient> initWithColors(const std::vector<std::shared_ptr<NSColor>>& colors,
                                                      const double* locations);

    void drawFromPoint(cg::CGPoint start, cg::CGPoint end, uint32_t options) const;
    void drawFromCenter(cg::CGPoint startCenter, double startRadius, cg::CGPoint endCenter, double endRadius,
                        uint32_t options) const;
    // Fills rect: the line at angle (degrees) through its centre, from the corner farthest
    // back to the corner farthest ahead.
    void drawInRect(cg::CGRect rect, double angle) const;
    void drawInBezierPath(const NSBezierPath& path, double angle) const;
    // Fills rect radially from the centre moved by relative (−1…1 of the half sides) out to
    // the farthest corner.
    void drawInRectRelativeCenterPosition(cg::CGRect rect, cg::CGPoint relative) const;

    size_t numberOfColorStops() const { return m_gradient->stops.size(); }

    explicit NSGradient(cg::CGGradientRef gradient) : m_gradient(std::move(gradient)) {}

  private:
    void drawLinearIn(cg::CGRect bounds, double angle) const;
    cg::CGGradientRef m_gradient;
};

} // namespace appkit
