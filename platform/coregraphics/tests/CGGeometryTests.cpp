#include "platform/coregraphics/CGGeometry.h"

#include <gtest/gtest.h>

using namespace cg;

TEST(CGGeometry, NegativeSizesAreStandardizedBeforeUse) {
    CGRect r = CGRectMake(10, 10, -4, -6);
    EXPECT_TRUE(CGRectEqualToRect(CGRectStandardize(r), CGRectMake(6, 4, 4, 6)));
    EXPECT_EQ(CGRectGetMinX(r), 6);
    EXPECT_EQ(CGRectGetMaxY(r), 10);
    EXPECT_TRUE(CGRectContainsPoint(r, CGPointMake(6, 4)));
}

TEST(CGGeometry, ContainmentIsHalfOpenAndTouchingRectanglesDoNotIntersect) {
    CGRect a = CGRectMake(0, 0, 10, 10);
    EXPECT_TRUE(CGRectContainsPoint(a, CGPointMake(0, 0)));
    EXPECT_FALSE(CGRectContainsPoint(a, CGPointMake(10, 5)));
    EXPECT_FALSE(CGRectIntersectsRect(a, CGRectMake(10, 0, 5, 5)));
    EXPECT_FALSE(CGRectIntersectsRect(a, CGRectMake(10, 10, 5, 5)));
    EXPECT_TRUE(CGRectIsNull(CGRectIntersection(a, CGRectMake(10, 0, 5, 5))));
    EXPECT_TRUE(CGRectEqualToRect(CGRectIntersection(a, CGRectMake(5, 5, 10, 10)), CGRectMake(5, 5, 5, 5)));
    // An empty rectangle strictly inside meets the other; one on its edge does not.
    EXPECT_TRUE(CGRectIntersectsRect(a, CGRectMake(5, 5, 0, 0)));
    EXPECT_TRUE(CGRectEqualToRect(CGRectIntersection(a, CGRectMake(5, 5, 0, 3)), CGRectMake(5, 5, 0, 3)));
    EXPECT_FALSE(CGRectIntersectsRect(a, CGRectMake(10, 5, 0, 0)));
}

TEST(CGGeometry, NullIsTheIdentityOfUnionAndAbsorbsIntersection) {
    CGRect a = CGRectMake(1, 2, 3, 4);
    EXPECT_TRUE(CGRectEqualToRect(CGRectUnion(CGRectNull, a), a));
    EXPECT_TRUE(CGRectIsNull(CGRectIntersection(CGRectNull, a)));
    EXPECT_TRUE(CGRectIsEmpty(CGRectNull));
    EXPECT_TRUE(CGRectIsEmpty(CGRectMake(0, 0, 0, 5)));
    EXPECT_TRUE(CGRectIsNull(CGRectInset(a, 2, 0)));
    EXPECT_TRUE(CGRectEqualToRect(CGRectIntegral(CGRectMake(0.5, 0.5, 1, 1)), CGRectMake(0, 0, 2, 2)));
    EXPECT_EQ(NSStringFromRect(CGRectMake(1, 2.5, 3, 4)), "{{1, 2.5}, {3, 4}}");
}

TEST(CGGeometry, DivideSplitsFromTheGivenEdge) {
    CGRect slice, rest;
    CGRectDivide(CGRectMake(0, 0, 10, 4), &slice, &rest, 3, CGRectMaxXEdge);
    EXPECT_TRUE(CGRectEqualToRect(slice, CGRectMake(7, 0, 3, 4)));
    EXPECT_TRUE(CGRectEqualToRect(rest, CGRectMake(0, 0, 7, 4)));
}
