// Text paints in the fill colour, in one font; no exact text pixels are compared.
#include "platform/core/Log.h"
#include "platform/coregraphics/CGContext.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

using namespace cg;

namespace {

struct Picture {
    std::vector<uint32_t> words;
    CGContextRef c;
    Picture() : words(100 * 40, 0) {
        c = CGBitmapContextCreate(words.data(), 100, 40, 8, 400, CGColorSpaceCreateDeviceRGB(),
                                  kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little);
    }
    size_t painted() const {
        return size_t(std::count_if(words.begin(), words.end(), [](uint32_t w) { return w != 0; }));
    }
};

Picture drawn(const char* font, const char* text, double x = 2, double y = 10) {
    Picture p;
    CGContextSetRGBFillColor(p.c, 1, 0, 0, 1);
    CGContextSelectFont(p.c, font, 16, kCGEncodingMacRoman);
    CGContextShowTextAtPoint(p.c, x, y, text, std::strlen(text));
    return p;
}

} // namespace

TEST(CGContextText, TextPaintsInTheFillColourAboveItsBaseline) {
    Picture p = drawn("Helvetica", "Hello");
    EXPECT_GT(p.painted(), 20u);
    // Only red (at any coverage), and only above the baseline at y 10 (memory rows up to 30)
    // up to the font's height.
    for (size_t row = 0; row < 40; ++row) {
        for (size_t x = 0; x < 100; ++x) {
            uint32_t w = p.words[row * 100 + x];
            if (!w) continue;
            EXPECT_EQ(w & 0xFFFFu, 0u);
            EXPECT_LT(row, 31u);
            EXPECT_GT(row, 10u);
        }
    }
    // The position advanced past the text.
    CGPoint after = CGContextGetTextPosition(p.c);
    EXPECT_GT(after.x, 30);
    EXPECT_LT(after.x, 80);
    EXPECT_EQ(after.y, 10);
}

TEST(CGContextText, EveryFontNameIsTheOneFontAndBoldNamesItsBoldFace) {
    Picture a = drawn("Helvetica", "Tessel"), b = drawn("OpenSans-Semibold", "Tessel"),
            c = drawn("OpenSans-Bold", "Tessel");
    EXPECT_EQ(a.words, b.words);
    EXPECT_NE(a.words, c.words);
    EXPECT_GT(c.painted(), a.painted());
}

TEST(CGContextText, InvisibleTextOnlyMeasures) {
    Picture p;
    CGContextSelectFont(p.c, "Helvetica", 16, kCGEncodingMacRoman);
    CGContextSetTextDrawingMode(p.c, kCGTextInvisible);
    CGContextShowTextAtPoint(p.c, 0, 10, "Hello", 5);
    const double one = CGContextGetTextPosition(p.c).x;
    CGContextShowTextAtPoint(p.c, 0, 10, "Hello Hello", 11);
    EXPECT_GT(one, 0);
    EXPECT_GT(CGContextGetTextPosition(p.c).x, 2 * one);
    EXPECT_EQ(p.painted(), 0u);
}

TEST(CGContextText, TextThatCannotBeDrawnIsLoggedOnce) {
    platform::LogCapture log(true);
    const char bad[] = {'a', char(0xC3), 0};
    Picture p = drawn("Helvetica", bad);
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(p.painted(), 0u);
    log.clear();
    Picture q = drawn("Helvetica", "Hi", std::numeric_limits<double>::quiet_NaN(), 0);
    EXPECT_EQ(log.lines().size(), 1u);
    log.clear();
    CGContextSetFontSize(q.c, 0);
    CGContextShowTextAtPoint(q.c, 0, 0, "Hi", 2);
    CGContextSetFontSize(q.c, std::numeric_limits<double>::infinity());
    CGContextShowTextAtPoint(q.c, 0, 0, "Hi", 2);
    EXPECT_EQ(log.lines().size(), 2u);
    EXPECT_EQ(q.painted(), 0u);
    // The context still draws text afterwards.
    CGContextSetFontSize(q.c, 16);
    CGContextShowTextAtPoint(q.c, 2, 10, "Hi", 2);
    EXPECT_GT(q.painted(), 0u);
}
