// A growable list of rectangles for one frame's damage. Adding keeps the list pairwise
// disjoint; the other operations merge pairs by a caller's rule, cut intersecting
// rectangles apart again and split large rectangles into strips. Order matters: the
// encoder sends rectangles in list order, and every cut appends its pieces at the end.
#pragma once

#include "platform/coregraphics/CGGeometry.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace regions {

using cg::CGPoint;
using cg::CGRect;

struct CGRectList {
    uint64_t count = 0;         // slots in use
    uint64_t capacity = 0;      // slots allocated
    std::vector<CGRect> rects;  // always `capacity` slots; the first `count` hold the list
};

using CGRectListRef = std::unique_ptr<CGRectList>;

// Answers whether the pair (i, a) and (j, b), both standardized, is to become their union.
using CGRectListMergePredicate = std::function<bool(uint64_t i, uint64_t j, CGRect a, CGRect b)>;

CGRectListRef CGRectListCreate(uint64_t capacity);
// With disjoint, each rectangle goes through CGRectListAdd; otherwise they are copied as
// they are. The buffer is then shrunk to the rectangles kept.
CGRectListRef CGRectListCreateWithRects(const CGRect* rects, uint64_t n, bool disjoint);
CGRectListRef CGRectListCopy(const CGRectList& list);
void CGRectListDestroy(CGRectListRef list);

// Adds r so that the list stays disjoint and covers what it covered and r, wherever double
// arithmetic can cut the rectangles apart. A pair it cannot cut (the cut hands both back
// whole) stays whole and overlapping; the work of one add is bounded by the list's length,
// never by the values.
void CGRectListAdd(CGRectList& list, CGRect r);
void CGRectListInsert(CGRectList& list, uint64_t index, CGRect r);
void CGRectListAppend(CGRectList& list, CGRect r);
void CGRectListDelete(CGRectList& list, uint64_t index);
void CGRectListClear(CGRectList& list);

uint64_t CGRectListGetLength(const CGRectList& list);
CGRect CGRectListGetRect(const CGRectList& list, uint64_t index);
double CGRectListArea(const CGRectList& list);
double CGRectListCalculateOverlaps(const CGRectList& list);

// Cuts the union of a and b into at most three disjoint pieces; answers the piece count
// (-1 stands for one piece when both are empty). Non-zero orientation cuts horizontal
// bands, zero vertical ones.
int64_t CGRectSubdivide(CGRect* p1, CGRect* p2, CGRect* p3, int orientation, CGRect a, CGRect b);

void CGRectListSubdivide(CGRectList& list);
bool CGRectListSimplify(CGRectList& list, const CGRectListMergePredicate& predicate);
void CGRectListDecimate(CGRectList& list, uint64_t strips, double maximumArea);

// Called for every cut that adding makes, with the piece being added and the stored
// rectangle it meets; tests bound the work of an add with it. None by default.
using CGRectListCutObserver = void (*)(CGRect piece, CGRect stored);
void CGRectListSetCutObserver(CGRectListCutObserver observer);

CGPoint CGRectGetCorner(uint64_t corner, CGRect r);
std::string NSStringFromCGRectList(const CGRectList& list);

} // namespace regions
