// Random rectangle sequences against a pixel-grid oracle. Coordinates are whole or half
// pixels on a small grid, so edges line up often (the hard cases of cutting) and every
// piece stays on the grid, where sampling cell centres measures coverage exactly.
#include "regions/CGRectList.h"
#include "regions/tests/CoverageGrid.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace regions;
using namespace cg;

namespace {

constexpr int kGrid = 24;          // cells per side of the oracle
constexpr double kHalfPixel = 0.5; // most trials put rectangles on half pixels

using Grid = regions::testing::CoverageGrid<kGrid>;

class RandomRects {
public:
    explicit RandomRects(uint32_t seed, double cell = kHalfPixel) : m_cell(cell), m_random(seed) {}
    CGRect next() {
        const double x = cell(kGrid - 1), y = cell(kGrid - 1);
        double w = 1 + cell(kGrid / 2 - 1), h = 1 + cell(kGrid / 2 - 1);
        w = std::min<double>(w, kGrid - x), h = std::min<double>(h, kGrid - y);
        CGRect r = CGRectMake(x * m_cell, y * m_cell, w * m_cell, h * m_cell);
        // Now and then stored with negative sizes, which every operation must standardize.
        if (std::uniform_int_distribution<int>(0, 9)(m_random) == 0) r = CGRectMake(r.origin.x + r.size.width,
                                                    r.origin.y + r.size.height, -r.size.width, -r.size.height);
        return r;
    }
    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(m_random); }

private:
    double cell(int max) { return std::uniform_int_distribution<int>(0, max)(m_random); }
    double m_cell;
    std::mt19937 m_random;
};

bool pairwiseDisjoint(const CGRectList& list, std::string& clash) {
    for (uint64_t i = 0; i < list.count; ++i)
        for (uint64_t j = i + 1; j < list.count; ++j)
            if (CGRectIntersectsRect(list.rects[i], list.rects[j])) {
                clash = NSStringFromRect(list.rects[i]) + " and " + NSStringFromRect(list.rects[j]);
                return false;
            }
    return true;
}

CGRectListRef randomPlainList(RandomRects& random, int n, Grid& painted) {
    auto list = CGRectListCreate(0);
    for (int i = 0; i < n; ++i) {
        const CGRect r = random.next();
        CGRectListAppend(*list, r);
        painted.paint(r);
    }
    return list;
}

} // namespace

TEST(CGRectListProperties, AddKeepsTheListDisjointAndCoversExactlyTheUnion) {
    for (uint32_t trial = 0; trial < 3000; ++trial) {
        RandomRects random(trial);
        auto list = CGRectListCreate(0);
        Grid expected;
        const int n = 1 + random.below(14);
        for (int i = 0; i < n; ++i) {
            const CGRect r = random.next();
            CGRectListAdd(*list, r);
            expected.paint(r);
            std::string clash;
            ASSERT_TRUE(pairwiseDisjoint(*list, clash)) << "seed " << trial << ": " << clash;
            ASSERT_TRUE(Grid::of(*list) == expected) << "seed " << trial << " after " << i + 1 << " adds";
        }
        // Disjoint pieces: their areas add up to the area of the union.
        ASSERT_DOUBLE_EQ(CGRectListArea(*list), expected.area()) << "seed " << trial;
        ASSERT_EQ(CGRectListCalculateOverlaps(*list), 0.0) << "seed " << trial;
    }
}

TEST(CGRectListProperties, SubdivideNeverLosesCoverage) {
    int stillOverlapping = 0;
    for (uint32_t trial = 0; trial < 3000; ++trial) {
        RandomRects random(100000 + trial);
        Grid expected;
        auto list = randomPlainList(random, 2 + random.below(12), expected);
        CGRectListSubdivide(*list);
        ASSERT_TRUE(Grid::of(*list) == expected) << "seed " << trial;
        std::string clash;
        if (!pairwiseDisjoint(*list, clash)) ++stillOverlapping;
    }
    // Pairs skipped by the single sweep are rare; most lists come out disjoint.
    EXPECT_LT(stillOverlapping, 3000 / 4);
}

TEST(CGRectListProperties, SimplifyNeverLosesCoverageAndOnlyMergesAcceptedPairs) {
    for (uint32_t trial = 0; trial < 2000; ++trial) {
        RandomRects random(200000 + trial);
        Grid expected;
        auto list = randomPlainList(random, 1 + random.below(12), expected);
        const uint64_t before = list->count;
        // Merge pairs whose union wastes little, as an encoder would.
        const bool merged = CGRectListSimplify(*list, [](uint64_t i, uint64_t j, CGRect a, CGRect b) {
            EXPECT_LT(i, j);
            const CGRect u = CGRectUnion(a, b);
            return u.size.width * u.size.height <= 1.5 * (a.size.width * a.size.height + b.size.width * b.size.height);
        });
        ASSERT_TRUE(Grid::of(*list).covers(expected)) << "seed " << trial;
        ASSERT_EQ(merged, list->count < before) << "seed " << trial;
    }
}

// Damage rectangles are whole display pixels; a strip remainder of a quarter pixel or less
// is dropped on purpose, which never uncovers a pixel's centre.
TEST(CGRectListProperties, DecimateNeverLosesCoverageAndKeepsSmallRectanglesInOrder) {
    for (uint32_t trial = 0; trial < 2000; ++trial) {
        RandomRects random(300000 + trial, 1.0);
        Grid expected(1.0);
        auto list = randomPlainList(random, 1 + random.below(10), expected);
        const uint64_t strips = 1 + static_cast<uint64_t>(random.below(4));
        const double maximum = 1 + random.below(12);
        std::vector<CGRect> small;
        for (uint64_t i = 0; i < list->count; ++i)
            if (!(list->rects[i].size.width * list->rects[i].size.height > maximum)) small.push_back(list->rects[i]);
        CGRectListDecimate(*list, strips, maximum);
        ASSERT_TRUE(Grid::of(*list, 1.0) == expected) << "seed " << trial;
        for (uint64_t i = small.size(); i < list->count; ++i) ASSERT_GE(list->rects[i].size.height, 0.0);
        // Rectangles at or under the maximum keep their order at the front.
        ASSERT_GE(list->count, small.size());
        for (size_t i = 0; i < small.size(); ++i) ASSERT_TRUE(CGRectEqualToRect(list->rects[i], small[i]));
    }
}

TEST(CGRectListProperties, CreateWithRectsAddsLikeRepeatedAdd) {
    for (uint32_t trial = 0; trial < 500; ++trial) {
        RandomRects random(400000 + trial);
        std::vector<CGRect> rects(1 + random.below(12));
        for (CGRect& r : rects) r = random.next();
        auto byAdd = CGRectListCreate(0);
        for (const CGRect& r : rects) CGRectListAdd(*byAdd, r);
        auto created = CGRectListCreateWithRects(rects.data(), rects.size(), true);
        ASSERT_EQ(created->count, byAdd->count);
        ASSERT_EQ(created->capacity, created->count);
        for (uint64_t i = 0; i < created->count; ++i)
            ASSERT_TRUE(CGRectEqualToRect(created->rects[i], byAdd->rects[i])) << "seed " << trial;
    }
}

// Fractional edges come back from origin + size with rounding noise, so pieces may overlap
// by a sliver far below a pixel; whole-pixel damage (the case on screen) is exact.
TEST(CGRectListProperties, AddStaysDisjointOnLargeListsOfFractionalRectangles) {
    for (uint32_t trial = 0; trial < 6; ++trial) {
        std::mt19937 random(500000 + trial);
        std::uniform_real_distribution<double> position(0, 1000), extent(1, 200);
        std::vector<CGRect> added;
        auto list = CGRectListCreate(0);
        for (int i = 0; i < 300; ++i) {
            added.push_back(CGRectMake(position(random), position(random), extent(random), extent(random)));
            CGRectListAdd(*list, added.back());
        }
        ASSERT_LT(CGRectListCalculateOverlaps(*list), 1e-6) << "seed " << trial;
        std::uniform_real_distribution<double> probe(0, 1200);
        for (int k = 0; k < 1000; ++k) {
            const CGPoint p = CGPointMake(probe(random), probe(random));
            bool inAdded = false, inList = false;
            for (const CGRect& r : added) inAdded = inAdded || CGRectContainsPoint(r, p);
            for (uint64_t i = 0; i < list->count; ++i) inList = inList || CGRectContainsPoint(list->rects[i], p);
            ASSERT_EQ(inAdded, inList) << "seed " << trial << " at " << NSStringFromPoint(p);
        }
    }
}
