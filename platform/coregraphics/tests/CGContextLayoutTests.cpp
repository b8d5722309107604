// Each bitmap layout's bytes after a draw, and what contexts and images refuse.
#include "platform/core/Log.h"
#include "platform/coregraphics/CGContext.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

using namespace cg;

namespace {

struct Layout {
    const char* name;
    size_t bitsPerComponent;
    CGBitmapInfo info;
    bool grey;
    size_t bytesPerPixel;
    // The first pixel after filling it with opaque (1, 0.6, 0.2).
    std::vector<uint8_t> filled;
};

std::vector<uint8_t> floats(float r, float g, float b, float a) {
    std::vector<uint8_t> out(16);
    const float f[4] = {r, g, b, a};
    std::memcpy(out.data(), f, 16);
    return out;
}

const Layout kLayouts[] = {
    {"grey", 8, kCGImageAlphaNone, true, 1, {172}},
    {"alpha-only", 8, kCGImageAlphaOnly, false, 1, {255}},
    {"ARGB premultiplied", 8, kCGImageAlphaPremultipliedFirst, false, 4, {255, 255, 153, 51}},
    {"ARGB premultiplied big",
     8,
     kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Big,
     false,
     4,
     {255, 255, 153, 51}},
    {"BGRA premultiplied",
     8,
     kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little,
     false,
     4,
     {51, 153, 255, 255}},
    {"RGBA premultiplied", 8, kCGImageAlphaPremultipliedLast, false, 4, {255, 153, 51, 255}},
    {"ABGR premultiplied",
     8,
     kCGImageAlphaPremultipliedLast | kCGBitmapByteOrder32Little,
     false,
     4,
     {255, 51, 153, 255}},
    {"XRGB", 8, kCGImageAlphaNoneSkipFirst, false, 4, {255, 255, 153, 51}},
    {"BGRX", 8, kCGImageAlphaNoneSkipFirst | kCGBitmapByteOrder32Little, false, 4, {51, 153, 255, 255}},
    {"RGBX", 8, kCGImageAlphaNoneSkipLast, false, 4, {255, 153, 51, 255}},
    {"XBGR", 8, kCGImageAlphaNoneSkipLast | kCGBitmapByteOrder32Little, false, 4, {255, 51, 153, 255}},
    {"float RGBA", 32, kCGImageAlphaPremultipliedLast | kCGBitmapFloatComponents, false, 16,
     floats(1.0f, 153 / 255.0f, 51 / 255.0f, 1.0f)},
};

CGColorSpaceRef spaceFor(const Layout& l) {
    if (l.grey) return CGColorSpaceCreateDeviceGray();
    if ((l.info & kCGBitmapAlphaInfoMask) == kCGImageAlphaOnly) return nullptr;
    return CGColorSpaceCreateDeviceRGB();
}

} // namespace

TEST(CGContextLayouts, EachLayoutHoldsTheDrawnPixelInTheCallersMemoryAfterTheCall) {
    // Packed rows (Cairo draws BGRA and BGRX in place), and rows padded by an odd count (so
    // the stride is honoured, and every layout goes through a converted surface).
    for (size_t pad : {0, 3})
        for (const Layout& l : kLayouts) {
            SCOPED_TRACE(std::string(l.name) + (pad ? " padded" : " packed"));
            const size_t width = 4, height = 3, bytesPerRow = width * l.bytesPerPixel + pad;
            std::vector<uint8_t> memory(bytesPerRow * height, 0);
            auto c = CGBitmapContextCreate(memory.data(), width, height, l.bitsPerComponent, bytesPerRow,
                                           spaceFor(l), l.info);
            ASSERT_TRUE(c);
            CGContextSetRGBFillColor(c, 1, 0.6, 0.2, 1);
            // The top-left pixel: y is up, so it is the last row of user space.
            CGContextFillRect(c, CGRectMake(0, 2, 1, 1));
            EXPECT_EQ(std::vector<uint8_t>(memory.begin(), memory.begin() + l.bytesPerPixel), l.filled);
            // Everything else was left alone.
            const std::vector<uint8_t> untouched(l.bytesPerPixel, 0);
            for (size_t y = 0; y < height; ++y) {
                for (size_t x = (y == 0 ? 1 : 0); x < width; ++x) {
                    const uint8_t* p = memory.data() + y * bytesPerRow + x * l.bytesPerPixel;
                    EXPECT_EQ(std::vector<uint8_t>(p, p + l.bytesPerPixel), untouched)
                        << "pixel " << x << "," << y;
                }
            }
            // The padding after each row is never written.
            for (size_t y = 0; y < height; ++y)
                for (size_t k = width * l.bytesPerPixel; k < bytesPerRow; ++k)
                    EXPECT_EQ(memory[y * bytesPerRow + k], 0);
        }
}

TEST(CGContextLayouts, DrawingComposesOverWhatTheCallerWroteBetweenCalls) {
    // Grey, drawn through a shadow surface: the caller's bytes are read back before each draw.
    std::vector<uint8_t> memory(4 * 2, 0);
    auto c =
        CGBitmapContextCreate(memory.data(), 4, 2, 8, 4, CGColorSpaceCreateDeviceGray(), kCGImageAlphaNone);
    ASSERT_TRUE(c);
    std::fill(memory.begin(), memory.end(), 200);
    CGContextSetGrayFillColor(c, 0, 0.5);
    CGContextFillRect(c, CGRectMake(0, 0, 2, 2));
    EXPECT_NEAR(memory[0], 100, 1);
    EXPECT_NEAR(memory[5], 100, 1);
    EXPECT_EQ(memory[2], 200);
    EXPECT_EQ(memory[7], 200);

    // BGRA premultiplied over the caller's memory directly.
    std::vector<uint32_t> words(4, 0xFF0000FFu); // opaque blue
    auto d = CGBitmapContextCreate(words.data(), 2, 2, 8, 8, CGColorSpaceCreateDeviceRGB(),
                                   kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little);
    ASSERT_TRUE(d);
    words[3] = 0xFF00FF00u; // green, written by the caller after creation
    CGContextSetRGBFillColor(d, 1, 0, 0, 0.6);
    CGContextFillRect(d, CGRectMake(0, 0, 2, 1)); // the bottom row: words 2 and 3
    EXPECT_EQ(words[0], 0xFF0000FFu);
    EXPECT_EQ(words[2] & 0xFF00FF00u, 0xFF000000u);
    EXPECT_NEAR(int(words[3] >> 8 & 0xFF), 102, 1); // green × 0.4
    EXPECT_NEAR(int(words[3] >> 16 & 0xFF), 153, 1);
}

TEST(CGContextLayouts, SkippedAlphaReadsOpaqueAndIsWrittenOpaque) {
    for (CGBitmapInfo info : {CGBitmapInfo(kCGImageAlphaNoneSkipFirst | kCGBitmapByteOrder32Little),
                              CGBitmapInfo(kCGImageAlphaNoneSkipLast)}) {
        std::vector<uint8_t> memory(4 * 4, 0);
        auto c = CGBitmapContextCreate(memory.data(), 2, 2, 8, 8, CGColorSpaceCreateDeviceRGB(), info);
        ASSERT_TRUE(c);
        // A half-transparent white over black (zeroed memory is opaque black here).
        CGContextSetRGBFillColor(c, 1, 1, 1, 0.6);
        CGContextFillRect(c, CGRectMake(0, 0, 2, 2));
        const int alphaByte = 3; // last in memory for both
        for (int px = 0; px < 4; ++px) {
            for (int k = 0; k < 4; ++k) {
                if (k == alphaByte) continue;
                EXPECT_NEAR(memory[px * 4 + k], 153, 1) << "info " << info;
            }
        }
    }
}

TEST(CGContextLayouts, ImagesOfEveryLayoutDrawAlike) {
    for (const Layout& l : kLayouts) {
        if ((l.info & kCGBitmapAlphaInfoMask) == kCGImageAlphaOnly || l.grey) continue;
        SCOPED_TRACE(l.name);
        // Draw into a context of the layout, make an image, draw it into a BGRA context.
        auto source = CGBitmapContextCreate(nullptr, 2, 1, l.bitsPerComponent, 0, spaceFor(l), l.info);
        ASSERT_TRUE(source);
        CGContextSetRGBFillColor(source, 1, 0.6, 0.2, 1);
        CGContextFillRect(source, CGRectMake(0, 0, 1, 1));
        CGImageRef image = CGBitmapContextCreateImage(source);
        ASSERT_TRUE(image);
        EXPECT_EQ(CGImageGetBitmapInfo(image), l.info);
        std::vector<uint32_t> out(2, 0);
        auto c = CGBitmapContextCreate(out.data(), 2, 1, 8, 8, CGColorSpaceCreateDeviceRGB(),
                                       kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little);
        CGContextSetInterpolationQuality(c, kCGInterpolationNone);
        CGContextDrawImage(c, CGRectMake(0, 0, 2, 1), image);
        EXPECT_EQ(out[0], 0xFFFF9933u);
        const bool skip = (l.info & kCGBitmapAlphaInfoMask) >= kCGImageAlphaNoneSkipLast;
        EXPECT_EQ(out[1], skip ? 0xFF000000u : 0u);
    }
}

TEST(CGContextLayouts, UnsupportedLayoutsAnswerNullWithOneLogLine) {
    platform::LogCapture log(true);
    auto rgb = CGColorSpaceCreateDeviceRGB(), grey = CGColorSpaceCreateDeviceGray();
    struct Case {
        size_t bpc;
        CGColorSpaceRef space;
        CGBitmapInfo info;
    } cases[] = {
        {16, rgb, kCGImageAlphaPremultipliedLast},
        {8, rgb, kCGImageAlphaLast}, // not premultiplied
        {8, rgb, kCGImageAlphaNone}, // 24-bit RGB
        {8, rgb, kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder16Little},
        {8, grey, kCGImageAlphaPremultipliedLast},     // grey with alpha
        {8, nullptr, kCGImageAlphaPremultipliedFirst}, // RGB without a space
        {32, rgb, kCGImageAlphaPremultipliedFirst | kCGBitmapFloatComponents},
        {32, rgb, kCGImageAlphaPremultipliedLast | kCGBitmapFloatComponents | kCGBitmapByteOrder32Big},
        {8, rgb, 0x12345678},
    };
    for (const auto& k : cases) {
        log.clear();
        EXPECT_FALSE(CGBitmapContextCreate(nullptr, 4, 4, k.bpc, 0, k.space, k.info)) << k.info;
        EXPECT_EQ(log.lines().size(), 1u);
        log.clear();
        EXPECT_FALSE(CGImageCreate(4, 4, k.bpc, k.bpc * 4, 64, k.space, k.info,
                                   CGDataProviderCreateWithData(std::vector<uint8_t>(1024)), nullptr, true,
                                   kCGRenderingIntentDefault));
        EXPECT_EQ(log.lines().size(), 1u);
    }
    // Sizes: zero, over 16384, rows too short, a provider too short.
    EXPECT_FALSE(CGBitmapContextCreate(nullptr, 0, 4, 8, 0, rgb, kCGImageAlphaPremultipliedLast));
    EXPECT_FALSE(CGBitmapContextCreate(nullptr, 16385, 1, 8, 0, rgb, kCGImageAlphaPremultipliedLast));
    EXPECT_FALSE(CGBitmapContextCreate(nullptr, 4, 4, 8, 15, rgb, kCGImageAlphaPremultipliedLast));
    EXPECT_FALSE(CGImageCreate(4, 4, 8, 32, 16, rgb, kCGImageAlphaPremultipliedLast,
                               CGDataProviderCreateWithData(std::vector<uint8_t>(63)), nullptr, true,
                               kCGRenderingIntentDefault));
    EXPECT_TRUE(CGImageCreate(4, 4, 8, 32, 16, rgb, kCGImageAlphaPremultipliedLast,
                              CGDataProviderCreateWithData(std::vector<uint8_t>(64)), nullptr, true,
                              kCGRenderingIntentDefault));
}

TEST(CGContextLayouts, ReleaseCallbacksRunWhenTheLastUserLetsGo) {
    static int contextReleases = 0, providerReleases = 0;
    std::vector<uint8_t> memory(64);
    auto c = CGBitmapContextCreateWithData(
        memory.data(), 4, 4, 8, 16, CGColorSpaceCreateDeviceRGB(), kCGImageAlphaPremultipliedLast,
        [](void* info, void* data) {
            ++contextReleases;
            EXPECT_EQ(info, reinterpret_cast<void*>(7));
            EXPECT_NE(data, nullptr);
        },
        reinterpret_cast<void*>(7));
    ASSERT_TRUE(c);
    c.reset();
    EXPECT_EQ(contextReleases, 1);
    // A failed creation gives the memory back at once.
    EXPECT_FALSE(CGBitmapContextCreateWithData(
        memory.data(), 4, 4, 16, 16, CGColorSpaceCreateDeviceRGB(), kCGImageAlphaPremultipliedLast,
        [](void*, void*) { ++contextReleases; }, nullptr));
    EXPECT_EQ(contextReleases, 2);

    auto provider = CGDataProviderCreateWithData(nullptr, memory.data(), memory.size(),
                                                 [](void*, const void*, size_t size) {
                                                     ++providerReleases;
                                                     EXPECT_EQ(size, 64u);
                                                 });
    CGImageRef image =
        CGImageCreate(4, 4, 8, 32, 16, CGColorSpaceCreateDeviceRGB(), kCGImageAlphaPremultipliedLast,
                      provider, nullptr, true, kCGRenderingIntentDefault);
    ASSERT_TRUE(image);
    provider.reset();
    EXPECT_EQ(providerReleases, 0); // the image still uses the bytes
    CGImageRef cut = CGImageCreateWithImageInRect(image, CGRectMake(1, 1, 2, 2));
    image.reset();
    EXPECT_EQ(providerReleases, 0);
    cut.reset();
    EXPECT_EQ(providerReleases, 1);
}
