// Graphics contexts, colours, rectangles, paths, gradients, focus rings and text.
#include "platform/appkit/NSAttributedString.h"
#include "platform/appkit/NSBezierPath.h"
#include "platform/appkit/NSGradient.h"
#include "platform/core/Log.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace appkit;

namespace {

constexpr uint32_t kRed = 0xFFFF0000u, kBlue = 0xFF0000FFu, kClear = 0;

// A BGRA premultiplied canvas made the current context while it lives.
struct Canvas {
    size_t width, height;
    std::vector<uint32_t> words;
    std::shared_ptr<NSGraphicsContext> context;
    Canvas(size_t w, size_t h, bool flipped = false) : width(w), height(h), words(w * h, 0) {
        auto c =
            cg::CGBitmapContextCreate(words.data(), w, h, 8, w * 4, cg::CGColorSpaceCreateDeviceRGB(),
                                      cg::kCGImageAlphaPremultipliedFirst | cg::kCGBitmapByteOrder32Little);
        if (flipped) {
            cg::CGContextTranslateCTM(c, 0, double(h));
            cg::CGContextScaleCTM(c, 1, -1);
        }
        context = NSGraphicsContext::graphicsContextWithCGContext(c, flipped);
        NSGraphicsContext::setCurrentContext(context);
    }
    ~Canvas() { NSGraphicsContext::setCurrentContext(nullptr); }
    uint32_t pixel(size_t x, size_t row) const { return words[row * width + x]; }
    int channel(size_t x, size_t row, int shift) const { return int(pixel(x, row) >> shift & 0xFF); }
    size_t count(uint32_t v) const { return size_t(std::count(words.begin(), words.end(), v)); }
    size_t painted() const { return words.size() - count(kClear); }
};

} // namespace

TEST(AppKitDrawingContext, TheCurrentContextAndItsStateStack) {
    platform::LogCapture log(true);
    NSGraphicsContext::setCurrentContext(nullptr);
    NSRectFill(cg::CGRectMake(0, 0, 1, 1));
    EXPECT_EQ(log.count("no current graphics context"), 1u);

    Canvas a(4, 4);
    NSColor::redColor()->setFill();
    NSGraphicsContext::saveGraphicsState();
    NSColor::blueColor()->setFill();
    {
        // Another context on top, then back.
        Canvas b(2, 2);
        NSRectFill(cg::CGRectMake(0, 0, 2, 2));
        EXPECT_EQ(b.count(0xFF000000u), 4u); // a fresh context fills black
        NSGraphicsContext::setCurrentContext(a.context);
    }
    NSGraphicsContext::setCurrentContext(a.context);
    NSRectFill(cg::CGRectMake(0, 0, 1, 1));
    EXPECT_EQ(a.pixel(0, 3), kBlue);
    NSGraphicsContext::restoreGraphicsState();
    EXPECT_EQ(NSGraphicsContext::currentContext(), a.context);
    NSRectFill(cg::CGRectMake(1, 0, 1, 1));
    EXPECT_EQ(a.pixel(1, 3), kRed); // the saved fill colour is back
    log.clear();
    NSGraphicsContext::restoreGraphicsState();
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST(AppKitDrawingRects, FillsFramesAndOperations) {
    Canvas k(6, 6);
    NSColor::colorWithDeviceRed(1, 0, 0, 1)->set();
    NSRectFill(cg::CGRectMake(0, 0, 6, 6));
    EXPECT_EQ(k.count(kRed), 36u);
    NSColor::clearColor()->set();
    NSRectFillUsingOperation(cg::CGRectMake(0, 0, 3, 6), NSCompositingOperationSourceOver);
    EXPECT_EQ(k.count(kRed), 36u);
    NSRectFillUsingOperation(cg::CGRectMake(0, 0, 3, 6), NSCompositingOperationCopy);
    EXPECT_EQ(k.count(kClear), 18u);

    Canvas f(6, 6);
    NSColor::colorWithCalibratedWhite(1, 1)->setFill();
    NSFrameRect(cg::CGRectMake(0, 0, 6, 6));
    EXPECT_EQ(f.count(0xFFFFFFFFu), 20u); // the ring of edge pixels
    EXPECT_EQ(f.pixel(2, 2), kClear);

    NSColor::redColor()->setFill();
    NSRectClip(cg::CGRectMake(0, 0, 1, 1));
    NSRectFill(cg::CGRectMake(0, 0, 6, 6));
    EXPECT_EQ(f.count(kRed), 1u);

    auto grey = NSColor::colorWithCalibratedWhite(0.5, 0.5);
    EXPECT_EQ(grey->numberOfComponents(), 2u);
    EXPECT_EQ(grey->blueComponent(), 0.5);
    EXPECT_EQ(cg::CGColorGetNumberOfComponents(grey->CGColor()), 2u);
    EXPECT_EQ(NSColor::colorWithCGColor(NSColor::redColor()->CGColor())->components(),
              NSColor::redColor()->components());
    EXPECT_EQ(grey->colorWithAlphaComponent(1)->alphaComponent(), 1);
}

TEST(AppKitDrawingPaths, FillStrokeAndClipWithTheirOwnStyle) {
    Canvas k(20, 20);
    NSColor::redColor()->set();
    auto oval = NSBezierPath::bezierPathWithOvalInRect(cg::CGRectMake(0, 0, 20, 20));
    oval->fill();
    EXPECT_EQ(k.pixel(10, 10), kRed);
    EXPECT_EQ(k.pixel(0, 0), kClear);

    Canvas s(20, 20);
    NSColor::blueColor()->setStroke();
    auto line = NSBezierPath::bezierPath();
    line->moveToPoint({0, 10});
    line->lineToPoint({20, 10});
    line->setLineWidth(4);
    line->stroke();
    EXPECT_EQ(s.count(kBlue), 80u);                        // rows 8 to 12 from the bottom
    EXPECT_EQ(NSBezierPath::bezierPath()->lineWidth(), 1); // its own width, not the context's

    Canvas r(20, 20);
    NSColor::redColor()->setFill();
    auto ring = NSBezierPath::bezierPathWithRect(cg::CGRectMake(0, 0, 20, 20));
    ring->appendBezierPathWithRect(cg::CGRectMake(5, 5, 10, 10));
    ring->setWindingRule(NSWindingRuleEvenOdd);
    ring->fill();
    EXPECT_EQ(r.count(kRed), 300u);
    NSGraphicsContext::saveGraphicsState();
    NSBezierPath::bezierPathWithRect(cg::CGRectMake(0, 0, 10, 20))->addClip();
    NSColor::blueColor()->setFill();
    NSRectFill(cg::CGRectMake(0, 0, 20, 20));
    NSGraphicsContext::restoreGraphicsState();
    EXPECT_EQ(r.count(kBlue), 200u);

    // Arcs in degrees: a half disc above the centre.
    Canvas a(20, 20);
    NSColor::redColor()->setFill();
    auto half = NSBezierPath::bezierPath();
    half->moveToPoint({10, 10});
    half->appendBezierPathWithArcWithCenter({10, 10}, 8, 0, 180);
    half->closePath();
    half->fill();
    EXPECT_EQ(a.pixel(10, 5), kRed);
    EXPECT_EQ(a.pixel(10, 15), kClear);
    EXPECT_TRUE(cg::CGRectEqualToRect(
        NSBezierPath::bezierPathWithRoundedRect(cg::CGRectMake(1, 2, 10, 5), 2, 2)->bounds(),
        cg::CGRectMake(1, 2, 10, 5)));
}

TEST(AppKitDrawingGradients, LinearAtAnAngleAndRadialToTheCorners) {
    auto gradient = NSGradient::initWithStartingColor(NSColor::blackColor(), NSColor::whiteColor());
    ASSERT_TRUE(gradient);
    Canvas k(100, 10);
    gradient->drawInRect(cg::CGRectMake(0, 0, 100, 10), 0);
    EXPECT_LT(k.channel(0, 5, 0), 5);
    EXPECT_GT(k.channel(99, 5, 0), 250);
    EXPECT_EQ(k.count(kClear), 0u);

    Canvas v(10, 100);
    gradient->drawInRect(cg::CGRectMake(0, 0, 10, 50), 90); // only the lower half, black at its bottom
    EXPECT_LT(v.channel(5, 99, 0), 5);
    EXPECT_GT(v.channel(5, 50, 0), 250);
    EXPECT_EQ(v.pixel(5, 20), kClear);

    // A view twice as wide as high: from radius 10 at the centre out to half the diagonal,
    // drawing before the start and after the end, so its corners take the end colour.
    Canvas r(200, 100);
    const double outer = std::hypot(200, 100) / 2;
    gradient->drawFromCenter({100, 50}, 10, {100, 50}, outer,
                             NSGradientDrawsBeforeStartingLocation | NSGradientDrawsAfterEndingLocation);
    EXPECT_EQ(r.pixel(100, 50), 0xFF000000u);
    EXPECT_GT(r.channel(0, 0, 0), 250);
    EXPECT_GT(r.channel(199, 99, 0), 250);
    EXPECT_LT(r.channel(150, 50, 0), r.channel(199, 50, 0));

    EXPECT_FALSE(NSGradient::initWithColors({NSColor::redColor()}, nullptr));
    EXPECT_FALSE(NSGradient::initWithColors({NSColor::redColor(), nullptr}, nullptr));
}

TEST(AppKitDrawingFocusRing, AFocusRingStyleDrawsTheRingOutsideTheShape) {
    Canvas k(20, 20);
    NSColor::redColor()->setFill();
    NSGraphicsContext::saveGraphicsState();
    NSSetFocusRingStyle(NSFocusRingOnly);
    NSRectFill(cg::CGRectMake(5, 5, 10, 10));
    NSGraphicsContext::restoreGraphicsState();
    EXPECT_EQ(k.pixel(10, 10), kClear);                   // only the ring
    EXPECT_NE(k.pixel(3, 10), kClear);                    // two points outside the left edge
    EXPECT_EQ(k.pixel(0, 10), kClear);                    // but not beyond three points
    EXPECT_GT(k.channel(3, 10, 0), k.channel(3, 10, 16)); // in the focus colour (blue over red)
    // Restored: fills fill again.
    NSRectFill(cg::CGRectMake(5, 5, 10, 10));
    EXPECT_EQ(k.pixel(10, 10), kRed);
}

TEST(AppKitDrawingText, AttributedStringsPaintTheirRunsInsideTheirRectangle) {
    Canvas k(200, 40);
    NSStringAttributes white{NSFont::fontWithName("OpenSans-Semibold", 16), NSColor::whiteColor(), nullptr};
    NSAttributedString text("Connect your iPad", white);
    text.addAttributes({NSFont::fontWithName("OpenSans-Bold", 16), NSColor::redColor(), nullptr}, 8, 4);
    ASSERT_EQ(text.runs().size(), 3u);
    EXPECT_EQ(text.attributesAtIndex(9).font->fontName(), "OpenSans-Bold");
    EXPECT_EQ(text.attributesAtIndex(2).font->fontName(), "OpenSans-Semibold");
    text.drawInRect(cg::CGRectMake(0, 0, 200, 40));
    size_t whitePixels = 0, red = 0;
    for (uint32_t w : k.words) {
        if (w == 0xFFFFFFFFu) ++whitePixels;
        if ((w & 0xFFFFu) == 0 && (w >> 16 & 0xFF) > 0) ++red;
    }
    EXPECT_GT(whitePixels, 20u);
    EXPECT_GT(red, 10u);

    // Clipped to the rectangle, and centred in it.
    Canvas c(200, 40);
    auto style = std::make_shared<NSParagraphStyle>();
    style->alignment = NSTextAlignmentCenter;
    NSAttributedString centred("Hi", {NSFont::systemFontOfSize(16), NSColor::redColor(), style});
    centred.drawInRect(cg::CGRectMake(50, 0, 100, 40));
    double sumX = 0;
    size_t n = 0;
    for (size_t row = 0; row < 40; ++row)
        for (size_t x = 0; x < 200; ++x)
            if (c.pixel(x, row)) {
                EXPECT_GE(x, 50u);
                EXPECT_LT(x, 150u);
                sumX += double(x), ++n;
            }
    ASSERT_GT(n, 0u);
    EXPECT_NEAR(sumX / double(n), 100, 8);

    // A flipped context lays text from the top, upright.
    Canvas f(200, 40, true);
    drawStringAtPoint("Hi", {0, 0}, {NSFont::systemFontOfSize(16), NSColor::redColor(), nullptr});
    size_t top = 0, bottom = 0;
    for (size_t row = 0; row < 40; ++row)
        for (size_t x = 0; x < 200; ++x)
            if (f.pixel(x, row)) (row < 20 ? top : bottom)++;
    EXPECT_GT(top, 0u);
    EXPECT_EQ(bottom, 0u);

    EXPECT_EQ(NSFont::fontWithName("X", 0)->pointSize(), 12);
    EXPECT_EQ(NSFont::boldSystemFontOfSize(10)->fontName(), "Helvetica-Bold");
}
