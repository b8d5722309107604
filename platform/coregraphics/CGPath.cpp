#include "platform/coregraphics/CGPath.h"

#include "platform/core/Log.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace cg {

namespace {

CGPoint apply(const CGAffineTransform* m, CGFloat x, CGFloat y) {
    return m ? CGPointApplyAffineTransform({x, y}, *m) : CGPoint{x, y};
}

bool hasCurrentPoint(const CGPath& p) {
    return !p.elements.empty();
}

void append(CGPath& p, CGPathElementType type, std::initializer_list<CGPoint> points) {
    CGPathElement e;
    e.type = type;
    size_t i = 0;
    for (CGPoint q : points)
        e.points[i++] = q;
    p.elements.push_back(e);
    if (type == kCGPathElementCloseSubpath) {
        p.current = p.subpathStart;
        return;
    }
    p.current = e.points[i - 1];
    if (type == kCGPathElementMoveToPoint) p.subpathStart = p.current;
}

// Starts a subpath at q unless one is open.
void ensureSubpath(CGPath& p, CGPoint q) {
    if (!hasCurrentPoint(p)) append(p, kCGPathElementMoveToPoint, {q});
}

// One cubic per quarter turn at most: the control points lie k = 4/3·tan(θ/4) radii along
// the tangents.
void addArcCurves(CGPath& p, const CGAffineTransform* m, CGFloat cx, CGFloat cy, CGFloat rx, CGFloat ry,
                  CGFloat start, CGFloat sweep) {
    int pieces = std::max(1, int(std::ceil(std::fabs(sweep) / (std::numbers::pi / 2) - 1e-9)));
    CGFloat step = sweep / pieces, k = 4.0 / 3.0 * std::tan(step / 4);
    CGFloat a = start;
    for (int i = 0; i < pieces; ++i, a += step) {
        CGFloat b = a + step;
        CGFloat c0 = std::cos(a), s0 = std::sin(a), c1 = std::cos(b), s1 = std::sin(b);
        append(p, kCGPathElementAddCurveToPoint,
               {apply(m, cx + rx * (c0 - k * s0), cy + ry * (s0 + k * c0)),
                apply(m, cx + rx * (c1 + k * s1), cy + ry * (s1 - k * c1)),
                apply(m, cx + rx * c1, cy + ry * s1)});
    }
}

} // namespace

CGMutablePathRef CGPathCreateMutable() {
    return std::make_shared<CGPath>();
}

CGMutablePathRef CGPathCreateMutableCopy(const CGPathRef& path) {
    return path ? std::make_shared<CGPath>(*path) : CGPathCreateMutable();
}

CGPathRef CGPathCreateWithRect(CGRect rect, const CGAffineTransform* m) {
    auto path = CGPathCreateMutable();
    CGPathAddRect(path, m, rect);
    return path;
}

bool CGPathIsEmpty(const CGPathRef& path) {
    return !path || path->elements.empty();
}

CGPoint CGPathGetCurrentPoint(const CGPathRef& path) {
    return path && hasCurrentPoint(*path) ? path->current : CGPointZero;
}

CGRect CGPathGetBoundingBox(const CGPathRef& path) {
    if (CGPathIsEmpty(path)) return CGRectNull;
    CGFloat x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
    for (const auto& e : path->elements) {
        int n = e.type == kCGPathElementCloseSubpath          ? 0
                : e.type == kCGPathElementAddCurveToPoint     ? 3
                : e.type == kCGPathElementAddQuadCurveToPoint ? 2
                                                              : 1;
        for (int i = 0; i < n; ++i) {
            x0 = std::min(x0, e.points[i].x), x1 = std::max(x1, e.points[i].x);
            y0 = std::min(y0, e.points[i].y), y1 = std::max(y1, e.points[i].y);
        }
    }
    return CGRectMake(x0, y0, x1 - x0, y1 - y0);
}

void CGPathMoveToPoint(const CGMutablePathRef& path, const CGAffineTransform* m, CGFloat x, CGFloat y) {
    if (path) append(*path, kCGPathElementMoveToPoint, {apply(m, x, y)});
}

void CGPathAddLineToPoint(const CGMutablePathRef& path, const CGAffineTransform* m, CGFloat x, CGFloat y) {
    if (!path) return;
    ensureSubpath(*path, apply(m, x, y));
    append(*path, kCGPathElementAddLineToPoint, {apply(m, x, y)});
}

void CGPathAddQuadCurveToPoint(const CGMutablePathRef& path, const CGAffineTransform* m, CGFloat cpx,
                               CGFloat cpy, CGFloat x, CGFloat y) {
    if (!path) return;
    ensureSubpath(*path, apply(m, cpx, cpy));
    append(*path, kCGPathElementAddQuadCurveToPoint, {apply(m, cpx, cpy), apply(m, x, y)});
}

void CGPathAddCurveToPoint(const CGMutablePathRef& path, const CGAffineTransform* m, CGFloat cp1x,
                           CGFloat cp1y, CGFloat cp2x, CGFloat cp2y, CGFloat x, CGFloat y) {
    if (!path) return;
    ensureSubpath(*path, apply(m, cp1x, cp1y));
    append(*path, kCGPathElementAddCurveToPoint,
           {apply(m, cp1x, cp1y), apply(m, cp2x, cp2y), apply(m, x, y)});
}

void CGPathCloseSubpath(const CGMutablePathRef& path) {
    if (path && hasCurrentPoint(*path) && path->elements.back().type != kCGPathElementCloseSubpath)
        append(*path, kCGPathElementCloseSubpath, {});
}

void CGPathAddRect(const CGMutablePathRef& path, const CGAffineTransform* m, CGRect r) {
    if (!path) return;
    r = CGRectStandardize(r);
    CGFloat x0 = r.origin.x, y0 = r.origin.y, x1 = x0 + r.size.width, y1 = y0 + r.size.height;
    append(*path, kCGPathElementMoveToPoint, {apply(m, x0, y0)});
    append(*path, kCGPathElementAddLineToPoint, {apply(m, x1, y0)});
    append(*path, kCGPathElementAddLineToPoint, {apply(m, x1, y1)});
    append(*path, kCGPathElementAddLineToPoint, {apply(m, x0, y1)});
    append(*path, kCGPathElementCloseSubpath, {});
}

void CGPathAddEllipseInRect(const CGMutablePathRef& path, const CGAffineTransform* m, CGRect r) {
    if (!path) return;
    r = CGRectStandardize(r);
    CGFloat rx = r.size.width / 2, ry = r.size.height / 2, cx = r.origin.x + rx, cy = r.origin.y + ry;
    append(*path, kCGPathElementMoveToPoint, {apply(m, cx + rx, cy)});
    addArcCurves(*path, m, cx, cy, rx, ry, 0, 2 * std::numbers::pi);
    append(*path, kCGPathElementCloseSubpath, {});
}

void CGPathAddRoundedRect(const CGMutablePathRef& path, const CGAffineTransform* m, CGRect r, CGFloat cw,
                          CGFloat ch) {
    if (!path) return;
    r = CGRectStandardize(r);
    cw = std::clamp(std::isnan(cw) ? 0.0 : cw, 0.0, r.size.width / 2);
    ch = std::clamp(std::isnan(ch) ? 0.0 : ch, 0.0, r.size.height / 2);
    if (!(cw > 0 && ch > 0)) return CGPathAddRect(path, m, r);
    const CGFloat pi = std::numbers::pi;
    CGFloat x0 = r.origin.x, y0 = r.origin.y, x1 = x0 + r.size.width, y1 = y0 + r.size.height;
    append(*path, kCGPathElementMoveToPoint, {apply(m, x1 - cw, y0)});
    addArcCurves(*path, m, x1 - cw, y0 + ch, cw, ch, -pi / 2, pi / 2);
    append(*path, kCGPathElementAddLineToPoint, {apply(m, x1, y1 - ch)});
    addArcCurves(*path, m, x1 - cw, y1 - ch, cw, ch, 0, pi / 2);
    append(*path, kCGPathElementAddLineToPoint, {apply(m, x0 + cw, y1)});
    addArcCurves(*path, m, x0 + cw, y1 - ch, cw, ch, pi / 2, pi / 2);
    append(*path, kCGPathElementAddLineToPoint, {apply(m, x0, y0 + ch)});
    addArcCurves(*path, m, x0 + cw, y0 + ch, cw, ch, pi, pi / 2);
    append(*path, kCGPathElementCloseSubpath, {});
}

void CGPathAddArc(const CGMutablePathRef& path, const CGAffineTransform* m, CGFloat x, CGFloat y,
                  CGFloat radius, CGFloat startAngle, CGFloat endAngle, bool clockwise) {
    if (!path) return;
    if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(radius) || !std::isfinite(startAngle) ||
        !std::isfinite(endAngle)) {
        platform::log("CGPathAddArc: non-finite arc ignored");
        return;
    }
    const CGFloat turn = 2 * std::numbers::pi;
    CGFloat sweep = endAngle - startAngle;
    if (clockwise) {
        sweep = sweep <= -turn ? -turn : -std::fmod(std::fmod(-sweep, turn) + turn, turn);
    } else {
        sweep = sweep >= turn ? turn : std::fmod(std::fmod(sweep, turn) + turn, turn);
    }
    CGPoint first = apply(m, x + radius * std::cos(startAngle), y + radius * std::sin(startAngle));
    if (hasCurrentPoint(*path))
        append(*path, kCGPathElementAddLineToPoint, {first});
    else
        append(*path, kCGPathElementMoveToPoint, {first});
    if (sweep != 0) addArcCurves(*path, m, x, y, radius, radius, startAngle, sweep);
}

void CGPathAddPath(const CGMutablePathRef& path, const CGAffineTransform* m, const CGPathRef& other) {
    if (!path || !other) return;
    for (const auto& e : other->elements) {
        switch (e.type) {
        case kCGPathElementCloseSubpath:
            append(*path, e.type, {});
            break;
        case kCGPathElementMoveToPoint:
        case kCGPathElementAddLineToPoint:
            append(*path, e.type, {apply(m, e.points[0].x, e.points[0].y)});
            break;
        case kCGPathElementAddQuadCurveToPoint:
            append(*path, e.type,
                   {apply(m, e.points[0].x, e.points[0].y), apply(m, e.points[1].x, e.points[1].y)});
            break;
        case kCGPathElementAddCurveToPoint:
            append(*path, e.type,
                   {apply(m, e.points[0].x, e.points[0].y), apply(m, e.points[1].x, e.points[1].y),
                    apply(m, e.points[2].x, e.points[2].y)});
            break;
        }
    }
}

} // namespace cg
