#include "foundation/NSGeometryAdditions.h"

#include <algorithm>

namespace foundation {

using namespace cg;

NSRect NSRectFromSize(NSSize size) { return CGRectMake(0, 0, size.width, size.height); }

NSRect NSRectSizeRectInRect(NSRect inner, NSRect outer, bool fill) {
    CGFloat innerWidth = CGRectGetWidth(inner), innerHeight = CGRectGetHeight(inner);
    // Without both sides the aspect ratio is zero, infinite or NaN, and so would be the result.
    if (innerWidth == 0 || innerHeight == 0) return CGRectZero;
    CGFloat aspect = innerWidth / innerHeight;
    CGFloat outerWidth = CGRectGetWidth(outer), outerHeight = CGRectGetHeight(outer);
    // Both candidates sit at the origin, so their intersection and union are the smaller
    // and larger of each side.
    CGSize byWidth = CGSizeMake(outerWidth, outerWidth / aspect);
    CGSize byHeight = CGSizeMake(aspect * outerHeight, outerHeight);
    if (fill)
        return CGRectMake(0, 0, std::max(byWidth.width, byHeight.width), std::max(byWidth.height, byHeight.height));
    return CGRectMake(0, 0, std::min(byWidth.width, byHeight.width), std::min(byWidth.height, byHeight.height));
}

NSRect NSRectCenterRectInRect(NSRect inner, NSRect outer) {
    inner = CGRectStandardize(inner);
    inner.origin.x = CGRectGetMidX(outer) - inner.size.width / 2;
    inner.origin.y = CGRectGetMidY(outer) - inner.size.height / 2;
    return inner;
}

NSRect NSRectFitRectInRect(NSRect inner, NSRect outer, bool fill) {
    return NSRectCenterRectInRect(NSRectSizeRectInRect(inner, outer, fill), outer);
}

namespace {
// The offset along one axis that brings [min, max] back inside [boundsMin, boundsMax].
CGFloat constrainOffset(CGFloat min, CGFloat max, CGFloat boundsMin, CGFloat boundsMax) {
    CGFloat delta = max > boundsMax ? boundsMax - max : 0;
    if (min < boundsMin) delta += boundsMin - min;
    return delta;
}
} // namespace

NSRect NSRectConstrainRectToRect(NSRect r, NSRect bounds) {
    r = CGRectStandardize(r);
    CGFloat dx = constrainOffset(CGRectGetMinX(r), CGRectGetMaxX(r), CGRectGetMinX(bounds), CGRectGetMaxX(bounds));
    CGFloat dy = constrainOffset(CGRectGetMinY(r), CGRectGetMaxY(r), CGRectGetMinY(bounds), CGRectGetMaxY(bounds));
    r.origin.x += dx;
    r.origin.y += dy;
    return r;
}

} // namespace foundation
