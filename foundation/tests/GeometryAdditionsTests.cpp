#include "foundation/CGGeometryAdditions.h"
#include "foundation/NSGeometryAdditions.h"

#include <cmath>
#include <limits>
#include <numbers>

#include <gtest/gtest.h>

using namespace foundation;
using namespace cg;

namespace {
void expectRect(CGRect r, double x, double y, double w, double h) {
    EXPECT_DOUBLE_EQ(r.origin.x, x);
    EXPECT_DOUBLE_EQ(r.origin.y, y);
    EXPECT_DOUBLE_EQ(r.size.width, w);
    EXPECT_DOUBLE_EQ(r.size.height, h);
}
void expectPoint(CGPoint p, double x, double y) {
    EXPECT_NEAR(p.x, x, 1e-4);
    EXPECT_NEAR(p.y, y, 1e-4);
}
} // namespace

TEST(NSGeometryAdditions, FitAndFillKeepTheAspectAndCentreOnTheOuter) {
    CGRect wide = CGRectMake(0, 0, 200, 100), square = CGRectMake(0, 0, 100, 100);
    expectRect(NSRectFitRectInRect(wide, square, false), 0, 25, 100, 50);
    expectRect(NSRectFitRectInRect(wide, square, true), -50, 0, 200, 100);
    expectRect(NSRectSizeRectInRect(wide, CGRectMake(40, 40, 100, 100), false), 0, 0, 100, 50);
    expectRect(NSRectFitRectInRect(CGRectMake(5, 5, 10, 20), CGRectMake(10, 10, 100, 100), false), 35, 10, 50, 100);
    expectRect(NSRectCenterRectInRect(CGRectMake(3, 4, 20, 10), CGRectMake(0, 0, 100, 50)), 40, 20, 20, 10);
    expectRect(NSRectFromSize(CGSizeMake(7, 9)), 0, 0, 7, 9);
}

TEST(NSGeometryAdditions, AnInnerRectangleWithoutAreaGivesTheZeroRectangle) {
    for (bool fill : {false, true}) {
        CGRect r = NSRectSizeRectInRect(CGRectMake(0, 0, 100, 0), CGRectMake(0, 0, 50, 50), fill);
        EXPECT_FALSE(std::isnan(r.size.width) || std::isnan(r.size.height));
        expectRect(r, 0, 0, 0, 0);
        expectRect(NSRectSizeRectInRect(CGRectMake(0, 0, 0, 10), CGRectMake(0, 0, 50, 50), fill), 0, 0, 0, 0);
        expectRect(NSRectSizeRectInRect(CGRectZero, CGRectMake(0, 0, 50, 50), fill), 0, 0, 0, 0);
    }
}

TEST(NSGeometryAdditions, ConstrainMovesEachOverhangingEdgeBack) {
    CGRect bounds = CGRectMake(0, 0, 100, 100);
    expectRect(NSRectConstrainRectToRect(CGRectMake(90, 0, 30, 10), bounds), 70, 0, 30, 10);
    expectRect(NSRectConstrainRectToRect(CGRectMake(-10, 0, 20, 10), bounds), 0, 0, 20, 10);
    expectRect(NSRectConstrainRectToRect(CGRectMake(10, 95, 20, 10), bounds), 10, 90, 20, 10);
    expectRect(NSRectConstrainRectToRect(CGRectMake(10, 10, 20, 10), bounds), 10, 10, 20, 10);
    // Too wide on both sides: both offsets are taken from the rectangle as given.
    expectRect(NSRectConstrainRectToRect(CGRectMake(-10, 0, 200, 10), bounds), -90, 0, 200, 10);
}

TEST(CGGeometryAdditions, RoundingGoesThroughSinglePrecisionWithItsOwnHalfRules) {
    EXPECT_EQ(CGFloatRound(0.5), 1);
    EXPECT_EQ(CGFloatRound(-0.5), 0);
    EXPECT_EQ(CGFloatRound(-0.51), -1);
    EXPECT_EQ(CGFloatRound(2.5), 3);
    EXPECT_EQ(CGFloatRound(-2.5), -2);
    EXPECT_EQ(CGFloatRound(-2.6), -3);
    EXPECT_EQ(CGFloatRound(2.49), 2);
    CGSize s = CGSizeIntegral(CGSizeMake(1.5, -1.5));
    EXPECT_EQ(s.width, 2);
    EXPECT_EQ(s.height, -1);

    expectRect(CGRectScale(CGRectMake(0.5, 1.5, 2.5, 3.5), 1), 1, 2, 3, 4);
    expectRect(CGRectScale(CGRectMake(-0.25, 1, 2, 3), 2), -1, 2, 4, 6);
    expectRect(CGRectRound(CGRectMake(-0.5, 0.49, 2.5, 3.51)), -1, 0, 3, 4);
    CGSize scaled = CGSizeScale(CGSizeMake(1.01, 1), 1);
    EXPECT_EQ(scaled.width, 2);
    EXPECT_EQ(scaled.height, 1);
    CGPoint p = CGPointScale(CGPointMake(1.2, -1.2), 2);
    EXPECT_EQ(p.x, 3);
    EXPECT_EQ(p.y, -2);
}

TEST(CGGeometryAdditions, DistancesAndProximity) {
    EXPECT_FLOAT_EQ(CGPointDistance(CGPointMake(0, 0), CGPointMake(3, 4)), 5);
    EXPECT_TRUE(CGPointProximateWithin(CGPointMake(0, 0), CGPointMake(3, 4), 5));
    EXPECT_FALSE(CGPointProximateWithin(CGPointMake(0, 0), CGPointMake(3, 4), 4.99));
    EXPECT_TRUE(CGPointProximateWithin(CGPointMake(10, 10), CGPointMake(10, 10), 0));
    EXPECT_TRUE(CGPointProximateWithin(CGPointMake(100, 100), CGPointMake(112, 116), 20.0));
    expectPoint(CGPointGetMid(CGPointMake(-2, 4), CGPointMake(6, 8)), 2, 6);
}

TEST(CGGeometryAdditions, CentresAndRectangleShapes) {
    CGRect r = CGRectMake(10, 20, 100, 50);
    EXPECT_EQ(CGRectArea(r), 5000);
    expectPoint(CGRectGetCenter(r), 60, 45);
    expectPoint(CGRectGetMidPoint(CGRectMake(10, 20, -100, -50)), -40, -5);
    expectRect(CGRectOfSizeCenteredInRect(CGSizeMake(20, 10), r), 50, 40, 20, 10);
    expectRect(CGRectContract(CGSizeMake(10, 5), r), 10, 20, 90, 45);
    expectRect(CGRectShift(CGSizeMake(10, 5), r), 20, 25, 90, 45);
    expectRect(CGRectRotateMediaBoxWithAngle(90, r), 20, 10, 50, 100);
    expectRect(CGRectRotateMediaBoxWithAngle(-270, r), 20, 10, 50, 100);
    expectRect(CGRectRotateMediaBoxWithAngle(180, r), 10, 20, 100, 50);
    expectRect(CGRectRotateMediaBoxWithAngle(45, r), 10, 20, 100, 50);
    expectRect(CGRectWithSizeScaledToFitRect(CGSizeMake(400, 100), CGRectMake(0, 0, 200, 200)), 0, 75, 200, 50);
    expectRect(CGRectWithSizeScaledToFitRect(CGSizeMake(0, 100), CGRectMake(0, 0, 200, 200)), 100, 100, 0, 0);
}

TEST(CGGeometryAdditions, RotateAroundPointKeepsThatPointFixed) {
    CGPoint pivot = CGPointMake(10, 20);
    CGAffineTransform t = CGAffineTransformRotateAroundPoint(std::numbers::pi / 2, pivot, CGAffineTransformIdentity);
    expectPoint(CGPointApplyAffineTransform(pivot, t), 10, 20);
    expectPoint(CGPointApplyAffineTransform(CGPointMake(11, 20), t), 10, 21);
    // An existing transform is applied after the rotation.
    CGAffineTransform moved =
        CGAffineTransformRotateAroundPoint(std::numbers::pi, pivot, CGAffineTransformMakeTranslation(5, 0));
    expectPoint(CGPointApplyAffineTransform(CGPointMake(12, 20), moved), 13, 20);
}

TEST(CGGeometryAdditions, RadialCentreAndRadiusReachTheFartherCorner) {
    CGPoint c;
    CGFloat radius = 0;
    CGRectComputeCenterAndRadiusWithOffset(CGPointMake(0, 0), CGRectMake(0, 0, 6, 8), &c, &radius);
    expectPoint(c, 3, 4);
    EXPECT_FLOAT_EQ(radius, 5);
    CGRectComputeCenterAndRadiusWithOffset(CGPointMake(1, -1), CGRectMake(0, 0, 6, 8), &c, &radius);
    expectPoint(c, 6, 0);
    EXPECT_FLOAT_EQ(radius, 10);
    CGRectComputeCenterAndRadiusWithOffset(CGPointMake(0, 0), CGRectMake(0, 0, 6, 8), nullptr, nullptr);
}

TEST(CGGeometryAdditions, LinearGradientEndpointsByAngle) {
    CGRect r = CGRectMake(0, 0, 100, 50);
    CGPoint s, e;
    CGRectComputeEndpointsWithAngle(0, r, &s, &e);
    expectPoint(s, 0, 0);
    expectPoint(e, 100, 0);
    CGRectComputeEndpointsWithAngle(180, r, &s, &e);
    expectPoint(s, 100, 0);
    expectPoint(e, 0, 0);
    CGRectComputeEndpointsWithAngle(360, r, &s, &e);
    expectPoint(e, 100, 0);
    CGRectComputeEndpointsWithAngle(90, r, &s, &e);
    expectPoint(s, 100, 0);
    expectPoint(e, 100, 50);
    CGRectComputeEndpointsWithAngle(-90, r, &s, &e);
    expectPoint(s, 0, 50);
    expectPoint(e, 0, 0);
    // 45 degrees on a square runs corner to corner.
    CGRectComputeEndpointsWithAngle(45, CGRectMake(0, 0, 10, 10), &s, &e);
    expectPoint(s, 0, 0);
    expectPoint(e, 10, 10);
    CGRectComputeEndpointsWithAngle(-135, CGRectMake(0, 0, 10, 10), &s, &e);
    expectPoint(s, 10, 10);
    expectPoint(e, 0, 0);

    s = e = CGPointMake(7, 7);
    CGRectComputeEndpointsWithAngle(std::numeric_limits<double>::quiet_NaN(), r, &s, &e);
    expectPoint(s, 0, 0);
    expectPoint(e, 0, 0);
    CGRectComputeEndpointsWithAngle(30, r, nullptr, nullptr);
}
