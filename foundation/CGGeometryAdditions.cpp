#include "foundation/CGGeometryAdditions.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace foundation {

using namespace cg;

namespace {
float asFloat(CGFloat v) { return static_cast<float>(v); }
CGFloat ceilF(CGFloat v) { return std::ceil(asFloat(v)); }
CGFloat roundF(CGFloat v) { return std::round(asFloat(v)); }
CGFloat sqrtF(CGFloat v) { return std::sqrt(asFloat(v)); }
CGFloat sinF(CGFloat v) { return std::sin(asFloat(v)); }
CGFloat cosF(CGFloat v) { return std::cos(asFloat(v)); }
} // namespace

CGFloat CGFloatRound(CGFloat value) {
    CGFloat magnitude = std::fabs(value);
    CGFloat fraction = magnitude - std::floor(magnitude);
    bool up = (value >= 0 && fraction >= 0.5) || (value < 0 && fraction <= 0.5);
    return up ? std::ceil(asFloat(value)) : std::floor(asFloat(value));
}

CGSize CGSizeIntegral(CGSize size) { return CGSizeMake(CGFloatRound(size.width), CGFloatRound(size.height)); }

CGPoint CGPointGetMid(CGPoint p, CGPoint q) { return CGPointMake((p.x + q.x) * 0.5, (p.y + q.y) * 0.5); }

CGFloat CGPointDistance(CGPoint p, CGPoint q) {
    CGFloat dx = q.x - p.x, dy = q.y - p.y;
    return sqrtF(dx * dx + dy * dy);
}

bool CGPointProximateWithin(CGPoint p, CGPoint q, CGFloat distance) { return distance >= CGPointDistance(p, q); }

CGSize CGSizeScale(CGSize size, CGFloat factor) {
    return CGSizeMake(ceilF(size.width * factor), ceilF(size.height * factor));
}

CGPoint CGPointScale(CGPoint point, CGFloat factor) {
    return CGPointMake(ceilF(point.x * factor), ceilF(point.y * factor));
}

CGRect CGRectScale(CGRect rect, CGFloat factor) {
    return CGRectMake(roundF(rect.origin.x * factor), roundF(rect.origin.y * factor),
                      roundF(rect.size.width * factor), roundF(rect.size.height * factor));
}

CGRect CGRectRound(CGRect rect) {
    return CGRectMake(roundF(rect.origin.x), roundF(rect.origin.y), roundF(rect.size.width), roundF(rect.size.height));
}

CGFloat CGRectArea(CGRect rect) { return rect.size.width * rect.size.height; }

CGPoint CGRectGetMidPoint(CGRect rect) { return CGPointMake(CGRectGetMidX(rect), CGRectGetMidY(rect)); }

CGPoint CGRectGetCenter(CGRect rect) { return CGRectGetMidPoint(rect); }

CGRect CGRectOfSizeCenteredInRect(CGSize size, CGRect rect) {
    return CGRectMake(rect.origin.x + (rect.size.width - size.width) * 0.5,
                      rect.origin.y + (rect.size.height - size.height) * 0.5, size.width, size.height);
}

CGRect CGRectWithSizeScaledToFitRect(CGSize size, CGRect rect) {
    // The scale that fits is the smaller of the two ratios of target to source; a size without
    // area cannot be scaled and shrinks to the centre point.
    CGFloat scale = 0;
    if (size.width > 0 && size.height > 0)
        scale = std::min(rect.size.width / size.width, rect.size.height / size.height);
    return CGRectOfSizeCenteredInRect(CGSizeMake(size.width * scale, size.height * scale), rect);
}

CGRect CGRectContract(CGSize amount, CGRect rect) {
    return CGRectMake(rect.origin.x, rect.origin.y, rect.size.width - amount.width, rect.size.height - amount.height);
}

CGRect CGRectShift(CGSize amount, CGRect rect) {
    return CGRectMake(rect.origin.x + amount.width, rect.origin.y + amount.height, rect.size.width - amount.width,
                      rect.size.height - amount.height);
}

CGRect CGRectRotateMediaBoxWithAngle(int angle, CGRect rect) {
    if (angle == 90 || angle == 270 || angle == -90 || angle == -270)
        return CGRectMake(rect.origin.y, rect.origin.x, rect.size.height, rect.size.width);
    return rect;
}

CGAffineTransform CGAffineTransformRotateAroundPoint(CGFloat angle, CGPoint point, CGAffineTransform transform) {
    // Each step goes before the ones already in the transform, so the steps are written in
    // reverse: a point is moved to the pivot's frame, rotated, moved back, then transformed.
    // Written in the reading order (-x, -y first) the rotation would be about the point's
    // negation (-x, -y) instead of the point itself.
    transform = CGAffineTransformTranslate(transform, point.x, point.y);
    transform = CGAffineTransformRotate(transform, angle);
    return CGAffineTransformTranslate(transform, -point.x, -point.y);
}

void CGRectComputeCenterAndRadiusWithOffset(CGPoint offset, CGRect rect, CGPoint* center, CGFloat* radius) {
    CGFloat width = CGRectGetWidth(rect), height = CGRectGetHeight(rect);
    CGPoint c = CGPointMake(CGRectGetMidX(rect) + offset.x * width * 0.5, CGRectGetMidY(rect) + offset.y * height * 0.5);
    // Measure to the side the centre moved away from: that corner is the farthest.
    CGFloat dx = offset.x >= 0 ? c.x - CGRectGetMinX(rect) : CGRectGetMaxX(rect) - c.x;
    CGFloat dy = offset.y >= 0 ? c.y - CGRectGetMinY(rect) : CGRectGetMaxY(rect) - c.y;
    if (center) *center = c;
    if (radius) *radius = sqrtF(dx * dx + dy * dy);
}

void CGRectComputeEndpointsWithAngle(CGFloat angle, CGRect rect, CGPoint* start, CGPoint* end) {
    constexpr CGFloat pi = std::numbers::pi;
    CGFloat minX = CGRectGetMinX(rect), maxX = CGRectGetMaxX(rect);
    CGFloat minY = CGRectGetMinY(rect), maxY = CGRectGetMaxY(rect);
    CGFloat width = CGRectGetWidth(rect), height = CGRectGetHeight(rect);
    // theta is the angle of the diagonal, length its length.
    CGFloat theta = std::atan2(asFloat(height), asFloat(width));
    CGFloat length = sqrtF(width * width + height * height);
    CGFloat a = std::remainder(asFloat(angle), 360.0f) * pi / 180;

    CGPoint s{}, e{};
    if (std::isnan(a)) {
        // No direction: both points stay at the origin.
    } else if (a >= 0 && a < pi / 2) {
        CGFloat k = length * sinF(a - theta), t = pi / 2 - a;
        s = CGPointMake(minX, minY);
        e = CGPointMake(maxX - cosF(t) * k, maxY + sinF(t) * k);
    } else if (a >= pi / 2) {
        CGFloat u = 3 * pi / 2 - a;
        CGFloat k = length * sinF(u - theta - pi / 2), t = pi / 2 - u;
        s = CGPointMake(maxX, minY);
        e = CGPointMake(minX - sinF(t) * k, maxY + cosF(t) * k);
    } else if (a >= -pi / 2) {
        CGFloat u = 3 * pi / 2 - a;
        CGFloat k = length * sinF(u - theta + pi / 2), t = pi / 2 - u;
        s = CGPointMake(minX, maxY);
        e = CGPointMake(maxX - sinF(t) * k, minY + cosF(t) * k);
    } else {
        CGFloat k = length * sinF(a - theta - pi), t = pi / 2 - a;
        s = CGPointMake(maxX, maxY);
        e = CGPointMake(minX - cosF(t) * k, minY + sinF(t) * k);
    }
    if (start) *start = s;
    if (end) *end = e;
}

void QNContextSaveGStateDebug(const cg::CGContextRef& context) {
    cg::CGContextSaveGState(context);
}

void QNContextRestoreGStateDebug(const cg::CGContextRef& context) {
    cg::CGContextRestoreGState(context);
}

} // namespace foundation
