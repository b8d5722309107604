// Gradients: colours at locations from 0 to 1, drawn along a line or between two circles.
#pragma once

#include "platform/coregraphics/CGContext.h"

#include <vector>

namespace cg {

struct CGGradient {
    struct Stop {
        double location = 0;
        RGBA color;
    };
    std::vector<Stop> stops;
};
using CGGradientRef = std::shared_ptr<const CGGradient>;

enum CGGradientDrawingOptions : uint32_t {
    kCGGradientDrawsBeforeStartLocation = 1,
    kCGGradientDrawsAfterEndLocation = 2,
};

// components: count colours of the space's components and alpha; locations null: evenly
// spaced. Null for a null space, no colours, or non-finite locations.
CGGradientRef CGGradientCreateWithColorComponents(const CGColorSpaceRef& space, const CGFloat* components,
                                                  const CGFloat* locations, size_t count);
CGGradientRef CGGradientCreateWithColors(const CGColorSpaceRef& space, const std::vector<CGColorRef>& colors,
                                         const CGFloat* locations);

// Paint the whole clip; options extend the end colours beyond the start and the end.
void CGContextDrawLinearGradient(const CGContextRef& context, const CGGradientRef& gradient, CGPoint start,
                                 CGPoint end, uint32_t options);
void CGContextDrawRadialGradient(const CGContextRef& context, const CGGradientRef& gradient,
                                 CGPoint startCenter, CGFloat startRadius, CGPoint endCenter,
                                 CGFloat endRadius, uint32_t options);

} // namespace cg
