// Paths: subpaths of lines and Bézier curves. Arcs, ellipses and rounded rectangles are stored
// as cubic curves. Each call may apply a transform to what it adds.
#pragma once

#include "platform/coregraphics/CGAffineTransform.h"

#include <memory>
#include <vector>

namespace cg {

enum CGPathElementType : int32_t {
    kCGPathElementMoveToPoint = 0,
    kCGPathElementAddLineToPoint = 1,
    kCGPathElementAddQuadCurveToPoint = 2,
    kCGPathElementAddCurveToPoint = 3,
    kCGPathElementCloseSubpath = 4,
};

struct CGPathElement {
    CGPathElementType type = kCGPathElementMoveToPoint;
    CGPoint points[3];
};

struct CGPath {
    std::vector<CGPathElement> elements;
    CGPoint current;
    CGPoint subpathStart;
};
using CGMutablePathRef = std::shared_ptr<CGPath>;
using CGPathRef = std::shared_ptr<const CGPath>;

CGMutablePathRef CGPathCreateMutable();
CGMutablePathRef CGPathCreateMutableCopy(const CGPathRef& path);
CGPathRef CGPathCreateWithRect(CGRect rect, const CGAffineTransform* m);
bool CGPathIsEmpty(const CGPathRef& path);
CGPoint CGPathGetCurrentPoint(const CGPathRef& path);
// The smallest rectangle holding every point, control points included; null when empty.
CGRect CGPathGetBoundingBox(const CGPathRef& path);

void CGPathMoveToPoint(const CGMutablePathRef& path, const CGAffineTransform* m, CGFloat x, CGFloat y);
// Without a current point these start a subpath at the end point.
void CGPathAddLineToPoint(const CGMutablePathRef& path, const CGAffineTransform* m, CGFloat x, CGFloat y);
void CGPathAddQuadCurveToPoint(const CGMutablePathRef& path, const CGAffineTransform* m, CGFloat cpx,
                               CGFloat cpy, CGFloat x, CGFloat y);
void CGPathAddCurveToPoint(const CGMutablePathRef& path, const CGAffineTransform* m, CGFloat cp1x,
                           CGFloat cp1y, CGFloat cp2x, CGFloat cp2y, CGFloat x, CGFloat y);
void CGPathCloseSubpath(const CGMutablePathRef& path);
void CGPathAddRect(const CGMutablePathRef& path, const CGAffineTransform* m, CGRect rect);
void CGPathAddEllipseInRect(const CGMutablePathRef& path, const CGAffineTransform* m, CGRect rect);
// Corner radii are clamped to half the sides.
void CGPathAddRoundedRect(const CGMutablePathRef& path, const CGAffineTransform* m, CGRect rect,
                          CGFloat cornerWidth, CGFloat cornerHeight);
// Angles in radians; clockwise in the y-up space the arc is drawn in. A line joins the current
// point to the arc's start. Non-finite arguments add nothing (logged).
void CGPathAddArc(const CGMutablePathRef& path, const CGAffineTransform* m, CGFloat x, CGFloat y,
                  CGFloat radius, CGFloat startAngle, CGFloat endAngle, bool clockwise);
void CGPathAddPath(const CGMutablePathRef& path, const CGAffineTransform* m, const CGPathRef& other);

} // namespace cg
