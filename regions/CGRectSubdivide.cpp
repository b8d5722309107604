// Cutting the union of two rectangles into disjoint pieces. The rules are tried in a
// fixed order and the first that applies decides; the order matters where a rectangle
// pair fits several of them (edge-aligned pairs, which the half-open point rule leaves
// to the later comparisons).
#include "regions/CGRectList.h"

#include <array>

namespace regions {

using namespace cg;

namespace {

struct Box {
    double minX, minY, maxX, maxY, width, height;
};

Box boxOf(CGRect r) {
    return {CGRectGetMinX(r), CGRectGetMinY(r), CGRectGetMaxX(r),
            CGRectGetMaxY(r), r.size.width,     r.size.height};
}

bool in(CGRect r, double x, double y) { return CGRectContainsPoint(r, CGPointMake(x, y)); }

struct Pieces {
    std::array<CGRect, 3> rects{CGRectZero, CGRectZero, CGRectZero};
    int64_t count = 0;
};

Pieces pieces(int64_t count, CGRect p1, CGRect p2 = CGRectZero, CGRect p3 = CGRectZero) {
    return {{p1, p2, p3}, count};
}

// Rows where the outer rectangle holds two corners of the inner one: the outer stays
// whole and the part of the inner that sticks out is added.
bool twoCornersInside(CGRect outerRect, CGRect innerRect, Pieces& out) {
    const Box o = boxOf(outerRect), i = boxOf(innerRect);
    CGRect rest;
    if (in(outerRect, i.maxX, i.maxY) && in(outerRect, i.minX, i.maxY)) {
        rest = CGRectMake(i.minX, i.minY, i.width, o.minY - i.minY);
    } else if (in(outerRect, i.maxX, i.maxY) && in(outerRect, i.maxX, i.minY)) {
        rest = CGRectMake(i.minX, i.minY, o.minX - i.minX, i.height);
    } else if (in(outerRect, i.maxX, i.minY) && in(outerRect, i.minX, i.minY)) {
        rest = CGRectMake(i.minX, o.maxY, i.width, i.maxY - o.maxY);
    } else if (in(outerRect, i.minX, i.minY) && in(outerRect, i.minX, i.maxY)) {
        rest = CGRectMake(o.maxX, i.minY, i.maxX - o.maxX, i.height);
    } else {
        return false;
    }
    out = pieces(2, outerRect, rest);
    return true;
}

// One corner of either inside the other: three bands. Answers 0 when no corner lies inside.
int oneCornerCase(CGRect ra, CGRect rb) {
    const Box a = boxOf(ra), b = boxOf(rb);
    if (in(rb, a.minX, a.maxY) || in(ra, b.maxX, b.minY)) return 16;
    if (in(rb, a.minX, a.minY) || in(ra, b.maxX, b.maxY)) return 17;
    if (in(rb, a.maxX, a.minY) || in(ra, b.minX, b.maxY)) return 18;
    if (in(rb, a.maxX, a.maxY) || in(ra, b.minX, b.minY)) return 19;
    return 0;
}

Pieces horizontalBands(int rule, const Box& a, const Box& b) {
    switch (rule) {
    case 16:
        return pieces(3, CGRectMake(a.minX, a.minY, a.width, b.minY - a.minY),
                      CGRectMake(b.minX, b.minY, a.maxX - b.minX, a.maxY - b.minY),
                      CGRectMake(b.minX, a.maxY, b.width, b.maxY - a.maxY));
    case 17:
        return pieces(3, CGRectMake(b.minX, b.minY, b.width, a.minY - b.minY),
                      CGRectMake(b.minX, a.minY, a.maxX - b.minX, b.maxY - a.minY),
                      CGRectMake(a.minX, b.maxY, a.width, a.maxY - b.maxY));
    case 18:
        return pieces(3, CGRectMake(b.minX, b.minY, b.width, a.minY - b.minY),
                      CGRectMake(a.minX, a.minY, b.maxX - a.minX, b.maxY - a.minY),
                      CGRectMake(a.minX, b.maxY, a.width, a.maxY - b.maxY));
    default:
        return pieces(3, CGRectMake(a.minX, a.minY, a.width, b.minY - a.minY),
                      CGRectMake(a.minX, b.minY, b.maxX - a.minX, a.maxY - b.minY),
                      CGRectMake(b.minX, a.maxY, b.width, b.maxY - a.maxY));
    }
}

Pieces verticalBands(int rule, const Box& a, const Box& b) {
    switch (rule) {
    case 16:
        return pieces(3, CGRectMake(b.minX, b.minY, a.minX - b.minX, b.height),
                      CGRectMake(a.minX, a.minY, b.maxX - a.minX, b.maxY - a.minY),
                      CGRectMake(b.maxX, a.minY, a.maxX - b.maxX, a.height));
    case 17:
        return pieces(3, CGRectMake(b.minX, b.minY, a.minX - b.minX, b.height),
                      CGRectMake(a.minX, b.minY, b.maxX - a.minX, a.maxY - b.minY),
                      CGRectMake(b.maxX, a.minY, a.maxX - b.maxX, a.height));
    case 18:
        return pieces(3, CGRectMake(a.minX, a.minY, b.minX - a.minX, a.height),
                      CGRectMake(b.minX, b.minY, a.maxX - b.minX, a.maxY - b.minY),
                      CGRectMake(a.maxX, b.minY, b.maxX - a.maxX, b.height));
    default:
        return pieces(3, CGRectMake(a.minX, a.minY, b.minX - a.minX, a.height),
                      CGRectMake(b.minX, a.minY, a.maxX - b.minX, b.maxY - a.minY),
                      CGRectMake(a.maxX, b.minY, b.maxX - a.maxX, b.height));
    }
}

// Crossing rectangles and the edge-aligned pairs no corner rule caught.
Pieces crossing(CGRect ra, CGRect rb) {
    const Box a = boxOf(ra), b = boxOf(rb);
    if (a.minX < b.minX && a.maxX > b.maxX)
        return pieces(3, CGRectMake(b.minX, b.minY, b.width, a.minY - b.minY), ra,
                      CGRectMake(b.minX, a.maxY, b.width, b.maxY - a.maxY));
    if (a.minY < b.minY && a.maxY > b.maxY)
        return pieces(3, CGRectMake(a.minX, a.minY, a.width, b.minY - a.minY), rb,
                      CGRectMake(a.minX, b.maxY, a.width, a.maxY - b.maxY));
    if (b.minX < a.minX && b.maxX > a.maxX)
        return pieces(3, CGRectMake(b.minX, b.minY, a.minX - b.minX, b.height), ra,
                      CGRectMake(a.maxX, b.minY, b.maxX - a.maxX, b.height));
    if (b.minY < a.minY && b.maxY > a.maxY)
        return pieces(3, CGRectMake(b.minX, b.minY, b.width, a.minY - b.minY), ra,
                      CGRectMake(b.minX, a.maxY, b.width, b.maxY - a.maxY));
    if (b.minY < a.minY) return pieces(2, ra, CGRectMake(b.minX, b.minY, b.width, a.minY - b.minY));
    if (a.minY < b.minY) return pieces(2, rb, CGRectMake(a.minX, a.minY, a.width, b.minY - a.minY));
    return pieces(0, CGRectZero);
}

Pieces subdivide(int orientation, CGRect a, CGRect b) {
    if (!CGRectIntersectsRect(a, b)) return pieces(2, a, b);
    if (CGRectEqualToRect(a, b)) return pieces(1, a);
    const bool aEmpty = CGRectIsEmpty(a), bEmpty = CGRectIsEmpty(b);
    if (aEmpty && bEmpty) return pieces(-1, b);
    if (aEmpty) return pieces(1, b);
    if (bEmpty) return pieces(1, a);
    if (CGRectContainsRect(a, b)) return pieces(1, a);
    if (CGRectContainsRect(b, a)) return pieces(1, b);
    Pieces out;
    if (twoCornersInside(b, a, out) || twoCornersInside(a, b, out)) return out;
    if (int rule = oneCornerCase(a, b))
        return orientation ? horizontalBands(rule, boxOf(a), boxOf(b)) : verticalBands(rule, boxOf(a), boxOf(b));
    return crossing(a, b);
}

} // namespace

int64_t CGRectSubdivide(CGRect* p1, CGRect* p2, CGRect* p3, int orientation, CGRect a, CGRect b) {
    const Pieces out = subdivide(orientation, CGRectStandardize(a), CGRectStandardize(b));
    if (p1) *p1 = out.rects[0];
    if (p2) *p2 = out.rects[1];
    if (p3) *p3 = out.rects[2];
    return out.count;
}

} // namespace regions
