#include "platform/coregraphics/CGGeometry.h"

#include "platform/core/Format.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace cg {

namespace {
constexpr CGFloat kInf = std::numeric_limits<CGFloat>::infinity();
constexpr CGFloat kHuge = std::numeric_limits<CGFloat>::max() / 2;

std::string num(CGFloat v) {
    return platform::format("%g", v);
}
} // namespace

const CGPoint CGPointZero{0, 0};
const CGSize CGSizeZero{0, 0};
const CGRect CGRectZero{{0, 0}, {0, 0}};
const CGRect CGRectNull{{kInf, kInf}, {0, 0}};
const CGRect CGRectInfinite{{-kHuge, -kHuge}, {2 * kHuge, 2 * kHuge}};

CGRect CGRectStandardize(CGRect r) {
    if (CGRectIsNull(r)) return CGRectNull;
    if (r.size.width < 0) {
        r.origin.x += r.size.width;
        r.size.width = -r.size.width;
    }
    if (r.size.height < 0) {
        r.origin.y += r.size.height;
        r.size.height = -r.size.height;
    }
    return r;
}

CGFloat CGRectGetMinX(CGRect r) {
    return CGRectStandardize(r).origin.x;
}
CGFloat CGRectGetMinY(CGRect r) {
    return CGRectStandardize(r).origin.y;
}
CGFloat CGRectGetMaxX(CGRect r) {
    r = CGRectStandardize(r);
    return r.origin.x + r.size.width;
}
CGFloat CGRectGetMaxY(CGRect r) {
    r = CGRectStandardize(r);
    return r.origin.y + r.size.height;
}
CGFloat CGRectGetMidX(CGRect r) {
    r = CGRectStandardize(r);
    return r.origin.x + r.size.width / 2;
}
CGFloat CGRectGetMidY(CGRect r) {
    r = CGRectStandardize(r);
    return r.origin.y + r.size.height / 2;
}
CGFloat CGRectGetWidth(CGRect r) {
    return std::fabs(r.size.width);
}
CGFloat CGRectGetHeight(CGRect r) {
    return std::fabs(r.size.height);
}

bool CGRectIsNull(CGRect r) {
    return std::isinf(r.origin.x) && r.origin.x > 0;
}
bool CGRectIsEmpty(CGRect r) {
    return CGRectIsNull(r) || r.size.width == 0 || r.size.height == 0;
}
bool CGRectIsInfinite(CGRect r) {
    return r.origin.x == CGRectInfinite.origin.x && r.origin.y == CGRectInfinite.origin.y &&
           r.size.width == CGRectInfinite.size.width && r.size.height == CGRectInfinite.size.height;
}
bool CGPointEqualToPoint(CGPoint a, CGPoint b) {
    return a.x == b.x && a.y == b.y;
}
bool CGSizeEqualToSize(CGSize a, CGSize b) {
    return a.width == b.width && a.height == b.height;
}
bool CGRectEqualToRect(CGRect a, CGRect b) {
    if (CGRectIsNull(a) || CGRectIsNull(b)) return CGRectIsNull(a) && CGRectIsNull(b);
    a = CGRectStandardize(a);
    b = CGRectStandardize(b);
    return CGPointEqualToPoint(a.origin, b.origin) && CGSizeEqualToSize(a.size, b.size);
}

bool CGRectContainsPoint(CGRect r, CGPoint p) {
    if (CGRectIsNull(r)) return false;
    r = CGRectStandardize(r);
    return p.x >= r.origin.x && p.x < r.origin.x + r.size.width && p.y >= r.origin.y &&
           p.y < r.origin.y + r.size.height;
}

bool CGRectContainsRect(CGRect outer, CGRect inner) {
    if (CGRectIsNull(outer) || CGRectIsNull(inner)) return false;
    outer = CGRectStandardize(outer);
    inner = CGRectStandardize(inner);
    return inner.origin.x >= outer.origin.x && inner.origin.y >= outer.origin.y &&
           CGRectGetMaxX(inner) <= CGRectGetMaxX(outer) && CGRectGetMaxY(inner) <= CGRectGetMaxY(outer);
}

// Each rectangle's minimum lies strictly below the other's maximum on both axes: rectangles
// sharing only an edge or a corner do not intersect, while an empty rectangle strictly inside
// another does.
bool CGRectIntersectsRect(CGRect a, CGRect b) {
    if (CGRectIsNull(a) || CGRectIsNull(b)) return false;
    a = CGRectStandardize(a);
    b = CGRectStandardize(b);
    return a.origin.x < CGRectGetMaxX(b) && b.origin.x < CGRectGetMaxX(a) && a.origin.y < CGRectGetMaxY(b) &&
           b.origin.y < CGRectGetMaxY(a);
}

CGRect CGRectIntersection(CGRect a, CGRect b) {
    if (!CGRectIntersectsRect(a, b)) return CGRectNull;
    a = CGRectStandardize(a);
    b = CGRectStandardize(b);
    CGFloat x1 = std::max(a.origin.x, b.origin.x);
    CGFloat y1 = std::max(a.origin.y, b.origin.y);
    CGFloat x2 = std::min(CGRectGetMaxX(a), CGRectGetMaxX(b));
    CGFloat y2 = std::min(CGRectGetMaxY(a), CGRectGetMaxY(b));
    return CGRectMake(x1, y1, x2 - x1, y2 - y1);
}

CGRect CGRectUnion(CGRect a, CGRect b) {
    if (CGRectIsNull(a)) return CGRectStandardize(b);
    if (CGRectIsNull(b)) return CGRectStandardize(a);
    a = CGRectStandardize(a);
    b = CGRectStandardize(b);
    CGFloat x1 = std::min(a.origin.x, b.origin.x);
    CGFloat y1 = std::min(a.origin.y, b.origin.y);
    CGFloat x2 = std::max(CGRectGetMaxX(a), CGRectGetMaxX(b));
    CGFloat y2 = std::max(CGRectGetMaxY(a), CGRectGetMaxY(b));
    return CGRectMake(x1, y1, x2 - x1, y2 - y1);
}

CGRect CGRectOffset(CGRect r, CGFloat dx, CGFloat dy) {
    if (CGRectIsNull(r)) return r;
    r = CGRectStandardize(r);
    r.origin.x += dx;
    r.origin.y += dy;
    return r;
}

CGRect CGRectInset(CGRect r, CGFloat dx, CGFloat dy) {
    if (CGRectIsNull(r)) return r;
    r = CGRectStandardize(r);
    r.origin.x += dx;
    r.origin.y += dy;
    r.size.width -= 2 * dx;
    r.size.height -= 2 * dy;
    if (r.size.width < 0 || r.size.height < 0) return CGRectNull;
    return r;
}

CGRect CGRectIntegral(CGRect r) {
    if (CGRectIsNull(r)) return r;
    r = CGRectStandardize(r);
    CGFloat x1 = std::floor(r.origin.x), y1 = std::floor(r.origin.y);
    CGFloat x2 = std::ceil(r.origin.x + r.size.width), y2 = std::ceil(r.origin.y + r.size.height);
    return CGRectMake(x1, y1, x2 - x1, y2 - y1);
}

void CGRectDivide(CGRect r, CGRect* slice, CGRect* remainder, CGFloat amount, CGRectEdge edge) {
    r = CGRectStandardize(r);
    CGRect s = r, rem = r;
    if (CGRectIsNull(r)) {
        s = rem = CGRectNull;
    } else {
        bool horizontal = edge == CGRectMinXEdge || edge == CGRectMaxXEdge;
        CGFloat extent = horizontal ? r.size.width : r.size.height;
        amount = std::clamp<CGFloat>(amount, 0, extent);
        if (horizontal) {
            s.size.width = amount;
            rem.size.width = extent - amount;
            if (edge == CGRectMinXEdge)
                rem.origin.x += amount;
            else
                s.origin.x = r.origin.x + extent - amount;
        } else {
            s.size.height = amount;
            rem.size.height = extent - amount;
            if (edge == CGRectMinYEdge)
                rem.origin.y += amount;
            else
                s.origin.y = r.origin.y + extent - amount;
        }
    }
    if (slice) *slice = s;
    if (remainder) *remainder = rem;
}

std::string NSStringFromPoint(CGPoint p) {
    return "{" + num(p.x) + ", " + num(p.y) + "}";
}
std::string NSStringFromSize(CGSize s) {
    return "{" + num(s.width) + ", " + num(s.height) + "}";
}
std::string NSStringFromRect(CGRect r) {
    return "{" + NSStringFromPoint(r.origin) + ", " + NSStringFromSize(r.size) + "}";
}

} // namespace cg
