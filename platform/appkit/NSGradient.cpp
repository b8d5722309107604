#include "platform/appkit/NSGradient.h"

#include "platform/core/Log.h"

#include <cmath>
#include <numbers>

namespace appkit {

namespace {

cg::CGContextRef currentCGContext(const char* function) {
    auto context = NSGraphicsContext::currentContext();
    if (!context) {
        platform::log("%s: no current graphics context", function);
        return nullptr;
    }
    return context->CGContext();
}

} // namespace

std::shared_ptr<NSGradient> NSGradient::initWithStartingColor(const std::shared_ptr<NSColor>& start,
                                                              const std::shared_ptr<NSColor>& end) {
    return initWithColors({start, end}, nullptr);
}

std::shared_ptr<NSGradient> NSGradient::initWithColors(const std::vector<std::shared_ptr<NSColor>>& colors,
                                                       const double* locations) {
    if (colors.size() < 2) return nullptr;
    std::vector<cg::CGColorRef> cgColors;
    for (const auto& color : colors) {
        if (!color) return nullptr;
        cgColors.push_back(color->CGColor());
    }
    auto gradient = cg::CGGradientCreateWithColors(cg::CGColorSpaceCreateDeviceRGB(), cgColors, locations);
    return gradient ? std::make_shared<NSGradient>(std::move(gradient)) : nullptr;
}

void NSGradient::drawFromPoint(cg::CGPoint start, cg::CGPoint end, uint32_t options) const {
    if (auto c = currentCGContext("NSGradient drawFromPoint"))
        cg::CGContextDrawLinearGradient(c, m_gradient, start, end, options);
}

void NSGradient::drawFromCenter(cg::CGPoint startCenter, double startRadius, cg::CGPoint endCenter,
                                double endRadius, uint32_t options) const {
    if (auto c = currentCGContext("NSGradient drawFromCenter"))
        cg::CGContextDrawRadialGradient(c, m_gradient, startCenter, startRadius, endCenter, endRadius,
                                        options);
}

void NSGradient::drawLinearIn(cg::CGRect r, double angle) const {
    auto c = currentCGContext("NSGradient drawInRect");
    if (!c) return;
    r = cg::CGRectStandardize(r);
    const double a = angle * std::numbers::pi / 180, ux = std::cos(a), uy = std::sin(a);
    const double half = r.size.width / 2 * std::fabs(ux) + r.size.height / 2 * std::fabs(uy);
    const double cx = cg::CGRectGetMidX(r), cy = cg::CGRectGetMidY(r);
    cg::CGContextDrawLinearGradient(c, m_gradient, cg::CGPointMake(cx - half * ux, cy - half * uy),
                                    cg::CGPointMake(cx + half * ux, cy + half * uy),
                                    NSGradientDrawsBeforeStartingLocation |
                                        NSGradientDrawsAfterEndingLocation);
}

void NSGradient::drawInRect(cg::CGRect rect, double angle) const {
    auto c = currentCGContext("NSGradient drawInRect");
    if (!c) return;
    cg::CGContextSaveGState(c);
    cg::CGContextClipToRect(c, rect);
    drawLinearIn(rect, angle);
    cg::CGContextRestoreGState(c);
}

void NSGradient::drawInBezierPath(const NSBezierPath& path, double angle) const {
    auto c = currentCGContext("NSGradient drawInBezierPath");
    if (!c) return;
    cg::CGContextSaveGState(c);
    path.addClip();
    drawLinearIn(path.bounds(), angle);
    cg::CGContextRestoreGState(c);
}

void NSGradient::drawInRectRelativeCenterPosition(cg::CGRect r, cg::CGPoint relative) const {
    auto c = currentCGContext("NSGradient drawInRect");
    if (!c) return;
    r = cg::CGRectStandardize(r);
    const double cx = cg::CGRectGetMidX(r) + relative.x * r.size.width / 2;
    const double cy = cg::CGRectGetMidY(r) + relative.y * r.size.height / 2;
    double radius = 0;
    for (double x : {cg::CGRectGetMinX(r), cg::CGRectGetMaxX(r)})
        for (double y : {cg::CGRectGetMinY(r), cg::CGRectGetMaxY(r)})
            radius = std::max(radius, std::hypot(x - cx, y - cy));
    cg::CGContextSaveGState(c);
    cg::CGContextClipToRect(c, r);
    cg::CGContextDrawRadialGradient(
        c, m_gradient, cg::CGPointMake(cx, cy), 0, cg::CGPointMake(cx, cy), radius,
        NSGradientDrawsBeforeStartingLocation | NSGradientDrawsAfterEndingLocation);
    cg::CGContextRestoreGState(c);
}

} // namespace appkit
