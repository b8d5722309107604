#include "regions/CGRectList.h"

#include <gtest/gtest.h>

#include <vector>

using namespace regions;
using namespace cg;

namespace {

struct Cut {
    int64_t count;
    std::vector<CGRect> pieces;
};

Cut cut(CGRect a, CGRect b, int orientation = 1) {
    CGRect p[3] = {CGRectNull, CGRectNull, CGRectNull};
    const int64_t k = CGRectSubdivide(&p[0], &p[1], &p[2], orientation, a, b);
    return {k, std::vector<CGRect>(p, p + (k < 0 ? 1 : k))};
}

void expectCut(const Cut& c, int64_t count, std::initializer_list<CGRect> pieces) {
    ASSERT_EQ(c.count, count);
    size_t i = 0;
    for (const CGRect& e : pieces) {
        EXPECT_TRUE(CGRectEqualToRect(c.pieces[i], e))
            << "piece " << i << ": " << NSStringFromRect(c.pieces[i]) << " expected " << NSStringFromRect(e);
        ++i;
    }
}

} // namespace

TEST(CGRectSubdivide, DisjointEqualAndContainedPairs) {
    expectCut(cut(CGRectMake(0, 0, 5, 5), CGRectMake(5, 0, 5, 5)), 2, {CGRectMake(0, 0, 5, 5), CGRectMake(5, 0, 5, 5)});
    expectCut(cut(CGRectMake(5, 5, -5, -5), CGRectMake(0, 0, 5, 5)), 1, {CGRectMake(0, 0, 5, 5)});
    expectCut(cut(CGRectMake(0, 0, 10, 10), CGRectMake(2, 2, 3, 3)), 1, {CGRectMake(0, 0, 10, 10)});
    expectCut(cut(CGRectMake(2, 2, 3, 3), CGRectMake(0, 0, 10, 10)), 1, {CGRectMake(0, 0, 10, 10)});
    // Pieces come out standardized even when the input was not.
    const Cut c = cut(CGRectMake(10, 10, -10, -10), CGRectMake(20, 20, 1, 1));
    EXPECT_EQ(c.pieces[0].size.width, 10);
}

TEST(CGRectSubdivide, TwoCornersInsideKeepTheHolderWhole) {
    // a sticks out below b, left of b, above b, right of b.
    expectCut(cut(CGRectMake(2, -5, 6, 10), CGRectMake(0, 0, 10, 10)), 2,
              {CGRectMake(0, 0, 10, 10), CGRectMake(2, -5, 6, 5)});
    expectCut(cut(CGRectMake(-5, 2, 10, 6), CGRectMake(0, 0, 10, 10)), 2,
              {CGRectMake(0, 0, 10, 10), CGRectMake(-5, 2, 5, 6)});
    expectCut(cut(CGRectMake(2, 5, 6, 10), CGRectMake(0, 0, 10, 10)), 2,
              {CGRectMake(0, 0, 10, 10), CGRectMake(2, 10, 6, 5)});
    expectCut(cut(CGRectMake(5, 2, 10, 6), CGRectMake(0, 0, 10, 10)), 2,
              {CGRectMake(0, 0, 10, 10), CGRectMake(10, 2, 5, 6)});
    // The same with the roles swapped: a holds two corners of b.
    expectCut(cut(CGRectMake(0, 0, 10, 10), CGRectMake(2, 5, 6, 10)), 2,
              {CGRectMake(0, 0, 10, 10), CGRectMake(2, 10, 6, 5)});
    expectCut(cut(CGRectMake(0, 0, 10, 10), CGRectMake(-5, 2, 10, 6)), 2,
              {CGRectMake(0, 0, 10, 10), CGRectMake(-5, 2, 5, 6)});
}

TEST(CGRectSubdivide, OneCornerInsideGivesThreeBandsInEitherOrientation) {
    const CGRect a = CGRectMake(5, 5, 10, 10), b = CGRectMake(0, 0, 10, 10);
    expectCut(cut(a, b, 1), 3, {CGRectMake(0, 0, 10, 5), CGRectMake(0, 5, 15, 5), CGRectMake(5, 10, 10, 5)});
    expectCut(cut(a, b, 0), 3, {CGRectMake(0, 0, 5, 10), CGRectMake(5, 0, 5, 15), CGRectMake(10, 5, 5, 10)});
    // b's top-left... a's (minX, maxY) corner lies in b.
    const CGRect low = CGRectMake(5, -5, 10, 10);
    expectCut(cut(low, b, 1), 3, {CGRectMake(5, -5, 10, 5), CGRectMake(0, 0, 15, 5), CGRectMake(0, 5, 10, 5)});
    expectCut(cut(low, b, 0), 3, {CGRectMake(0, 0, 5, 10), CGRectMake(5, -5, 5, 15), CGRectMake(10, -5, 5, 10)});
    // a's (maxX, minY) corner lies in b.
    const CGRect left = CGRectMake(-5, 5, 10, 10);
    expectCut(cut(left, b, 1), 3, {CGRectMake(0, 0, 10, 5), CGRectMake(-5, 5, 15, 5), CGRectMake(-5, 10, 10, 5)});
    expectCut(cut(left, b, 0), 3, {CGRectMake(-5, 5, 5, 10), CGRectMake(0, 0, 5, 15), CGRectMake(5, 0, 5, 10)});
    // a's (maxX, maxY) corner lies in b.
    const CGRect lowLeft = CGRectMake(-5, -5, 10, 10);
    expectCut(cut(lowLeft, b, 1), 3, {CGRectMake(-5, -5, 10, 5), CGRectMake(-5, 0, 15, 5), CGRectMake(0, 5, 10, 5)});
    expectCut(cut(lowLeft, b, 0), 3, {CGRectMake(-5, -5, 5, 10), CGRectMake(0, -5, 5, 15), CGRectMake(5, 0, 5, 10)});
}

TEST(CGRectSubdivide, CrossingRectanglesGiveTheCrossAndTwoArms) {
    const CGRect wide = CGRectMake(0, 4, 10, 2), tall = CGRectMake(4, 0, 2, 10);
    expectCut(cut(wide, tall), 3, {CGRectMake(4, 0, 2, 4), wide, CGRectMake(4, 6, 2, 4)});
    expectCut(cut(tall, wide), 3, {CGRectMake(4, 0, 2, 4), wide, CGRectMake(4, 6, 2, 4)});
}

TEST(CGRectSubdivide, EveryCutCoversTheUnionWithDisjointPieces) {
    // Edge-aligned pairs on a small grid reach every rule, the late comparisons included.
    for (int ax = 0; ax < 4; ++ax)
        for (int ay = 0; ay < 4; ++ay)
            for (int aw = 1; aw < 4; ++aw)
                for (int ah = 1; ah < 4; ++ah)
                    for (int orientation = 0; orientation < 2; ++orientation) {
                        const CGRect a = CGRectMake(ax, ay, aw, ah), b = CGRectMake(1, 1, 2, 2);
                        const Cut c = cut(a, b, orientation);
                        ASSERT_GE(c.count, 1);
                        for (int y = -1; y < 8; ++y)
                            for (int x = -1; x < 8; ++x) {
                                const CGPoint p = CGPointMake(x + 0.5, y + 0.5);
                                int hits = 0;
                                for (const CGRect& piece : c.pieces) hits += CGRectContainsPoint(piece, p) ? 1 : 0;
                                const bool inUnion = CGRectContainsPoint(a, p) || CGRectContainsPoint(b, p);
                                ASSERT_EQ(hits, inUnion ? 1 : 0)
                                    << NSStringFromRect(a) << " orientation " << orientation << " at " << x << "," << y;
                            }
                    }
}
