// The list operations that cut, merge and split: adding with disjointness kept, making a
// list disjoint again, merging by a caller's rule and cutting large rectangles into strips.
#include "regions/CGRectList.h"

#include "platform/core/Log.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <optional>

namespace regions {

using namespace cg;

namespace {

constexpr int kHorizontalBands = 1;
// A strip remainder this small (in pixels) is not worth a rectangle of its own.
constexpr double kStripRemainderTolerance = 0.25;

struct Extent {
    double minX, minY, maxX, maxY;
};

// Standardized edges, as CGRectStandardize gives them.
Extent extentOf(const CGRect& r) {
    const double x = r.size.width < 0 ? r.origin.x + r.size.width : r.origin.x;
    const double y = r.size.height < 0 ? r.origin.y + r.size.height : r.origin.y;
    return {x, y, x + std::fabs(r.size.width), y + std::fabs(r.size.height)};
}

// Whether two rectangles intersect, without calls: adding scans the list once for every piece
// it adds back, and this test is nearly all of that scan's time. Each one's minimum lies
// strictly below the other's maximum on both axes, so rectangles sharing only an edge or a
// corner do not meet, while an empty rectangle inside another does (adding then drops it).
bool meets(const Extent& a, const CGRect& stored) {
    if (std::isinf(stored.origin.x) && stored.origin.x > 0) return false; // the null rectangle
    const Extent b = extentOf(stored);
    // Written so that a NaN edge answers "no": a rectangle without a finite extent would
    // otherwise meet everything, and adding would cut it against its neighbours for ever.
    return a.minX < b.maxX && b.minX < a.maxX && a.minY < b.maxY && b.minY < a.maxY;
}

bool findFirstIntersecting(const CGRectList& list, CGRect r, uint64_t from, uint64_t& index) {
    if (CGRectIsNull(r)) return false;
    const Extent extent = extentOf(r);
    for (uint64_t i = from; i < list.count; ++i) {
        if (meets(extent, list.rects[i])) {
            index = i;
            return true;
        }
    }
    return false;
}

std::atomic<CGRectListCutObserver> cutObserver{nullptr};

// A piece still to be added, and the first slot its scan looks at: slots before it hold
// rectangles this piece was found not to be cuttable against.
struct Pending {
    CGRect rect;
    uint64_t from;
};

// The cuts one add may make. Exact arithmetic needs far fewer; the bound only stops
// rounding from cutting the same pieces again and again, and depends on nothing but the
// list's length.
uint64_t cutBudget(uint64_t count) {
    return 64 + 8 * (count + 1) * (count + 1);
}

// A cut makes no progress when it hands back both rectangles whole (an edge computed as
// origin + size lands a sliver away from where the cut put it, or a huge size swallows an
// origin), or hands back nothing for two rectangles that meet. Cutting them again would
// give the same pieces for ever.
bool madeNoProgress(int64_t k, const CGRect (&p)[3], CGRect r, CGRect e) {
    if (k == 0) return true;
    bool sawR = false, sawE = false;
    for (int64_t i = 0; i < (k < 0 ? 1 : k); ++i) {
        if (!sawR && CGRectEqualToRect(p[i], r))
            sawR = true;
        else if (!sawE && CGRectEqualToRect(p[i], e))
            sawE = true;
    }
    return sawR && sawE;
}

enum class Step { Appended, Cut, Passed };

// One step of adding: cuts the piece against the first stored rectangle it meets and
// leaves the pieces that still have to be added on `pending` (the next piece on top).
// Before the list's first change it keeps a copy of the list in `before`.
Step addOne(CGRectList& list, Pending next, std::vector<Pending>& pending,
            std::optional<std::vector<CGRect>>& before) {
    uint64_t hit = 0;
    if (!findFirstIntersecting(list, next.rect, next.from, hit)) {
        CGRectListAppend(list, next.rect);
        return Step::Appended;
    }
    const CGRect r = next.rect;
    const CGRect e = list.rects[hit];
    CGRect p[3];
    const int64_t k = CGRectSubdivide(&p[0], &p[1], &p[2], kHorizontalBands, r, e);
    if (auto observer = cutObserver.load()) observer(r, e);
    if (madeNoProgress(k, p, r, e)) {
        // The pair cannot be cut apart in this arithmetic: both stay whole, and the piece
        // goes on against the rectangles after this one.
        pending.push_back({r, hit + 1});
        return Step::Passed;
    }
    if (!before)
        before.emplace(list.rects.begin(), list.rects.begin() + static_cast<std::ptrdiff_t>(list.count));
    CGRectListDelete(list, hit);
    for (int64_t i = (k < 0 ? 1 : k) - 1; i >= 0; --i) {
        if (!CGRectIsEmpty(p[i])) pending.push_back({p[i], 0});
    }
    return Step::Cut;
}

float toFloat(double v) {
    return static_cast<float>(v);
}

// Appends horizontal strips of r (standardized) of height `step`, the last taking the rest.
void appendStrips(CGRectList& list, CGRect r, double strips) {
    const double step = r.size.height / strips;
    const double bottom = CGRectGetMaxY(r);
    if (!(step > 0)) return;
    double y = toFloat(r.origin.y);
    double height = step;
    for (;;) {
        CGRectListAppend(list, CGRectMake(r.origin.x, y, r.size.width, height));
        const double nextY = toFloat(y + height);
        if (!(nextY > y)) {
            // Single precision cannot step this far from the origin: one strip takes the
            // rest rather than repeating the same strip for ever.
            if (bottom - y > height)
                CGRectListAppend(list, CGRectMake(r.origin.x, y, r.size.width, bottom - y));
            return;
        }
        const double nextHeight = bottom - nextY > height ? step : bottom - nextY;
        if (!(nextHeight > 0) || std::fabs(bottom - nextY) <= kStripRemainderTolerance) return;
        y = nextY;
        height = nextHeight;
    }
}

} // namespace

void CGRectListAdd(CGRectList& list, CGRect r) {
    // Each piece is added as if by a fresh call, depth first, in piece order; a stack of
    // pending pieces does that without a call per piece.
    std::vector<Pending> pending{{r, 0}};
    std::optional<std::vector<CGRect>> before;
    const uint64_t budget = cutBudget(list.count);
    uint64_t cuts = 0;
    while (!pending.empty()) {
        const Pending next = pending.back();
        pending.pop_back();
        if (addOne(list, next, pending, before) != Step::Cut || ++cuts <= budget) continue;
        // Rounding keeps producing pieces that meet again: the list goes back to what it
        // was and the rectangle is kept whole, so nothing it covered is lost.
        platform::log("CGRectListAdd: %s kept whole after %llu cuts made no progress", NSStringFromRect(r),
                      cuts);
        std::copy(before->begin(), before->end(), list.rects.begin());
        list.count = before->size();
        CGRectListAppend(list, r);
        return;
    }
}

void CGRectListSetCutObserver(CGRectListCutObserver observer) {
    cutObserver.store(observer);
}

void CGRectListSubdivide(CGRectList& list) {
    if (list.count < 2) return;
    // Each re-add may append pieces that later slots meet again. With exact arithmetic the
    // sweep ends on its own; the bound keeps rounding from stretching it without end, and
    // leaves the rest of the list as it is, covered though perhaps overlapping.
    const uint64_t budget = cutBudget(list.count);
    uint64_t readds = 0;
    for (uint64_t i = 0; i + 1 < list.count; ++i) {
        for (uint64_t j = i + 1; j < list.count; ++j) {
            const CGRect a = CGRectStandardize(list.rects[i]);
            const CGRect b = CGRectStandardize(list.rects[j]);
            if (CGRectIsNull(a) || !meets(extentOf(a), b)) continue;
            if (++readds > budget) {
                platform::log("CGRectListSubdivide: stopped after %llu re-adds made no progress", budget);
                return;
            }
            CGRectListDelete(list, i);
            CGRectListAdd(list, a);
        }
    }
}

bool CGRectListSimplify(CGRectList& list, const CGRectListMergePredicate& predicate) {
    if (list.count < 2 || !predicate) return false;
    bool mergedAny = false;
    bool merged = true;
    while (merged) {
        merged = false;
        for (uint64_t i = 0; i + 1 < list.count; ++i) {
            for (uint64_t j = i + 1; j < list.count; ++j) {
                const CGRect a = CGRectStandardize(list.rects[i]);
                const CGRect b = CGRectStandardize(list.rects[j]);
                if (!predicate(i, j, a, b)) continue;
                CGRectListDelete(list, j);
                list.rects[i] = CGRectUnion(a, b);
                merged = true;
                i = 0; // the pass goes on from slot 1
                break;
            }
        }
        mergedAny = mergedAny || merged;
    }
    return mergedAny;
}

void CGRectListDecimate(CGRectList& list, uint64_t strips, double maximumArea) {
    if (list.count == 0) return;
    if (strips == 0) {
        platform::log("CGRectListDecimate: a strip count of 0 refused");
        return;
    }
    uint64_t limit = list.count;
    uint64_t i = 0;
    while (i < limit) {
        const CGRect r = list.rects[i];
        if (!(r.size.width * r.size.height > maximumArea)) {
            ++i;
            continue;
        }
        CGRectListDelete(list, i);
        // Standardized, so that a rectangle stored with a negative size is cut, not lost.
        appendStrips(list, CGRectStandardize(r), static_cast<double>(strips));
        --limit;
    }
}

} // namespace regions
