#include "platform/core/Log.h"
#include "platform/imageio/ImageIO.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <unistd.h>

using namespace imageio;
using namespace cg;

namespace {

// A 3 × 1 image: opaque red, blue at alpha 0.6, transparent; drawn in the given layout.
CGImageRef sample(CGBitmapInfo info) {
    auto c = CGBitmapContextCreate(nullptr, 3, 1, 8, 0, CGColorSpaceCreateDeviceRGB(), info);
    CGContextSetRGBFillColor(c, 1, 0, 0, 1);
    CGContextFillRect(c, CGRectMake(0, 0, 1, 1));
    CGContextSetRGBFillColor(c, 0, 0, 1, 0.6);
    CGContextFillRect(c, CGRectMake(1, 0, 1, 1));
    return CGBitmapContextCreateImage(c);
}

std::vector<uint8_t> png(const CGImageRef& image) {
    auto data = std::make_shared<std::vector<uint8_t>>();
    auto destination = CGImageDestinationCreateWithData(data, kUTTypePNG, 1, nullptr);
    CGImageDestinationAddImage(destination, image, nullptr);
    EXPECT_TRUE(CGImageDestinationFinalize(destination));
    return *data;
}

} // namespace

TEST(ImageIOPNG, WrittenImagesReadBackWithTheirPixels) {
    std::vector<uint8_t> file = png(sample(kCGImageAlphaPremultipliedLast));
    auto source = CGImageSourceCreateWithData(file, nullptr);
    ASSERT_TRUE(source);
    EXPECT_EQ(CGImageSourceGetType(source), kUTTypePNG);
    EXPECT_EQ(CGImageSourceGetCount(source), 1u);
    CGImageRef image = CGImageSourceCreateImageAtIndex(source, 0, nullptr);
    ASSERT_TRUE(image);
    EXPECT_EQ(CGImageGetWidth(image), 3u);
    EXPECT_EQ(CGImageGetAlphaInfo(image), kCGImageAlphaPremultipliedLast);
    const uint8_t* p = CGImageGetBytePtr(image);
    EXPECT_EQ(std::vector<uint8_t>(p, p + 4), (std::vector<uint8_t>{255, 0, 0, 255}));
    EXPECT_NEAR(p[6], 153, 1);
    EXPECT_EQ(p[7], 153);
    EXPECT_EQ(std::vector<uint8_t>(p + 8, p + 12), (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_FALSE(CGImageSourceCreateImageAtIndex(source, 1, nullptr));
}

TEST(ImageIOPNG, EqualPixelsGiveEqualFilesWhateverTheLayout) {
    std::vector<uint8_t> a = png(sample(kCGImageAlphaPremultipliedLast));
    std::vector<uint8_t> b = png(sample(kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little));
    EXPECT_EQ(a, b);
    // Colour type in IHDR: 6 (RGBA) with alpha, 2 (RGB) without.
    ASSERT_GT(a.size(), 26u);
    EXPECT_EQ(a[25], 6);
    std::vector<uint8_t> opaque = png(sample(kCGImageAlphaNoneSkipLast));
    EXPECT_EQ(opaque[25], 2);
}

TEST(ImageIOPNG, DestinationsRefuseWhatTheyCannotWrite) {
    platform::LogCapture log(true);
    auto data = std::make_shared<std::vector<uint8_t>>();
    EXPECT_FALSE(CGImageDestinationCreateWithData(data, "public.jpeg", 1, nullptr));
    EXPECT_FALSE(CGImageDestinationCreateWithData(nullptr, kUTTypePNG, 1, nullptr));
    EXPECT_FALSE(CGImageDestinationCreateWithData(data, kUTTypePNG, 0, nullptr));
    EXPECT_EQ(log.lines().size(), 3u);

    auto destination = CGImageDestinationCreateWithData(data, kUTTypePNG, 1, nullptr);
    EXPECT_FALSE(CGImageDestinationFinalize(destination)); // nothing added
    auto second = CGImageDestinationCreateWithData(data, kUTTypePNG, 2, nullptr);
    CGImageDestinationAddImage(second, sample(kCGImageAlphaPremultipliedLast), nullptr);
    log.clear();
    CGImageDestinationAddImage(second, sample(kCGImageAlphaNoneSkipLast), nullptr);
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(CGImageDestinationFinalize(second));
    EXPECT_FALSE(CGImageDestinationFinalize(second));
    EXPECT_EQ(*data, png(sample(kCGImageAlphaPremultipliedLast)));

    // Files: written at finalization; an unwritable path fails, logged.
    char dir[] = "/tmp/imageio-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    std::string path = std::string(dir) + "/a.png";
    auto file = CGImageDestinationCreateWithURL(path, kUTTypePNG, 1, nullptr);
    CGImageDestinationAddImage(file, sample(kCGImageAlphaPremultipliedLast), nullptr);
    EXPECT_TRUE(CGImageDestinationFinalize(file));
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}), *data);
    std::remove(path.c_str());
    rmdir(dir);
    auto nowhere =
        CGImageDestinationCreateWithURL(std::string(dir) + "/missing/b.png", kUTTypePNG, 1, nullptr);
    CGImageDestinationAddImage(nowhere, sample(kCGImageAlphaPremultipliedLast), nullptr);
    log.clear();
    EXPECT_FALSE(CGImageDestinationFinalize(nowhere));
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST(ImageIOPNG, CorruptImagesAnswerNullWithOneLogLine) {
    platform::LogCapture log(true);
    EXPECT_FALSE(CGImageSourceCreateWithData({}, nullptr));
    std::vector<uint8_t> good = png(sample(kCGImageAlphaPremultipliedLast));
    std::vector<std::vector<uint8_t>> bad = {
        {1, 2, 3},
        std::vector<uint8_t>(good.begin(), good.begin() + 8), // the signature alone
        std::vector<uint8_t>(good.begin(), good.end() - 20),  // truncated
    };
    std::vector<uint8_t> flipped = good;
    flipped[40] ^= 0xFF; // inside the compressed data: its checksum fails
    bad.push_back(flipped);
    std::vector<uint8_t> huge = good;
    huge[16] = 0x7F; // width far past 16384
    bad.push_back(huge);
    for (const auto& data : bad) {
        log.clear();
        auto source = CGImageSourceCreateWithData(data, nullptr);
        ASSERT_TRUE(source);
        EXPECT_FALSE(CGImageSourceCreateImageAtIndex(source, 0, nullptr));
        EXPECT_EQ(log.lines().size(), 1u);
    }
    EXPECT_EQ(CGImageSourceGetCount(CGImageSourceCreateWithData({1, 2, 3}, nullptr)), 0u);
}
