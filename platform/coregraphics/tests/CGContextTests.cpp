// Drawing: state, transforms, paths, fills, strokes, clips, blend modes, images, gradients,
// and hostile input.
#include "platform/core/Log.h"
#include "platform/coregraphics/CGContext.h"
#include "platform/coregraphics/CGGradient.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

using namespace cg;

namespace {

constexpr uint32_t kRed = 0xFFFF0000u, kGreen = 0xFF00FF00u, kBlue = 0xFF0000FFu, kClear = 0;

// A BGRA premultiplied canvas; pixel(x, row) counts rows from the top of memory.
struct Canvas {
    size_t width, height;
    std::vector<uint32_t> words;
    CGContextRef c;
    Canvas(size_t w, size_t h) : width(w), height(h), words(w * h, 0) {
        c = CGBitmapContextCreate(words.data(), w, h, 8, w * 4, CGColorSpaceCreateDeviceRGB(),
                                  kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little);
    }
    uint32_t pixel(size_t x, size_t row) const { return words[row * width + x]; }
    int channel(size_t x, size_t row, int shift) const { return int(pixel(x, row) >> shift & 0xFF); }
    size_t count(uint32_t value) const { return size_t(std::count(words.begin(), words.end(), value)); }
};

CGImageRef fourColourImage() {
    // Rows top to bottom: red green / blue white, BGRA premultiplied.
    std::vector<uint8_t> bytes = {0, 0, 255, 255, 0, 255, 0, 255, 255, 0, 0, 255, 255, 255, 255, 255};
    return CGImageCreate(2, 2, 8, 32, 8, CGColorSpaceCreateDeviceRGB(),
                         kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little,
                         CGDataProviderCreateWithData(std::move(bytes)), nullptr, true,
                         kCGRenderingIntentDefault);
}

} // namespace

TEST(CGContextDrawing, UserSpaceIsYUpAndTheTransformMovesIt) {
    Canvas k(8, 8);
    CGContextSetRGBFillColor(k.c, 1, 0, 0, 1);
    CGContextFillRect(k.c, CGRectMake(0, 0, 8, 1));
    for (size_t x = 0; x < 8; ++x)
        EXPECT_EQ(k.pixel(x, 7), kRed); // the bottom row is memory's last
    EXPECT_EQ(k.count(kRed), 8u);

    CGContextSaveGState(k.c);
    CGContextTranslateCTM(k.c, 4, 4);
    CGContextScaleCTM(k.c, 2, 2);
    CGContextSetRGBFillColor(k.c, 0, 0, 1, 1);
    CGContextFillRect(k.c, CGRectMake(0, 0, 1, 1)); // device (4, 4)-(6, 6)
    EXPECT_EQ(CGContextGetCTM(k.c).a, 2);
    CGContextRestoreGState(k.c);
    EXPECT_TRUE(CGAffineTransformIsIdentity(CGContextGetCTM(k.c)));
    EXPECT_EQ(k.pixel(4, 2), kBlue);
    EXPECT_EQ(k.pixel(5, 3), kBlue);
    EXPECT_EQ(k.count(kBlue), 4u);

    // The colour saved with the state comes back.
    CGContextFillRect(k.c, CGRectMake(0, 7, 1, 1));
    EXPECT_EQ(k.pixel(0, 0), kRed);

    // A quarter turn about the origin puts x along y.
    Canvas r(4, 4);
    CGContextRotateCTM(r.c, std::numbers::pi / 2);
    CGContextSetRGBFillColor(r.c, 0, 1, 0, 1);
    CGContextFillRect(r.c, CGRectMake(0, -1, 4, 1)); // after the turn: x 0..1, y 0..4
    for (size_t row = 0; row < 4; ++row)
        EXPECT_EQ(r.pixel(0, row), kGreen);
    EXPECT_EQ(r.count(kGreen), 4u);
}

TEST(CGContextDrawing, PathsFillByWindingOrEvenOddAndStrokeWithTheirStyle) {
    Canvas k(10, 10);
    CGContextSetRGBFillColor(k.c, 1, 0, 0, 1);
    CGContextAddRect(k.c, CGRectMake(0, 0, 10, 10));
    CGContextAddRect(k.c, CGRectMake(3, 3, 4, 4));
    CGContextEOFillPath(k.c);
    EXPECT_TRUE(CGContextIsPathEmpty(k.c));
    EXPECT_EQ(k.pixel(0, 0), kRed);
    EXPECT_EQ(k.pixel(5, 5), kClear); // the hole
    EXPECT_EQ(k.count(kRed), 100u - 16u);

    Canvas t(10, 10);
    CGContextSetRGBFillColor(t.c, 0, 0, 1, 1);
    CGContextMoveToPoint(t.c, 0, 0);
    CGContextAddLineToPoint(t.c, 10, 0);
    CGContextAddLineToPoint(t.c, 0, 10);
    CGContextClosePath(t.c);
    CGContextFillPath(t.c);
    EXPECT_EQ(t.pixel(1, 8), kBlue);  // near the right angle
    EXPECT_EQ(t.pixel(8, 1), kClear); // beyond the hypotenuse

    Canvas s(10, 10);
    CGContextSetRGBStrokeColor(s.c, 0, 1, 0, 1);
    CGContextSetLineWidth(s.c, 2);
    CGContextMoveToPoint(s.c, 2, 5);
    CGContextAddLineToPoint(s.c, 8, 5);
    CGContextStrokePath(s.c);
    EXPECT_EQ(s.pixel(2, 4), kGreen);
    EXPECT_EQ(s.pixel(7, 5), kGreen);
    EXPECT_EQ(s.pixel(1, 4), kClear); // butt caps end at the points
    EXPECT_EQ(s.count(kGreen), 12u);

    Canvas q(10, 10);
    CGContextSetRGBStrokeColor(q.c, 0, 1, 0, 1);
    CGContextSetLineWidth(q.c, 2);
    CGContextSetLineCap(q.c, kCGLineCapSquare);
    const CGFloat dash[] = {2, 2};
    CGContextSetLineDash(q.c, 0, dash, 2);
    CGContextMoveToPoint(q.c, 1, 5);
    CGContextAddLineToPoint(q.c, 9, 5);
    CGContextStrokePath(q.c);
    // Dashes of 2 with square caps of 1: 0..4 and 4..8 merge; what matters is the gap pattern
    // differs from a solid line's and the caps reach beyond the dash ends.
    EXPECT_EQ(q.pixel(0, 4), kGreen);

    Canvas e(10, 10);
    CGContextSetRGBFillColor(e.c, 1, 0, 0, 1);
    CGContextFillEllipseInRect(e.c, CGRectMake(0, 0, 10, 10));
    EXPECT_EQ(e.pixel(5, 5), kRed);
    EXPECT_EQ(e.pixel(0, 0), kClear);
    EXPECT_EQ(e.pixel(9, 9), kClear);
    EXPECT_EQ(e.pixel(1, 5), kRed);
}

TEST(CGContextDrawing, ArcsTurnTheWayAskedInYUpSpace) {
    // A counter-clockwise half turn from 0 to pi covers the upper half (memory's top rows).
    Canvas k(20, 20);
    CGContextSetRGBFillColor(k.c, 1, 0, 0, 1);
    CGContextMoveToPoint(k.c, 10, 10);
    CGContextAddArc(k.c, 10, 10, 8, 0, std::numbers::pi, 0);
    CGContextClosePath(k.c);
    CGContextFillPath(k.c);
    EXPECT_EQ(k.pixel(10, 5), kRed);
    EXPECT_EQ(k.pixel(10, 15), kClear);

    Canvas c(20, 20);
    CGContextSetRGBFillColor(c.c, 1, 0, 0, 1);
    CGContextMoveToPoint(c.c, 10, 10);
    CGContextAddArc(c.c, 10, 10, 8, 0, std::numbers::pi, 1);
    CGContextClosePath(c.c);
    CGContextFillPath(c.c);
    EXPECT_EQ(c.pixel(10, 5), kClear);
    EXPECT_EQ(c.pixel(10, 15), kRed);

    auto path = CGPathCreateMutable();
    CGPathAddRoundedRect(path, nullptr, CGRectMake(0, 0, 20, 10), 4, 4);
    CGRect box = CGPathGetBoundingBox(path);
    EXPECT_TRUE(CGRectEqualToRect(box, CGRectMake(0, 0, 20, 10)));
}

TEST(CGContextDrawing, ClipsToRectanglesPathsAndMasks) {
    Canvas k(8, 8);
    CGContextSaveGState(k.c);
    CGContextClipToRect(k.c, CGRectMake(2, 2, 4, 4));
    CGContextSetRGBFillColor(k.c, 1, 0, 0, 1);
    CGContextFillRect(k.c, CGRectMake(0, 0, 8, 8));
    EXPECT_EQ(k.count(kRed), 16u);
    CGRect box = CGContextGetClipBoundingBox(k.c);
    EXPECT_TRUE(CGRectEqualToRect(box, CGRectMake(2, 2, 4, 4)));
    // Clips only narrow: a second clip meets the first.
    CGContextAddRect(k.c, CGRectMake(0, 0, 3, 8));
    CGContextClip(k.c);
    CGContextSetRGBFillColor(k.c, 0, 0, 1, 1);
    CGContextFillRect(k.c, CGRectMake(0, 0, 8, 8));
    EXPECT_EQ(k.count(kBlue), 4u);
    CGContextRestoreGState(k.c);
    CGContextSetRGBFillColor(k.c, 0, 1, 0, 1);
    CGContextFillRect(k.c, CGRectMake(0, 0, 8, 8)); // restored: no clip
    EXPECT_EQ(k.count(kGreen), 64u);

    // A grey mask: white paints, black keeps out; outside the mask's rectangle nothing paints.
    std::vector<uint8_t> grey = {255, 0, 255, 0};
    CGImageRef mask =
        CGImageCreate(2, 2, 8, 8, 2, CGColorSpaceCreateDeviceGray(), kCGImageAlphaNone,
                      CGDataProviderCreateWithData(grey), nullptr, false, kCGRenderingIntentDefault);
    ASSERT_TRUE(mask);
    Canvas m(8, 8);
    CGContextClipToMask(m.c, CGRectMake(0, 0, 4, 8), mask);
    CGContextSetRGBFillColor(m.c, 1, 0, 0, 1);
    CGContextFillRect(m.c, CGRectMake(0, 0, 8, 8));
    EXPECT_EQ(m.pixel(0, 0), kRed);
    EXPECT_EQ(m.pixel(1, 7), kRed);
    EXPECT_EQ(m.pixel(3, 0), kClear);
    EXPECT_EQ(m.pixel(6, 4), kClear);
}

TEST(CGContextDrawing, BlendModesNormalCopyAndExclusiveOr) {
    Canvas k(4, 1);
    CGContextSetRGBFillColor(k.c, 1, 0, 0, 1);
    CGContextFillRect(k.c, CGRectMake(0, 0, 4, 1));
    CGContextSetRGBFillColor(k.c, 0, 0, 1, 0);
    CGContextFillRect(k.c, CGRectMake(0, 0, 1, 1)); // normal: a clear colour changes nothing
    EXPECT_EQ(k.pixel(0, 0), kRed);
    CGContextSetBlendMode(k.c, kCGBlendModeCopy);
    CGContextFillRect(k.c, CGRectMake(0, 0, 1, 1)); // copy: replaced by it
    EXPECT_EQ(k.pixel(0, 0), kClear);
    CGContextSetBlendMode(k.c, kCGBlendModeXOR);
    CGContextSetRGBFillColor(k.c, 0, 0, 1, 1);
    CGContextFillRect(k.c, CGRectMake(0, 0, 2, 1)); // over nothing: drawn; over opaque: both go
    EXPECT_EQ(k.pixel(0, 0), kBlue);
    EXPECT_EQ(k.pixel(1, 0), kClear);
    EXPECT_EQ(k.pixel(2, 0), kRed);

    platform::LogCapture log(true);
    CGContextSetBlendMode(k.c, kCGBlendModeMultiply);
    EXPECT_EQ(log.lines().size(), 1u);
    CGContextSetRGBFillColor(k.c, 0, 1, 0, 1);
    CGContextFillRect(k.c, CGRectMake(3, 0, 1, 1)); // drawn as normal
    EXPECT_EQ(k.pixel(3, 0), kGreen);

    CGContextClearRect(k.c, CGRectMake(2, 0, 2, 1));
    EXPECT_EQ(k.pixel(2, 0), kClear);
    EXPECT_EQ(k.pixel(3, 0), kClear);
}

TEST(CGContextDrawing, ImagesDrawWithTheirFirstRowAtTheTop) {
    CGImageRef image = fourColourImage();
    ASSERT_TRUE(image);
    Canvas k(4, 4);
    CGContextSetInterpolationQuality(k.c, kCGInterpolationNone);
    CGContextDrawImage(k.c, CGRectMake(0, 0, 4, 4), image);
    EXPECT_EQ(k.pixel(0, 0), kRed);
    EXPECT_EQ(k.pixel(1, 1), kRed);
    EXPECT_EQ(k.pixel(3, 0), kGreen);
    EXPECT_EQ(k.pixel(0, 3), kBlue);
    EXPECT_EQ(k.pixel(3, 3), 0xFFFFFFFFu);

    // Alpha applies to images; copy replaces what lies under the rectangle only.
    Canvas a(2, 2);
    CGContextSetRGBFillColor(a.c, 0, 0, 0, 1);
    CGContextFillRect(a.c, CGRectMake(0, 0, 2, 2));
    CGContextSetAlpha(a.c, 0.6);
    CGContextDrawImage(a.c, CGRectMake(0, 0, 2, 2), image);
    EXPECT_NEAR(a.channel(0, 0, 16), 153, 1);
    EXPECT_EQ(a.channel(0, 0, 24), 255);

    std::vector<uint8_t> clearBytes(16, 0);
    CGImageRef clearImage =
        CGImageCreate(2, 2, 8, 32, 8, CGColorSpaceCreateDeviceRGB(), kCGImageAlphaPremultipliedLast,
                      CGDataProviderCreateWithData(clearBytes), nullptr, true, kCGRenderingIntentDefault);
    Canvas c(4, 2);
    CGContextSetRGBFillColor(c.c, 1, 0, 0, 1);
    CGContextFillRect(c.c, CGRectMake(0, 0, 4, 2));
    CGContextSetBlendMode(c.c, kCGBlendModeCopy);
    CGContextDrawImage(c.c, CGRectMake(0, 0, 2, 2), clearImage);
    EXPECT_EQ(c.count(kClear), 4u);
    EXPECT_EQ(c.count(kRed), 4u);

    // A context's image is a copy: later drawing leaves it alone.
    CGImageRef snapshot = CGBitmapContextCreateImage(c.c);
    CGContextSetBlendMode(c.c, kCGBlendModeNormal);
    CGContextFillRect(c.c, CGRectMake(0, 0, 4, 2));
    EXPECT_EQ(CGImageGetBytePtr(snapshot)[2], 0);
    EXPECT_EQ(CGImageGetBytePtr(snapshot)[10], 255);
}

TEST(CGContextDrawing, ShadowsFallByTheirOffsetInBaseSpaceAndBlur) {
    Canvas k(8, 8);
    CGContextTranslateCTM(k.c, 0, 8);
    CGContextScaleCTM(k.c, 1, -1); // flipped: the offset still points up
    CGContextSetShadowWithColor(k.c, CGSizeMake(2, -2), 0, CGColorCreateGenericRGB(0, 0, 1, 1));
    CGContextSetRGBFillColor(k.c, 1, 0, 0, 1);
    CGContextFillRect(k.c, CGRectMake(1, 1, 3, 3)); // device rows 1-3
    EXPECT_EQ(k.pixel(1, 1), kRed);
    EXPECT_EQ(k.pixel(5, 5), kBlue) << "the shadow lies two pixels right and two down";
    EXPECT_EQ(k.pixel(4, 1), kClear);
    EXPECT_EQ(k.count(kRed), 9u);
    EXPECT_EQ(k.count(kBlue), 8u) << "the drawing covers the shadow where they overlap";

    // Blurred, the shadow spreads past its edge and fades; a null colour ends it.
    Canvas b(20, 20);
    CGContextSetShadowWithColor(b.c, CGSizeMake(0, 0), 4, CGColorCreateGenericRGB(0, 0, 0, 1));
    CGContextSetRGBFillColor(b.c, 1, 0, 0, 1);
    CGContextFillRect(b.c, CGRectMake(8, 8, 4, 4)); // device columns and rows 8-11
    EXPECT_GT(b.channel(7, 9, 24), 0);
    EXPECT_LT(b.channel(7, 9, 24), 255);
    EXPECT_EQ(b.pixel(0, 0), kClear);
    CGContextSetShadowWithColor(b.c, CGSizeMake(0, 0), 4, nullptr);
    CGContextFillRect(b.c, CGRectMake(0, 0, 2, 2)); // device rows 18-19
    EXPECT_EQ(b.channel(2, 19, 24), 0);
}

TEST(CGContextDrawing, LinearAndRadialGradients) {
    const CGFloat components[] = {0, 0, 0, 1, 1, 1, 1, 1};
    auto gradient =
        CGGradientCreateWithColorComponents(CGColorSpaceCreateDeviceRGB(), components, nullptr, 2);
    ASSERT_TRUE(gradient);
    Canvas k(100, 2);
    CGContextDrawLinearGradient(k.c, gradient, CGPointMake(20, 0), CGPointMake(80, 0),
                                kCGGradientDrawsBeforeStartLocation | kCGGradientDrawsAfterEndLocation);
    EXPECT_EQ(k.pixel(0, 0), 0xFF000000u);
    EXPECT_EQ(k.pixel(99, 1), 0xFFFFFFFFu);
    for (size_t x = 21; x < 80; ++x)
        EXPECT_GE(k.channel(x, 0, 8), k.channel(x - 1, 0, 8));
    EXPECT_NEAR(k.channel(50, 0, 8), 128, 3);

    // Without options only the band between start and end is painted.
    Canvas n(100, 1);
    CGContextDrawLinearGradient(n.c, gradient, CGPointMake(20, 0), CGPointMake(80, 0), 0);
    EXPECT_EQ(n.pixel(10, 0), kClear);
    EXPECT_EQ(n.pixel(90, 0), kClear);
    EXPECT_NE(n.pixel(50, 0), kClear);
    Canvas b(100, 1);
    CGContextDrawLinearGradient(b.c, gradient, CGPointMake(20, 0), CGPointMake(80, 0),
                                kCGGradientDrawsAfterEndLocation);
    EXPECT_EQ(b.pixel(10, 0), kClear);
    EXPECT_EQ(b.pixel(90, 0), 0xFFFFFFFFu);

    // Radial, extended: the centre has the start colour, the corners the end colour.
    Canvas r(40, 20);
    CGContextDrawRadialGradient(r.c, gradient, CGPointMake(20, 10), 0, CGPointMake(20, 10), 10,
                                kCGGradientDrawsBeforeStartLocation | kCGGradientDrawsAfterEndLocation);
    EXPECT_LT(r.channel(20, 10, 0), 30);
    EXPECT_EQ(r.pixel(0, 0), 0xFFFFFFFFu);
    EXPECT_EQ(r.pixel(39, 19), 0xFFFFFFFFu);
    Canvas r0(40, 20);
    CGContextDrawRadialGradient(r0.c, gradient, CGPointMake(20, 10), 0, CGPointMake(20, 10), 10, 0);
    EXPECT_EQ(r0.pixel(0, 0), kClear);
    EXPECT_NE(r0.pixel(20, 10), kClear);

    // The gradient follows the clip.
    Canvas c(10, 10);
    CGContextClipToRect(c.c, CGRectMake(0, 0, 5, 10));
    CGContextDrawLinearGradient(c.c, gradient, CGPointMake(0, 0), CGPointMake(10, 0), 3);
    EXPECT_EQ(c.pixel(7, 5), kClear);
    EXPECT_NE(c.pixel(2, 5), kClear);
}

TEST(CGContextHostileInput, NullContextsLogOneLineAndDoNothing) {
    platform::LogCapture log(true);
    CGContextRef none;
    CGContextFillRect(none, CGRectMake(0, 0, 1, 1));
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.contains("CGContextFillRect: invalid context 0x0"));
    log.clear();
    CGContextStrokePath(none);
    EXPECT_EQ(log.lines().size(), 1u);
    log.clear();
    CGContextDrawImage(none, CGRectMake(0, 0, 1, 1), fourColourImage());
    CGContextSaveGState(none);
    CGContextDrawLinearGradient(none, nullptr, CGPointZero, CGPointZero, 0);
    EXPECT_EQ(log.lines().size(), 3u);
    EXPECT_FALSE(CGBitmapContextCreateImage(none));
}

TEST(CGContextHostileInput, NonFiniteAndHugeGeometry) {
    platform::LogCapture log(true);
    const double nan = std::numeric_limits<double>::quiet_NaN(),
                 inf = std::numeric_limits<double>::infinity();
    Canvas k(8, 8);
    CGContextSetRGBFillColor(k.c, 1, 0, 0, 1);
    for (CGRect r : {CGRectMake(nan, 0, 4, 4), CGRectMake(0, 0, inf, 4), CGRectMake(0, 0, 4, nan)}) {
        log.clear();
        CGContextFillRect(k.c, r);
        CGContextDrawImage(k.c, r, fourColourImage());
        EXPECT_EQ(log.lines().size(), 2u);
    }
    EXPECT_EQ(k.count(kClear), 64u);

    // Huge rectangles cover the context and no more.
    CGContextFillRect(k.c, CGRectMake(-1e300, -1e300, 2e300, 2e300));
    EXPECT_EQ(k.count(kRed), 64u);
    CGContextSetRGBFillColor(k.c, 0, 0, 1, 1);
    CGContextFillRect(k.c, CGRectMake(-1e12, -1e12, 1e12 + 2, 1e12 + 2));
    EXPECT_EQ(k.count(kBlue), 4u);

    // A flattened transform draws nothing and the context keeps working afterwards.
    CGContextSaveGState(k.c);
    CGContextScaleCTM(k.c, 0, 0);
    CGContextSetRGBStrokeColor(k.c, 0, 1, 0, 1);
    CGContextStrokeRect(k.c, CGRectMake(0, 0, 8, 8));
    CGContextDrawImage(k.c, CGRectMake(0, 0, 8, 8), fourColourImage());
    CGContextRestoreGState(k.c);
    EXPECT_EQ(k.count(kGreen), 0u);
    CGContextScaleCTM(k.c, nan, 1);
    CGContextFillRect(k.c, CGRectMake(0, 0, 8, 8));
    EXPECT_EQ(k.count(kBlue), 4u);

    // Unbalanced restores, bad dashes, bad arcs, bad gradients.
    log.clear();
    Canvas g(8, 8);
    CGContextRestoreGState(g.c);
    const CGFloat dashes[] = {1, -1};
    CGContextSetLineDash(g.c, 0, dashes, 2);
    CGContextAddArc(g.c, 4, 4, nan, 0, 1, 0);
    const CGFloat components[] = {0, 0, 0, 1, 1, 1, 1, 1};
    const CGFloat locations[] = {0, nan};
    EXPECT_FALSE(
        CGGradientCreateWithColorComponents(CGColorSpaceCreateDeviceRGB(), components, locations, 2));
    auto gradient =
        CGGradientCreateWithColorComponents(CGColorSpaceCreateDeviceRGB(), components, nullptr, 2);
    CGContextDrawRadialGradient(g.c, gradient, CGPointMake(0, 0), -1, CGPointMake(0, 0), 4, 3);
    CGContextDrawLinearGradient(g.c, gradient, CGPointMake(nan, 0), CGPointMake(1, 0), 3);
    EXPECT_EQ(log.lines().size(), 6u);
    EXPECT_EQ(g.count(kClear), 64u);
    CGContextSetRGBStrokeColor(g.c, 0, 1, 0, 1);
    CGContextMoveToPoint(g.c, 0, 4.5);
    CGContextAddLineToPoint(g.c, 8, 4.5);
    CGContextStrokePath(g.c); // the bad dash left solid lines
    EXPECT_EQ(g.count(kGreen), 8u);
}
