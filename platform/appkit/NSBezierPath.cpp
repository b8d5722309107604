#include "platform/appkit/NSBezierPath.h"

#include "platform/core/Log.h"

#include <numbers>

namespace appkit {

std::shared_ptr<NSBezierPath> NSBezierPath::bezierPath() {
    return std::make_shared<NSBezierPath>();
}

std::shared_ptr<NSBezierPath> NSBezierPath::bezierPathWithRect(cg::CGRect rect) {
    auto path = bezierPath();
    path->appendBezierPathWithRect(rect);
    return path;
}

std::shared_ptr<NSBezierPath> NSBezierPath::bezierPathWithOvalInRect(cg::CGRect rect) {
    auto path = bezierPath();
    path->appendBezierPathWithOvalInRect(rect);
    return path;
}

std::shared_ptr<NSBezierPath> NSBezierPath::bezierPathWithRoundedRect(cg::CGRect rect, double xRadius,
                                                                      double yRadius) {
    auto path = bezierPath();
    cg::CGPathAddRoundedRect(path->m_path, nullptr, rect, xRadius, yRadius);
    return path;
}

void NSBezierPath::fillRect(cg::CGRect rect) {
    bezierPathWithRect(rect)->fill();
}

void NSBezierPath::strokeRect(cg::CGRect rect) {
    bezierPathWithRect(rect)->stroke();
}

void NSBezierPath::clipRect(cg::CGRect rect) {
    NSRectClip(rect);
}

void NSBezierPath::strokeLineFromPoint(cg::CGPoint from, cg::CGPoint to) {
    auto path = bezierPath();
    path->moveToPoint(from);
    path->lineToPoint(to);
    path->stroke();
}

void NSBezierPath::moveToPoint(cg::CGPoint p) {
    cg::CGPathMoveToPoint(m_path, nullptr, p.x, p.y);
}

void NSBezierPath::lineToPoint(cg::CGPoint p) {
    cg::CGPathAddLineToPoint(m_path, nullptr, p.x, p.y);
}

void NSBezierPath::curveToPoint(cg::CGPoint p, cg::CGPoint c1, cg::CGPoint c2) {
    cg::CGPathAddCurveToPoint(m_path, nullptr, c1.x, c1.y, c2.x, c2.y, p.x, p.y);
}

void NSBezierPath::closePath() {
    cg::CGPathCloseSubpath(m_path);
}

void NSBezierPath::appendBezierPathWithRect(cg::CGRect rect) {
    cg::CGPathAddRect(m_path, nullptr, rect);
}

void NSBezierPath::appendBezierPathWithOvalInRect(cg::CGRect rect) {
    cg::CGPathAddEllipseInRect(m_path, nullptr, rect);
}

void NSBezierPath::appendBezierPathWithArcWithCenter(cg::CGPoint center, double radius, double startAngle,
                                                     double endAngle, bool clockwise) {
    const double k = std::numbers::pi / 180;
    cg::CGPathAddArc(m_path, nullptr, center.x, center.y, radius, startAngle * k, endAngle * k, clockwise);
}

void NSBezierPath::appendBezierPath(const NSBezierPath& other) {
    cg::CGPathAddPath(m_path, nullptr, other.m_path);
}

void NSBezierPath::removeAllPoints() {
    m_path = cg::CGPathCreateMutable();
}

bool NSBezierPath::isEmpty() const {
    return cg::CGPathIsEmpty(m_path);
}

cg::CGRect NSBezierPath::bounds() const {
    return isEmpty() ? cg::CGRectZero : cg::CGPathGetBoundingBox(m_path);
}

cg::CGPoint NSBezierPath::currentPoint() const {
    return cg::CGPathGetCurrentPoint(m_path);
}

void NSBezierPath::setLineDash(const double* pattern, size_t count, double phase) {
    m_dash.assign(pattern, pattern ? pattern + count : pattern);
    m_dashPhase = phase;
}

void NSBezierPath::fill() const {
    detail::fillPath(m_path, m_rule == NSWindingRuleEvenOdd, NSCompositingOperationSourceOver,
                     "NSBezierPath fill");
}

void NSBezierPath::stroke() const {
    auto context = NSGraphicsContext::currentContext();
    if (!context) {
        platform::log("NSBezierPath stroke: no current graphics context");
        return;
    }
    const cg::CGContextRef& c = context->CGContext();
    cg::CGContextSaveGState(c);
    cg::CGContextSetLineWidth(c, m_lineWidth);
    cg::CGContextSetLineCap(c, m_cap);
    cg::CGContextSetLineJoin(c, m_join);
    cg::CGContextSetLineDash(c, m_dashPhase, m_dash.data(), m_dash.size());
    cg::CGContextAddPath(c, m_path);
    cg::CGContextStrokePath(c);
    cg::CGContextRestoreGState(c);
}

void NSBezierPath::addClip() const {
    auto context = NSGraphicsContext::currentContext();
    if (!context) {
        platform::log("NSBezierPath addClip: no current graphics context");
        return;
    }
    cg::CGContextAddPath(context->CGContext(), m_path);
    m_rule == NSWindingRuleEvenOdd ? cg::CGContextEOClip(context->CGContext())
                                   : cg::CGContextClip(context->CGContext());
}

} // namespace appkit
