// Images: drawing, focus, copies and TIFF files.
#include "platform/appkit/NSGraphicsContext.h"
#include "platform/appkit/NSImage.h"
#include "platform/core/Log.h"

#include <gtest/gtest.h>

#include <tiffio.h>

#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <vector>

using namespace appkit;

namespace {

constexpr uint32_t kRed = 0xFFFF0000u, kGreen = 0xFF00FF00u, kBlue = 0xFF0000FFu, kWhite = 0xFFFFFFFFu;

struct Canvas {
    size_t width;
    std::vector<uint32_t> words;
    std::shared_ptr<NSGraphicsContext> context;
    Canvas(size_t w, size_t h) : width(w), words(w * h, 0) {
        auto c =
            cg::CGBitmapContextCreate(words.data(), w, h, 8, w * 4, cg::CGColorSpaceCreateDeviceRGB(),
                                      cg::kCGImageAlphaPremultipliedFirst | cg::kCGBitmapByteOrder32Little);
        cg::CGContextSetInterpolationQuality(c, cg::kCGInterpolationNone);
        context = NSGraphicsContext::graphicsContextWithCGContext(c, false);
        NSGraphicsContext::setCurrentContext(context);
    }
    ~Canvas() { NSGraphicsContext::setCurrentContext(nullptr); }
    uint32_t pixel(size_t x, size_t row) const { return words[row * width + x]; }
};

// A 2 × 2 image, rows from the top: red green / blue white, as an RGBA representation.
std::shared_ptr<NSImage> fourColours(NSBitmapFormat format = 0) {
    auto rep = NSBitmapImageRep::initWithBitmapDataPlanes(nullptr, 2, 2, 8, 4, true, false,
                                                          NSDeviceRGBColorSpace, format, 8, 32);
    const uint8_t rgba[] = {255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255, 255, 255, 255};
    std::memcpy(rep->bitmapData(), rgba, sizeof rgba);
    auto image = NSImage::initWithSize({2, 2});
    image->addRepresentation(rep);
    return image;
}

struct TIFFPage {
    uint32_t width = 0, height = 0;
    uint16_t samples = 0, compression = 0;
    std::vector<uint8_t> pixels;
};

std::vector<TIFFPage> readTIFF(const std::vector<uint8_t>& bytes) {
    char path[] = "/tmp/appkit-tiff-XXXXXX";
    int fd = mkstemp(path);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    close(fd);
    std::vector<TIFFPage> pages;
    TIFF* tif = TIFFOpen(path, "r");
    EXPECT_TRUE(tif);
    if (tif) {
        do {
            TIFFPage page;
            TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &page.width);
            TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &page.height);
            TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &page.samples);
            TIFFGetField(tif, TIFFTAG_COMPRESSION, &page.compression);
            std::vector<uint8_t> row(TIFFScanlineSize(tif));
            for (uint32_t y = 0; y < page.height; ++y) {
                TIFFReadScanline(tif, row.data(), y, 0);
                page.pixels.insert(page.pixels.end(), row.begin(), row.end());
            }
            pages.push_back(page);
        } while (TIFFReadDirectory(tif));
        TIFFClose(tif);
    }
    unlink(path);
    return pages;
}

} // namespace

TEST(AppKitDrawingImages, ImagesDrawTheirBestRepresentationTopRowUp) {
    for (NSBitmapFormat format : {NSBitmapFormat(0), NSBitmapFormatAlphaNonpremultiplied}) {
        Canvas k(4, 4);
        fourColours(format)->drawInRect(cg::CGRectMake(0, 0, 4, 4));
        EXPECT_EQ(k.pixel(0, 0), kRed);
        EXPECT_EQ(k.pixel(3, 1), kGreen);
        EXPECT_EQ(k.pixel(1, 3), kBlue);
        EXPECT_EQ(k.pixel(3, 3), kWhite);
    }
    // A part (points, y up): the top-right quarter is green.
    Canvas p(2, 2);
    fourColours()->drawInRect(cg::CGRectMake(0, 0, 2, 2), cg::CGRectMake(1, 1, 1, 1),
                              NSCompositingOperationCopy, 1);
    for (uint32_t w : p.words)
        EXPECT_EQ(w, kGreen);
    // A fraction draws with that alpha.
    Canvas f(2, 2);
    fourColours()->drawAtPoint({0, 0}, cg::CGRectZero, NSCompositingOperationSourceOver, 0.6);
    EXPECT_NEAR(int(f.pixel(0, 0) >> 24), 153, 1);

    // The best representation is the one with most pixels.
    auto image = fourColours();
    auto big = NSBitmapImageRep::initWithBitmapDataPlanes(nullptr, 4, 4, 8, 3, false, false,
                                                          NSDeviceRGBColorSpace, 0, 0, 0);
    image->addRepresentation(big);
    EXPECT_EQ(image->bestRepresentationForDevice(), big);
    Canvas b(2, 2);
    image->drawInRect(cg::CGRectMake(0, 0, 2, 2));
    EXPECT_EQ(b.pixel(0, 0), 0xFF000000u); // the black 3-sample representation
}

TEST(AppKitDrawingImages, LockFocusDrawsIntoTheImage) {
    auto image = fourColours();
    image->lockFocus();
    auto focus = NSGraphicsContext::currentContext();
    ASSERT_TRUE(focus);
    cg::CGContextSetRGBFillColor(focus->CGContext(), 1, 1, 0, 1);
    cg::CGContextFillRect(focus->CGContext(), cg::CGRectMake(0, 0, 1, 1)); // bottom-left
    image->unlockFocus();
    EXPECT_FALSE(NSGraphicsContext::currentContext());
    ASSERT_EQ(image->representations().size(), 1u);
    Canvas k(2, 2);
    image->drawInRect(cg::CGRectMake(0, 0, 2, 2));
    EXPECT_EQ(k.pixel(0, 0), kRed);        // kept
    EXPECT_EQ(k.pixel(0, 1), 0xFFFFFF00u); // drawn
    EXPECT_EQ(k.pixel(1, 1), kWhite);

    // A flipped image's focus runs y down.
    auto flipped = NSImage::initWithSize({2, 2});
    flipped->setFlipped(true);
    flipped->lockFocus();
    NSRectFill(cg::CGRectMake(0, 0, 1, 1));
    flipped->unlockFocus();
    Canvas f(2, 2);
    flipped->drawInRect(cg::CGRectMake(0, 0, 2, 2));
    EXPECT_EQ(f.pixel(0, 0), 0xFF000000u);
    EXPECT_EQ(f.pixel(0, 1), 0u);

    // A copy has the representations; changing its list leaves the original alone.
    auto copy = image->copy();
    EXPECT_EQ(copy->representations(), image->representations());
    copy->removeRepresentation(copy->representations()[0]);
    EXPECT_EQ(image->representations().size(), 1u);
    EXPECT_TRUE(copy->isFlipped() == image->isFlipped());
}

TEST(AppKitDrawingImages, TIFFHasAPagePerRepresentation) {
    auto image = fourColours();
    auto opaque = NSBitmapImageRep::initWithBitmapDataPlanes(nullptr, 3, 1, 8, 3, false, false,
                                                             NSDeviceRGBColorSpace, 0, 0, 0);
    opaque->bitmapData()[3] = 200;
    image->addRepresentation(opaque);
    auto plain = image->TIFFRepresentation();
    auto lzw = image->TIFFRepresentationUsingCompression(NSTIFFCompressionLZW, 0);
    ASSERT_TRUE(plain && lzw);
    EXPECT_EQ(*plain, *image->TIFFRepresentation()); // equal images, equal files
    for (const auto* bytes : {&*plain, &*lzw}) {
        auto pages = readTIFF(*bytes);
        ASSERT_EQ(pages.size(), 2u);
        EXPECT_EQ(pages[0].width, 2u);
        EXPECT_EQ(pages[0].samples, 4);
        EXPECT_EQ(pages[0].pixels,
                  (std::vector<uint8_t>{255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255, 255, 255, 255}));
        EXPECT_EQ(pages[1].samples, 3);
        EXPECT_EQ(pages[1].pixels, (std::vector<uint8_t>{0, 0, 0, 200, 0, 0, 0, 0, 0}));
        EXPECT_EQ(pages[0].compression, bytes == &*plain ? COMPRESSION_NONE : COMPRESSION_LZW);
    }

    platform::LogCapture log(true);
    EXPECT_FALSE(image->TIFFRepresentationUsingCompression(NSTIFFCompression(6), 0));
    EXPECT_FALSE(NSImage::initWithSize({4, 4})->TIFFRepresentation());
    EXPECT_EQ(log.lines().size(), 2u);
}

TEST(AppKitDrawingImages, HostileUseIsLoggedOnce) {
    platform::LogCapture log(true);
    NSGraphicsContext::setCurrentContext(nullptr);
    fourColours()->drawInRect(cg::CGRectMake(0, 0, 2, 2));
    EXPECT_EQ(log.lines().size(), 1u);
    log.clear();
    auto empty = NSImage::initWithSize({0, 0});
    empty->lockFocus();
    EXPECT_FALSE(NSGraphicsContext::currentContext());
    empty->unlockFocus();
    EXPECT_EQ(log.lines().size(), 2u);
    log.clear();
    Canvas k(2, 2);
    NSImage::initWithSize({2, 2})->drawInRect(cg::CGRectMake(0, 0, 2, 2)); // no representation
    EXPECT_EQ(log.lines().size(), 1u);
}
