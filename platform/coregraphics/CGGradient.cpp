#include "platform/coregraphics/CGGradient.h"

#include "platform/core/Log.h"
#include "platform/coregraphics/CGContextPrivate.h"

#include <algorithm>
#include <cmath>

namespace cg {

namespace {

CGGradientRef build(std::vector<CGColorRef> colors, const CGFloat* locations) {
    if (colors.empty()) return nullptr;
    auto gradient = std::make_shared<CGGradient>();
    const size_t n = colors.size();
    for (size_t i = 0; i < n; ++i) {
        double location = locations ? locations[i] : (n == 1 ? 0.0 : double(i) / double(n - 1));
        if (!std::isfinite(location)) {
            platform::log("CGGradientCreate: non-finite location");
            return nullptr;
        }
        gradient->stops.push_back({std::clamp(location, 0.0, 1.0), rgbaOfColor(colors[i])});
    }
    std::stable_sort(gradient->stops.begin(), gradient->stops.end(),
                     [](const auto& a, const auto& b) { return a.location < b.location; });
    return gradient;
}

bool finitePoint(CGPoint p) {
    return std::isfinite(p.x) && std::isfinite(p.y);
}

// The farthest the device surface reaches from p, in user space.
double reach(const CGContext& c, CGPoint p) {
    cairo_matrix_t toUser = detail::cairoMatrix(detail::deviceTransform(c));
    cairo_matrix_invert(&toUser);
    double far = 0;
    const double xs[4] = {0, double(c.width), 0, double(c.width)},
                 ys[4] = {0, 0, double(c.height), double(c.height)};
    for (int i = 0; i < 4; ++i) {
        double x = xs[i], y = ys[i];
        cairo_matrix_transform_point(&toUser, &x, &y);
        far = std::max(far, std::hypot(x - p.x, y - p.y));
    }
    return far + 1;
}

// Paints pattern (in user space) over the clip, limited by the extra clip that limit adds.
template <typename Limit>
void paintGradient(CGContext& c, cairo_pattern_t* pattern, const CGGradient& gradient, Limit&& limit) {
    for (const auto& s : gradient.stops)
        cairo_pattern_add_color_stop_rgba(pattern, s.location, s.color.r, s.color.g, s.color.b, s.color.a);
    cairo_matrix_t m = detail::cairoMatrix(detail::deviceTransform(c));
    cairo_matrix_invert(&m);
    cairo_pattern_set_matrix(pattern, &m);
    detail::paint(c, [&](cairo_t* cr) {
        limit(cr);
        cairo_set_source(cr, pattern);
        cairo_paint_with_alpha(cr, c.gs.alpha);
    });
    cairo_pattern_destroy(pattern);
}

// Clips cr to a user-space path built by add.
template <typename Add> void clipUser(const CGContext& c, cairo_t* cr, cairo_fill_rule_t rule, Add&& add) {
    auto path = CGPathCreateMutable();
    CGAffineTransform t = detail::deviceTransform(c);
    add(path, &t);
    detail::emitPath(cr, *path, "CGContextDrawGradient");
    cairo_set_fill_rule(cr, rule);
    cairo_clip(cr);
}

} // namespace

CGGradientRef CGGradientCreateWithColorComponents(const CGColorSpaceRef& space, const CGFloat* components,
                                                  const CGFloat* locations, size_t count) {
    if (!space || !components || count == 0) return nullptr;
    const size_t n = CGColorSpaceGetNumberOfComponents(space) + 1;
    std::vector<CGColorRef> colors;
    for (size_t i = 0; i < count; ++i)
        colors.push_back(CGColorCreate(space, components + i * n));
    return build(std::move(colors), locations);
}

CGGradientRef CGGradientCreateWithColors(const CGColorSpaceRef&, const std::vector<CGColorRef>& colors,
                                         const CGFloat* locations) {
    return build(colors, locations);
}

void CGContextDrawLinearGradient(const CGContextRef& context, const CGGradientRef& gradient, CGPoint start,
                                 CGPoint end, uint32_t options) {
    CGContext* c = detail::checked(context, "CGContextDrawLinearGradient");
    if (!c || !gradient) return;
    if (!finitePoint(start) || !finitePoint(end)) {
        platform::log("CGContextDrawLinearGradient: non-finite points; nothing drawn");
        return;
    }
    if (!detail::invertible(detail::deviceTransform(*c))) return;
    const double dx = end.x - start.x, dy = end.y - start.y, length = std::hypot(dx, dy);
    if (length == 0) return;
    cairo_pattern_t* pattern = cairo_pattern_create_linear(start.x, start.y, end.x, end.y);
    cairo_pattern_set_extend(pattern, CAIRO_EXTEND_PAD);
    const double r = std::max(reach(*c, start), reach(*c, end));
    // Without an option the colour stops at that end: a half-plane bounded there.
    auto halfPlane = [&](cairo_t* cr, CGPoint at, double sign) {
        const double ux = sign * dx / length, uy = sign * dy / length, nx = -uy, ny = ux;
        clipUser(*c, cr, CAIRO_FILL_RULE_WINDING, [&](auto& path, auto* t) {
            CGPathMoveToPoint(path, t, at.x + nx * r, at.y + ny * r);
            CGPathAddLineToPoint(path, t, at.x - nx * r, at.y - ny * r);
            CGPathAddLineToPoint(path, t, at.x - nx * r + ux * 2 * r, at.y - ny * r + uy * 2 * r);
            CGPathAddLineToPoint(path, t, at.x + nx * r + ux * 2 * r, at.y + ny * r + uy * 2 * r);
            CGPathCloseSubpath(path);
        });
    };
    paintGradient(*c, pattern, *gradient, [&](cairo_t* cr) {
        if (!(options & kCGGradientDrawsBeforeStartLocation)) halfPlane(cr, start, 1);
        if (!(options & kCGGradientDrawsAfterEndLocation)) halfPlane(cr, end, -1);
    });
}

void CGContextDrawRadialGradient(const CGContextRef& context, const CGGradientRef& gradient,
                                 CGPoint startCenter, CGFloat startRadius, CGPoint endCenter,
                                 CGFloat endRadius, uint32_t options) {
    CGContext* c = detail::checked(context, "CGContextDrawRadialGradient");
    if (!c || !gradient) return;
    if (!finitePoint(startCenter) || !finitePoint(endCenter) || !std::isfinite(startRadius) ||
        !std::isfinite(endRadius) || startRadius < 0 || endRadius < 0) {
        platform::log("CGContextDrawRadialGradient: invalid circles; nothing drawn");
        return;
    }
    if (!detail::invertible(detail::deviceTransform(*c))) return;
    cairo_pattern_t* pattern = cairo_pattern_create_radial(startCenter.x, startCenter.y, startRadius,
                                                           endCenter.x, endCenter.y, endRadius);
    cairo_pattern_set_extend(pattern, CAIRO_EXTEND_PAD);
    const double r = std::max(reach(*c, startCenter), reach(*c, endCenter));
    paintGradient(*c, pattern, *gradient, [&](cairo_t* cr) {
        // Before the start: inside the start circle; after the end: outside the end circle.
        if (!(options & kCGGradientDrawsBeforeStartLocation) && startRadius > 0)
            clipUser(*c, cr, CAIRO_FILL_RULE_EVEN_ODD, [&](auto& path, auto* t) {
                CGPathAddRect(path, t, CGRectMake(startCenter.x - r, startCenter.y - r, 2 * r, 2 * r));
                CGPathAddEllipseInRect(path, t,
                                       CGRectMake(startCenter.x - startRadius, startCenter.y - startRadius,
                                                  2 * startRadius, 2 * startRadius));
            });
        if (!(options & kCGGradientDrawsAfterEndLocation))
            clipUser(*c, cr, CAIRO_FILL_RULE_WINDING, [&](auto& path, auto* t) {
                CGPathAddEllipseInRect(path, t,
                                       CGRectMake(endCenter.x - endRadius, endCenter.y - endRadius,
                                                  2 * endRadius, 2 * endRadius));
            });
    });
}

} // namespace cg
