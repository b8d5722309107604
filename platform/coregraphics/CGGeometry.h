// Core Graphics geometry in doubles. Rectangles are standardized before any operation,
// point containment is half-open, and rectangles that only touch do not intersect.
#pragma once

#include <string>

namespace cg {

using CGFloat = double;

struct CGPoint {
    CGFloat x = 0;
    CGFloat y = 0;
};
struct CGSize {
    CGFloat width = 0;
    CGFloat height = 0;
};
struct CGRect {
    CGPoint origin;
    CGSize size;
};
struct CGVector {
    CGFloat dx = 0;
    CGFloat dy = 0;
};

enum CGRectEdge { CGRectMinXEdge, CGRectMinYEdge, CGRectMaxXEdge, CGRectMaxYEdge };

extern const CGPoint CGPointZero;
extern const CGSize CGSizeZero;
extern const CGRect CGRectZero;
extern const CGRect CGRectNull;     // origin at +infinity: the empty set
extern const CGRect CGRectInfinite; // the whole plane

inline CGPoint CGPointMake(CGFloat x, CGFloat y) {
    return {x, y};
}
inline CGSize CGSizeMake(CGFloat w, CGFloat h) {
    return {w, h};
}
inline CGRect CGRectMake(CGFloat x, CGFloat y, CGFloat w, CGFloat h) {
    return {{x, y}, {w, h}};
}

CGRect CGRectStandardize(CGRect r);
CGFloat CGRectGetMinX(CGRect r);
CGFloat CGRectGetMidX(CGRect r);
CGFloat CGRectGetMaxX(CGRect r);
CGFloat CGRectGetMinY(CGRect r);
CGFloat CGRectGetMidY(CGRect r);
CGFloat CGRectGetMaxY(CGRect r);
CGFloat CGRectGetWidth(CGRect r);
CGFloat CGRectGetHeight(CGRect r);

bool CGRectIsNull(CGRect r);
bool CGRectIsEmpty(CGRect r); // null, or zero width or height
bool CGRectIsInfinite(CGRect r);
bool CGPointEqualToPoint(CGPoint a, CGPoint b);
bool CGSizeEqualToSize(CGSize a, CGSize b);
bool CGRectEqualToRect(CGRect a, CGRect b); // compares standardized rectangles; all nulls are equal

bool CGRectContainsPoint(CGRect r, CGPoint p); // half-open: min <= p < max
bool CGRectContainsRect(CGRect outer, CGRect inner);
bool CGRectIntersectsRect(CGRect a, CGRect b);
CGRect CGRectIntersection(CGRect a, CGRect b); // CGRectNull when they do not intersect
CGRect CGRectUnion(CGRect a, CGRect b);        // null is the identity
CGRect CGRectOffset(CGRect r, CGFloat dx, CGFloat dy);
CGRect CGRectInset(CGRect r, CGFloat dx, CGFloat dy); // null when the inset rectangle would be negative
CGRect CGRectIntegral(CGRect r);
void CGRectDivide(CGRect r, CGRect* slice, CGRect* remainder, CGFloat amount, CGRectEdge edge);

// Texts in the "{{x, y}, {w, h}}" form of NSStringFromRect.
std::string NSStringFromPoint(CGPoint p);
std::string NSStringFromSize(CGSize s);
std::string NSStringFromRect(CGRect r);

} // namespace cg

// AppKit's names for the same types.
namespace ns {
using NSPoint = cg::CGPoint;
using NSSize = cg::CGSize;
using NSRect = cg::CGRect;
} // namespace ns
