#include "regions/CGRectList.h"

#include "platform/core/Log.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

using namespace regions;
using namespace cg;

namespace {

CGRectListRef listOf(std::initializer_list<CGRect> rects) {
    auto list = CGRectListCreate(0);
    for (const CGRect& r : rects) CGRectListAppend(*list, r);
    return list;
}

// Compares stored values exactly (no standardizing), so a sign flip would show.
void expectRects(const CGRectList& list, std::initializer_list<CGRect> expected) {
    ASSERT_EQ(list.count, expected.size()) << NSStringFromCGRectList(list);
    uint64_t i = 0;
    for (const CGRect& e : expected) {
        const CGRect r = CGRectListGetRect(list, i++);
        EXPECT_TRUE(r.origin.x == e.origin.x && r.origin.y == e.origin.y && r.size.width == e.size.width &&
                    r.size.height == e.size.height)
            << "slot " << i - 1 << ": " << NSStringFromRect(r) << " expected " << NSStringFromRect(e);
    }
}

} // namespace

TEST(CGRectListStorage, InsertGrowsByOneSlotAndDeleteAndClearKeepTheBuffer) {
    auto list = CGRectListCreate(2);
    EXPECT_EQ(list->count, 0u);
    EXPECT_EQ(list->capacity, 2u);
    CGRectListAppend(*list, CGRectMake(1, 0, 1, 1));
    CGRectListAppend(*list, CGRectMake(3, 0, 1, 1));
    CGRectListInsert(*list, 1, CGRectMake(2, 0, 1, 1));
    EXPECT_EQ(list->capacity, 3u);
    CGRectListInsert(*list, 0, CGRectMake(0, 0, 1, 1));
    EXPECT_EQ(list->capacity, 4u);
    expectRects(*list, {CGRectMake(0, 0, 1, 1), CGRectMake(1, 0, 1, 1), CGRectMake(2, 0, 1, 1), CGRectMake(3, 0, 1, 1)});
    CGRectListDelete(*list, 1);
    expectRects(*list, {CGRectMake(0, 0, 1, 1), CGRectMake(2, 0, 1, 1), CGRectMake(3, 0, 1, 1)});
    EXPECT_EQ(list->capacity, 4u);
    CGRectListClear(*list);
    EXPECT_EQ(CGRectListGetLength(*list), 0u);
    EXPECT_EQ(list->capacity, 4u);
}

TEST(CGRectListStorage, OutOfRangeIndexesAreRefusedWithoutTouchingTheList) {
    platform::LogCapture capture(true);
    auto list = listOf({CGRectMake(0, 0, 1, 1)});
    CGRectListInsert(*list, 5, CGRectMake(9, 9, 1, 1));
    CGRectListDelete(*list, 1);
    expectRects(*list, {CGRectMake(0, 0, 1, 1)});
    EXPECT_TRUE(CGRectIsNull(CGRectListGetRect(*list, 1)));
    EXPECT_EQ(capture.count("refused"), 2u);
}

TEST(CGRectListStorage, CreateWithRectsCopyAndDestroy) {
    auto empty = CGRectListCreateWithRects(nullptr, 0, true);
    EXPECT_EQ(empty->count, 0u);
    EXPECT_EQ(empty->capacity, 0u);

    const CGRect rects[] = {CGRectMake(0, 0, 10, 10), CGRectMake(5, 5, 10, 10), CGRectMake(2, 2, 2, 2)};
    auto plain = CGRectListCreateWithRects(rects, 3, false);
    expectRects(*plain, {rects[0], rects[1], rects[2]});
    auto disjoint = CGRectListCreateWithRects(rects, 3, true);
    EXPECT_EQ(disjoint->capacity, disjoint->count);
    EXPECT_EQ(CGRectListCalculateOverlaps(*disjoint), 0.0);

    CGRectListAppend(*plain, CGRectMake(50, 50, 1, 1));
    auto copy = CGRectListCopy(*plain);
    EXPECT_EQ(copy->count, 4u);
    EXPECT_EQ(copy->capacity, 4u);
    CGRectListDelete(*plain, 0);
    EXPECT_EQ(copy->count, 4u); // independent of its source
    CGRectListDestroy(std::move(copy));
}

TEST(CGRectListMeasures, AreaOverlapsCornersAndText) {
    auto list = listOf({CGRectMake(0, 0, 10, 10), CGRectMake(5, 5, 10, 10), CGRectMake(8, 0, -4, 2)});
    EXPECT_EQ(CGRectListArea(*list), 100.0 + 100.0 - 8.0); // stored values, sign included
    // (0,0,10,10)x(5,5,10,10) = 25; (0,0,10,10)x(4,0,4,2) = 8; the last two do not meet.
    EXPECT_EQ(CGRectListCalculateOverlaps(*list), 33.0);
    EXPECT_EQ(CGRectListArea(*CGRectListCreate(3)), 0.0);
    EXPECT_EQ(CGRectListCalculateOverlaps(*listOf({CGRectMake(0, 0, 5, 5)})), 0.0);

    const CGRect r = CGRectMake(1, 2, 3, 4);
    EXPECT_TRUE(CGPointEqualToPoint(CGRectGetCorner(0, r), CGPointMake(1, 6)));
    EXPECT_TRUE(CGPointEqualToPoint(CGRectGetCorner(1, r), CGPointMake(4, 6)));
    EXPECT_TRUE(CGPointEqualToPoint(CGRectGetCorner(2, r), CGPointMake(1, 2)));
    EXPECT_TRUE(CGPointEqualToPoint(CGRectGetCorner(3, r), CGPointMake(4, 2)));
    EXPECT_TRUE(CGPointEqualToPoint(CGRectGetCorner(4, r), CGPointZero));

    EXPECT_EQ(NSStringFromCGRectList(*listOf({CGRectMake(0, 0, 10, 10), CGRectMake(1, 2, 3, 4)})),
              "{\n\n\t{{0, 0}, {10, 10}}\n\t{{1, 2}, {3, 4}}\n}");
    EXPECT_EQ(NSStringFromCGRectList(*CGRectListCreate(0)), "{\n\n}");
}

// An empty rectangle inside a stored one meets it (each minimum lies below the other's
// maximum): it is dropped and the stored one moves to the end. On an edge it meets nothing.
TEST(CGRectListAdd, AnEmptyRectangleInsideAStoredOneMeetsIt) {
    auto list = listOf({CGRectMake(0, 0, 10, 10), CGRectMake(30, 0, 10, 10)});
    CGRectListAdd(*list, CGRectMake(5, 5, 0, 3));
    expectRects(*list, {CGRectMake(30, 0, 10, 10), CGRectMake(0, 0, 10, 10)});
    CGRectListAdd(*list, CGRectMake(10, 2, 0, 3));
    expectRects(*list, {CGRectMake(30, 0, 10, 10), CGRectMake(0, 0, 10, 10), CGRectMake(10, 2, 0, 3)});
}

TEST(CGRectListAdd, RectanglesThatMeetNothingAreAppendedAsGiven) {
    auto list = CGRectListCreate(0);
    CGRectListAdd(*list, CGRectMake(10, 10, -5, -5)); // a negative size stays negative
    CGRectListAdd(*list, CGRectMake(10, 0, 5, 5));     // shares an edge
    CGRectListAdd(*list, CGRectMake(10, 10, 5, 5));    // shares a corner
    expectRects(*list, {CGRectMake(10, 10, -5, -5), CGRectMake(10, 0, 5, 5), CGRectMake(10, 10, 5, 5)});
}

TEST(CGRectListAdd, EqualInsideAndCoveringRectangles) {
    auto list = listOf({CGRectMake(0, 0, 10, 10), CGRectMake(20, 0, 10, 10)});
    CGRectListAdd(*list, CGRectMake(0, 0, 10, 10)); // equal: one copy, moved to the end
    expectRects(*list, {CGRectMake(20, 0, 10, 10), CGRectMake(0, 0, 10, 10)});
    CGRectListAdd(*list, CGRectMake(22, 2, 3, 3)); // inside: dropped, the old one moves to the end
    expectRects(*list, {CGRectMake(0, 0, 10, 10), CGRectMake(20, 0, 10, 10)});
    CGRectListAdd(*list, CGRectMake(-1, -1, 12, 12)); // covering: the old one goes
    expectRects(*list, {CGRectMake(20, 0, 10, 10), CGRectMake(-1, -1, 12, 12)});
}

TEST(CGRectListAdd, KeepsTheOrderOfRectanglesThatTakeNoPart) {
    auto list = listOf({CGRectMake(0, 0, 10, 10), CGRectMake(30, 0, 10, 10)});
    CGRectListAdd(*list, CGRectMake(10, 0, 10, 10));
    expectRects(*list, {CGRectMake(0, 0, 10, 10), CGRectMake(30, 0, 10, 10), CGRectMake(10, 0, 10, 10)});
}

TEST(CGRectListAdd, CutsOverlapsIntoHorizontalBands) {
    auto corner = listOf({CGRectMake(0, 0, 10, 10)});
    CGRectListAdd(*corner, CGRectMake(5, 5, 10, 10));
    expectRects(*corner, {CGRectMake(0, 0, 10, 5), CGRectMake(0, 5, 15, 5), CGRectMake(5, 10, 10, 5)});

    // The corners on the maximum x edge lie in neither rectangle: three bands again.
    auto aligned = listOf({CGRectMake(0, 0, 10, 10)});
    CGRectListAdd(*aligned, CGRectMake(0, 5, 10, 10));
    expectRects(*aligned, {CGRectMake(0, 0, 10, 5), CGRectMake(0, 5, 10, 5), CGRectMake(0, 10, 10, 5)});

    // Two corners inside: the old rectangle stays whole and the part sticking out is added.
    auto sticking = listOf({CGRectMake(0, 0, 10, 10)});
    CGRectListAdd(*sticking, CGRectMake(2, 5, 6, 10));
    expectRects(*sticking, {CGRectMake(0, 0, 10, 10), CGRectMake(2, 10, 6, 5)});
}

TEST(CGRectListAdd, PiecesAreCutAgainstTheRestOfTheList) {
    auto list = listOf({CGRectMake(0, 0, 10, 10), CGRectMake(20, 0, 10, 10)});
    CGRectListAdd(*list, CGRectMake(5, 2, 20, 4)); // bridges both
    EXPECT_EQ(CGRectListCalculateOverlaps(*list), 0.0);
    EXPECT_EQ(CGRectListArea(*list), 100.0 + 100.0 + 10 * 4);
}

// Damage rectangles come from outside the process; a rectangle without a finite extent (NaN,
// or infinities that cancel) meets nothing and is stored as given, rather than being cut
// against its neighbours for ever.
TEST(CGRectListAdd, RectanglesWithoutAFiniteExtentMeetNothing) {
    const double inf = std::numeric_limits<double>::infinity();
    const CGRect noExtent[] = {CGRectMake(std::nan(""), 0, 10, 10), CGRectMake(0, 0, std::nan(""), 10),
                               CGRectMake(-inf, 0, inf, 10)};
    for (const CGRect& odd : noExtent) {
        auto list = listOf({CGRectMake(0, 0, 10, 10)});
        CGRectListAdd(*list, odd);
        ASSERT_EQ(list->count, 2u) << NSStringFromRect(odd);
        EXPECT_TRUE(CGRectEqualToRect(CGRectListGetRect(*list, 0), CGRectMake(0, 0, 10, 10)));
        CGRectListAdd(*list, CGRectMake(5, 5, 10, 10)); // stored after it, still cut normally
        auto finiteArea = [&list] {
            double area = 0;
            for (uint64_t i = 0; i < list->count; ++i) {
                const CGRect r = CGRectListGetRect(*list, i);
                const double edges = r.origin.x + r.origin.y + r.size.width + r.size.height;
                if (std::isfinite(edges)) area += r.size.width * r.size.height;
            }
            return area;
        };
        EXPECT_EQ(finiteArea(), 175.0) << NSStringFromCGRectList(*list);
        CGRectListSubdivide(*list);
        EXPECT_EQ(finiteArea(), 175.0) << NSStringFromCGRectList(*list);
    }
}

TEST(CGRectListSubdivide, MakesAPlainListDisjoint) {
    auto list = listOf({CGRectMake(0, 0, 10, 10), CGRectMake(50, 50, 5, 5), CGRectMake(5, 5, 10, 10)});
    CGRectListSubdivide(*list);
    EXPECT_EQ(CGRectListCalculateOverlaps(*list), 0.0);
    EXPECT_EQ(CGRectListArea(*list), 100.0 + 25 + 100 - 25);
    // The rectangle that met nothing keeps its place ahead of the cut ones.
    EXPECT_TRUE(CGRectEqualToRect(CGRectListGetRect(*list, 0), CGRectMake(50, 50, 5, 5)));

    auto single = listOf({CGRectMake(0, 0, -3, -3)});
    CGRectListSubdivide(*single);
    expectRects(*single, {CGRectMake(0, 0, -3, -3)});
}

TEST(CGRectListSimplify, MergesAcceptedPairsUntilAPassMergesNothing) {
    auto one = listOf({CGRectMake(0, 0, 1, 1)});
    EXPECT_FALSE(CGRectListSimplify(*one, [](uint64_t, uint64_t, CGRect, CGRect) { return true; }));

    auto all = listOf({CGRectMake(0, 0, 1, 1), CGRectMake(5, 0, 1, 1), CGRectMake(0, 5, -1, -1)});
    EXPECT_TRUE(CGRectListSimplify(*all, [](uint64_t, uint64_t, CGRect, CGRect) { return true; }));
    expectRects(*all, {CGRectMake(-1, 0, 7, 5)});

    auto none = listOf({CGRectMake(0, 0, 1, 1), CGRectMake(5, 0, 1, 1)});
    EXPECT_FALSE(CGRectListSimplify(*none, [](uint64_t, uint64_t, CGRect, CGRect) { return false; }));
    EXPECT_EQ(none->count, 2u);
}

TEST(CGRectListSimplify, AfterAMergeThePassGoesOnFromSlotOneWithStandardizedRectangles) {
    auto list = listOf({CGRectMake(0, 0, 1, 1), CGRectMake(2, 0, 1, 1), CGRectMake(4, 0, 1, 1),
                        CGRectMake(7, 1, -1, -1)});
    std::vector<std::pair<uint64_t, uint64_t>> asked;
    bool mergedOnce = false;
    CGRectListSimplify(*list, [&](uint64_t i, uint64_t j, CGRect a, CGRect b) {
        EXPECT_GE(a.size.width, 0);
        EXPECT_GE(b.size.width, 0);
        asked.emplace_back(i, j);
        if (mergedOnce) return false;
        mergedOnce = true;
        return true;
    });
    const std::vector<std::pair<uint64_t, uint64_t>> expected{{0, 1}, {1, 2}, {0, 1}, {0, 2}, {1, 2}};
    EXPECT_EQ(asked, expected);
    expectRects(*list, {CGRectMake(0, 0, 3, 1), CGRectMake(4, 0, 1, 1), CGRectMake(7, 1, -1, -1)});
}

TEST(CGRectListDecimate, CutsOnlyRectanglesAboveTheMaximumIntoStrips) {
    auto list = listOf({CGRectMake(0, 0, 800, 600)});
    CGRectListDecimate(*list, 4, 131072);
    expectRects(*list, {CGRectMake(0, 0, 800, 150), CGRectMake(0, 150, 800, 150), CGRectMake(0, 300, 800, 150),
                        CGRectMake(0, 450, 800, 150)});

    auto mixed = listOf({CGRectMake(0, 0, 400, 400), CGRectMake(0, 500, 400, 300), CGRectMake(500, 0, 400, 400)});
    CGRectListDecimate(*mixed, 4, 131072);
    expectRects(*mixed, {CGRectMake(0, 500, 400, 300), CGRectMake(0, 0, 400, 100), CGRectMake(0, 100, 400, 100),
                         CGRectMake(0, 200, 400, 100), CGRectMake(0, 300, 400, 100), CGRectMake(500, 0, 400, 100),
                         CGRectMake(500, 100, 400, 100), CGRectMake(500, 200, 400, 100),
                         CGRectMake(500, 300, 400, 100)});
}

TEST(CGRectListDecimate, TheLastStripTakesTheRemainderAndStripsAreNotExaminedAgain) {
    auto list = listOf({CGRectMake(0, 10, 100, 10)});
    CGRectListDecimate(*list, 3, 10); // strips of 3.33... are still above the maximum
    ASSERT_EQ(list->count, 3u);
    EXPECT_EQ(CGRectListGetRect(*list, 0).origin.y, 10.0);
    EXPECT_NEAR(CGRectGetMaxY(CGRectListGetRect(*list, 2)), 20.0, 1e-5);
    EXPECT_NEAR(CGRectListArea(*list), 1000.0, 1e-3);
}

TEST(CGRectListDecimate, RectanglesStoredWithNegativeSizesAreCutNotLost) {
    auto list = listOf({CGRectMake(800, 600, -800, -600)});
    CGRectListDecimate(*list, 4, 131072);
    expectRects(*list, {CGRectMake(0, 0, 800, 150), CGRectMake(0, 150, 800, 150), CGRectMake(0, 300, 800, 150),
                        CGRectMake(0, 450, 800, 150)});
}

TEST(CGRectListDecimate, RefusesZeroStripsAndEndsFarFromTheOrigin) {
    platform::LogCapture capture(true);
    auto list = listOf({CGRectMake(0, 0, 800, 600)});
    CGRectListDecimate(*list, 0, 10);
    expectRects(*list, {CGRectMake(0, 0, 800, 600)});
    EXPECT_TRUE(capture.contains("strip count of 0 refused"));

    // Single precision cannot step by 25 at 1e9: the cut must still end and cover the rest.
    auto far = listOf({CGRectMake(0, 1e9, 10, 100)});
    CGRectListDecimate(*far, 4, 10);
    ASSERT_GE(far->count, 1u);
    ASSERT_LE(far->count, 8u);
    double bottom = 0;
    for (uint64_t i = 0; i < far->count; ++i) bottom = std::max(bottom, CGRectGetMaxY(far->rects[i]));
    EXPECT_GE(bottom, 1e9 + 100 - 0.25);
}
