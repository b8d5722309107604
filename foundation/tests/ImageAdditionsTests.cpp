#include "foundation/DataAdditions.h"
#include "foundation/ImageAdditions.h"
#include "platform/core/Log.h"
#include "platform/imageio/ImageIO.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <unistd.h>

using namespace foundation;

namespace {

cg::CGImageRef rgbImage(size_t w, size_t h, uint8_t seed = 1) {
    std::vector<uint8_t> bytes(w * 4 * h);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = uint8_t(i * 7 + seed);
    for (size_t i = 3; i < bytes.size(); i += 4)
        bytes[i] = 255;
    return cg::CGImageCreate(
        w, h, 8, 32, w * 4, cg::CGColorSpaceCreateDeviceRGB(), cg::kCGImageAlphaNoneSkipLast,
        cg::CGDataProviderCreateWithData(std::move(bytes)), nullptr, true, cg::kCGRenderingIntentDefault);
}

cg::CGImageRef greyImage(size_t w, size_t h) {
    return cg::CGImageCreate(w, h, 8, 8, w, cg::CGColorSpaceCreateDeviceGray(), cg::kCGImageAlphaNone,
                             cg::CGDataProviderCreateWithData(std::vector<uint8_t>(w * h, 90)), nullptr, true,
                             cg::kCGRenderingIntentDefault);
}

std::shared_ptr<appkit::NSBitmapImageRep> repOfSide(int64_t side) {
    return appkit::NSBitmapImageRep::initWithBitmapDataPlanes(nullptr, side, side, 8, 4, true, false,
                                                              appkit::NSDeviceRGBColorSpace, 0, 0, 0);
}

} // namespace

TEST(ImageAdditionsResize, TheLongerSideBecomesMaxPixels) {
    struct Case {
        size_t w, h, expectW, expectH;
    } cases[] = {{200, 100, 64, 32}, {100, 200, 32, 64}, {100, 100, 64, 64}, {10, 5, 64, 32}};
    for (const auto& k : cases) {
        auto resized = newResizedCGImage(rgbImage(k.w, k.h), 64);
        ASSERT_TRUE(resized);
        EXPECT_EQ(cg::CGImageGetWidth(resized), k.expectW);
        EXPECT_EQ(cg::CGImageGetHeight(resized), k.expectH);
        EXPECT_EQ(cg::CGImageGetAlphaInfo(resized), cg::kCGImageAlphaNoneSkipLast);
    }
    // Rows: (alpha ? 1 : 0) + components, times bits, times width.
    auto grey = newResizedCGImage(greyImage(30, 10), 3);
    ASSERT_TRUE(grey);
    EXPECT_EQ(cg::CGImageGetBytesPerRow(grey), 3u);
    EXPECT_EQ(cg::CGImageGetBytePtr(grey)[0], 90);
    auto greyWithAlpha = cg::CGImageCreate(3, 1, 8, 16, 6, cg::CGColorSpaceCreateDeviceGray(),
                                           cg::kCGImageAlphaPremultipliedLast,
                                           cg::CGDataProviderCreateWithData(std::vector<uint8_t>(6)), nullptr,
                                           true, cg::kCGRenderingIntentDefault);
    EXPECT_FALSE(greyWithAlpha); // no context draws grey with alpha
    EXPECT_EQ(bytesPerRowForResizedImage(rgbImage(3, 1), 3), 12u);
    EXPECT_EQ(bytesPerRowForResizedImage(greyImage(3, 1), 3), 3u);
}

TEST(ImageAdditionsResize, TheDigestCoversTheWholeScaledBitmap) {
    std::string a, b, c;
    auto one = newResizedCGImage(rgbImage(200, 100), 64, &a);
    auto two = newResizedCGImage(rgbImage(200, 100), 64, &b);
    newResizedCGImage(rgbImage(200, 100, 2), 64, &c);
    ASSERT_TRUE(one && two);
    EXPECT_EQ(a.size(), 32u);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    const uint8_t* bytes = cg::CGImageGetBytePtr(one);
    EXPECT_EQ(a, hexString(dataWithMD5OfData(std::span(bytes, cg::CGImageGetBytesPerRow(one) * 32))));
    for (char ch : a)
        EXPECT_TRUE(std::isdigit(ch) || (ch >= 'a' && ch <= 'f'));
}

TEST(ImageAdditionsResize, NoContextNoDigestAndANullImage) {
    const std::string untouched = "untouched";
    std::string hash = untouched;
    // A float image: its scaled context would have 32-bit integer components, which no
    // context draws. The zero buffer's digest must not be stored (icons would collide).
    auto floats = cg::CGImageCreate(4, 4, 32, 128, 64, cg::CGColorSpaceCreateDeviceRGB(),
                                    cg::kCGImageAlphaPremultipliedLast | cg::kCGBitmapFloatComponents,
                                    cg::CGDataProviderCreateWithData(std::vector<uint8_t>(256)), nullptr,
                                    true, cg::kCGRenderingIntentDefault);
    ASSERT_TRUE(floats);
    platform::LogCapture log(true);
    EXPECT_FALSE(newResizedCGImage(floats, 2, &hash));
    EXPECT_EQ(hash, untouched);

    const double nan = std::numeric_limits<double>::quiet_NaN(),
                 inf = std::numeric_limits<double>::infinity();
    for (double maxPixels : {nan, inf, -inf, 0.0, -1.0}) {
        EXPECT_FALSE(newResizedCGImage(rgbImage(4, 4), maxPixels, &hash)) << maxPixels;
        EXPECT_EQ(hash, untouched);
    }
    EXPECT_FALSE(newResizedCGImage(nullptr, 64, &hash));
    EXPECT_FALSE(newResizedCGImage(rgbImage(1000, 1), 64, &hash)); // 64 × 0.064
    EXPECT_FALSE(newResizedCGImage(rgbImage(64, 1), 16385, &hash));
    EXPECT_EQ(hash, untouched);
    EXPECT_TRUE(newResizedCGImage(rgbImage(64, 1), 16384, nullptr)); // 16384 × 256
}

TEST(ImageAdditionsRepresentations, ChoosingAndPruning) {
    appkit::NSImage image({64, 64});
    auto r16 = repOfSide(16), r32 = repOfSide(32), r128 = repOfSide(128), r32b = repOfSide(32);
    for (const auto& r : {r16, r32, r128, r32b})
        image.addRepresentation(r);
    EXPECT_EQ(representationOfSize(image, {32, 32}), r32); // the first of equals
    EXPECT_FALSE(representationOfSize(image, {33, 33}));
    EXPECT_EQ(bestRepresentationForSize(image, {32, 32}), r32);
    EXPECT_EQ(bestRepresentationForSize(image, {64, 64}), r128);   // larger beats smaller
    EXPECT_EQ(bestRepresentationForSize(image, {20, 20}), r32);    // the closest larger
    EXPECT_EQ(bestRepresentationForSize(image, {200, 200}), r128); // the closest smaller
    EXPECT_EQ(bestRepresentationForSize(image, {16, 200}), r16);   // wider than 16 only
    appkit::NSImage none({1, 1});
    EXPECT_FALSE(bestRepresentationForSize(none, {1, 1}));

    removeRepresentationsLargerThanSize(image, {32, 32}, {20, 20});
    EXPECT_EQ(image.representations(), (std::vector<std::shared_ptr<appkit::NSImageRep>>{r32, r32b}));
    removeRepresentationsLargerThanSize(image, {31, 31});
    EXPECT_TRUE(image.representations().empty());
}

TEST(ImageAdditionsMemory, AlignedMemoryFilesCopiesAndColours) {
    size_t length = 0;
    void* one = AlignedMalloc(1, &length);
    ASSERT_TRUE(one);
    EXPECT_EQ(length, size_t(sysconf(_SC_PAGESIZE)));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(one) % length, 0u);
    static_cast<uint8_t*>(one)[length - 1] = 1;
    AlignedFree(one, length);
    size_t unchanged = 77;
    EXPECT_FALSE(AlignedMalloc(size_t(1) << 62, &unchanged));
    EXPECT_EQ(unchanged, 77u);

    // An image over aligned memory gives it back through the provider.
    void* memory = AlignedMalloc(16, &length);
    auto provider = cg::CGDataProviderCreateWithData(nullptr, memory, length, AlignedCGDataProviderRelease);
    auto image = cg::CGImageCreate(2, 2, 8, 32, 8, cg::CGColorSpaceCreateDeviceRGB(),
                                   cg::kCGImageAlphaPremultipliedLast, provider, nullptr, true,
                                   cg::kCGRenderingIntentDefault);
    ASSERT_TRUE(image);
    provider.reset();

    auto copy = CGImageDeepCopy(image);
    ASSERT_TRUE(copy);
    EXPECT_NE(cg::CGImageGetBytePtr(copy), cg::CGImageGetBytePtr(image));
    EXPECT_EQ(std::memcmp(cg::CGImageGetBytePtr(copy), cg::CGImageGetBytePtr(image), 16), 0);
    EXPECT_EQ(cg::CGImageGetBitmapInfo(copy), cg::CGImageGetBitmapInfo(image));
    EXPECT_EQ(cg::CGImageGetBytesPerRow(copy), 8u);
    EXPECT_EQ(cg::CGImageGetShouldInterpolate(copy), cg::CGImageGetShouldInterpolate(image));
    image.reset(); // unmaps; the copy keeps its own bytes
    EXPECT_EQ(cg::CGImageGetBytePtr(copy)[0], 0);

    char dir[] = "/tmp/image-additions-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string path = std::string(dir) + "/icon.png";
    ASSERT_TRUE(CGImageWriteToFile(rgbImage(3, 2), path));
    std::ifstream in(path, std::ios::binary);
    auto source = imageio::CGImageSourceCreateWithData(
        std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}), nullptr);
    auto read = imageio::CGImageSourceCreateImageAtIndex(source, 0, nullptr);
    ASSERT_TRUE(read);
    EXPECT_EQ(cg::CGImageGetWidth(read), 3u);
    unlink(path.c_str());
    rmdir(dir);
    platform::LogCapture log(true);
    EXPECT_FALSE(CGImageWriteToFile(rgbImage(3, 2), std::string(dir) + "/gone/icon.png"));
    EXPECT_TRUE(log.contains("Failed to write image to " + std::string(dir) + "/gone/icon.png"));

    auto grey = CGColorCreateWithNSColor(appkit::NSColor::colorWithCalibratedWhite(0.5, 1));
    EXPECT_EQ(cg::CGColorGetNumberOfComponents(grey), 2u);
    EXPECT_EQ(cg::CGColorSpaceGetModel(cg::CGColorGetColorSpace(grey)), cg::kCGColorSpaceModelMonochrome);
    auto rgb = CGColorCreateWithNSColor(appkit::NSColor::colorWithDeviceRed(0.1, 0.2, 0.3, 0.4));
    EXPECT_EQ(cg::CGColorGetNumberOfComponents(rgb), 4u);
    EXPECT_EQ(cg::CGColorGetComponents(rgb)[2], 0.3);
    EXPECT_FALSE(CGColorCreateWithNSColor(nullptr));
}

namespace {

std::shared_ptr<appkit::NSImage> imageOf(size_t w, size_t h) {
    auto image = std::make_shared<appkit::NSImage>(cg::CGSize{double(w), double(h)});
    image->addRepresentation(appkit::NSBitmapImageRep::initWithCGImage(rgbImage(w, h)));
    return image;
}

// The alpha byte of a pixel of an 8-bit premultiplied-last, 32-bit little-endian rep.
uint8_t alphaAt(const appkit::NSBitmapImageRep& rep, size_t x, size_t y) {
    return rep.bitmapData()[y * size_t(rep.bytesPerRow()) + x * 4];
}

} // namespace

TEST(ImageAdditionsRepresentations, CreateAddsAFittedCentredBitmapOnceAndNeverForAnExistingSize) {
    auto image = imageOf(200, 100);
    EXPECT_FALSE(createRepresentationOfSize(*image, {200, 100})); // that size exists
    EXPECT_EQ(image->representations().size(), 1u);
    ASSERT_TRUE(createRepresentationOfSize(*image, {64, 64}));
    ASSERT_EQ(image->representations().size(), 2u);
    auto made = std::dynamic_pointer_cast<appkit::NSBitmapImageRep>(representationOfSize(*image, {64, 64}));
    ASSERT_TRUE(made);
    EXPECT_EQ(made->pixelsWide(), 64);
    EXPECT_EQ(made->pixelsHigh(), 64);
    EXPECT_EQ(made->bitsPerSample(), 8);
    EXPECT_TRUE(made->hasAlpha());
    // 200 × 100 fitted into 64 × 64 is 64 × 32, centred: rows 16 to 47 are drawn.
    EXPECT_EQ(alphaAt(*made, 32, 8), 0);
    EXPECT_EQ(alphaAt(*made, 32, 32), 255);
    EXPECT_EQ(alphaAt(*made, 32, 56), 0);
    EXPECT_FALSE(createRepresentationOfSize(*image, {64, 64})); // now it exists
    EXPECT_EQ(image->representations().size(), 2u);

    appkit::NSImage empty({10, 10});
    EXPECT_FALSE(createRepresentationOfSize(empty, {8, 8}));    // nothing to draw
    EXPECT_FALSE(createRepresentationOfSize(*image, {0.5, 8})); // a side truncated to 0
    EXPECT_FALSE(createRepresentationOfSize(*image, {16385, 8}));
    EXPECT_EQ(image->representations().size(), 2u);
}

TEST(ImageAdditionsRepresentations, ShrinkKeepsOnlyTheSmallerAndDuplicatesAreUnflippedCopies) {
    auto image = imageOf(200, 100);
    image->setFlipped(true);
    auto duplicate = duplicateOfSize(*image, {50, 25});
    ASSERT_TRUE(duplicate);
    EXPECT_FALSE(duplicate->isFlipped());
    EXPECT_TRUE(image->isFlipped());
    EXPECT_EQ(image->representations().size(), 1u); // the source is left alone
    EXPECT_EQ(duplicate->size().width, 50);
    ASSERT_EQ(duplicate->representations().size(), 1u);
    EXPECT_EQ(duplicate->representations()[0]->size().height, 25);

    EXPECT_TRUE(shrinkToSize(*image, {40, 40}));
    EXPECT_EQ(image->size().width, 40);
    ASSERT_EQ(image->representations().size(), 1u);
    EXPECT_TRUE(representationOfSize(*image, {40, 40}));
}

TEST(ImageAdditionsBitmap, BitmapRepresentationIsABitmapRepOrAFloatRenderingAdded) {
    auto image = imageOf(4, 2);
    auto existing = bitmapImageRepresentation(*image);
    EXPECT_EQ(existing, image->representations()[0]);
    auto pixels = CGImage(*image);
    ASSERT_TRUE(pixels);
    EXPECT_EQ(cg::CGImageGetWidth(pixels), 4u);

    // Only a representation that is no bitmap: the image is drawn into 32-bit float RGBA.
    appkit::NSImage plain({3, 2});
    plain.addRepresentation(std::make_shared<appkit::NSImageRep>());
    platform::LogCapture log(true);
    auto rendered = bitmapImageRepresentation(plain);
    ASSERT_TRUE(rendered);
    EXPECT_EQ(rendered->bitsPerSample(), 32);
    EXPECT_EQ(rendered->bitsPerPixel(), 128);
    EXPECT_EQ(rendered->bytesPerRow(), 3 * 16);
    EXPECT_TRUE(rendered->bitmapFormat() & appkit::NSBitmapFormatFloatingPointSamples);
    EXPECT_EQ(plain.representations().size(), 2u);
    EXPECT_EQ(bitmapImageRepresentation(plain), rendered); // found the second time
    auto floats = CGImage(plain);
    ASSERT_TRUE(floats);
    EXPECT_EQ(cg::CGImageGetBitsPerComponent(floats), 32u);
    EXPECT_FALSE(rendered->representationUsingType(appkit::NSBitmapImageFileTypePNG, {}));
}

TEST(ImageAdditionsBitmap, RefusesBitmapsOver256MiBAndSizesNoContextTakes) {
    platform::LogCapture log(true);
    appkit::NSImage huge({4097, 4097}); // 4097 × 16 × 4097 bytes: just over 256 MiB
    EXPECT_FALSE(bitmapImageRepresentation(huge));
    EXPECT_TRUE(log.contains("Couldn't create CGBitmapContext"));
    EXPECT_TRUE(huge.representations().empty());
    EXPECT_FALSE(CGImage(huge));
    log.clear();
    appkit::NSImage empty({0, 10});
    EXPECT_FALSE(bitmapImageRepresentation(empty));
    EXPECT_TRUE(log.contains("Couldn't create CGBitmapContext"));
}

namespace {

// A 20 x 20 image, clear but for an opaque black square at pixels 6-13 (rows from the top).
std::shared_ptr<appkit::NSImage> squareImage() {
    std::vector<uint8_t> bytes(20 * 20 * 4, 0);
    for (size_t row = 6; row < 14; ++row)
        for (size_t x = 6; x < 14; ++x)
            bytes[(row * 20 + x) * 4 + 3] = 255;
    auto image = appkit::NSImage::initWithSize(cg::CGSizeMake(20, 20));
    image->addRepresentation(appkit::NSBitmapImageRep::initWithCGImage(cg::CGImageCreate(
        20, 20, 8, 32, 80, cg::CGColorSpaceCreateDeviceRGB(), cg::kCGImageAlphaPremultipliedLast,
        cg::CGDataProviderCreateWithData(std::move(bytes)), nullptr, true, cg::kCGRenderingIntentDefault)));
    return image;
}

// The image's pixels as RGBA words of 8 bits each, rows from the top.
struct Pixels {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(20 * 20 * 4, 0);
    explicit Pixels(const appkit::NSImage& image) {
        auto context =
            cg::CGBitmapContextCreate(bytes.data(), 20, 20, 8, 80, cg::CGColorSpaceCreateDeviceRGB(),
                                      cg::kCGImageAlphaPremultipliedLast);
        cg::CGContextDrawImage(context, cg::CGRectMake(0, 0, 20, 20), image.CGImageForProposedRect(nullptr));
    }
    int at(size_t x, size_t row, size_t channel) const { return bytes[(row * 20 + x) * 4 + channel]; }
};

} // namespace

TEST(ImageAdditionsEmboss, TheShapeTakesTheFaceAndNothingOutsideItIsDrawn) {
    auto square = squareImage();
    struct Case {
        std::shared_ptr<appkit::NSImage> (*make)(const appkit::NSImage&);
        int highlightRow; // the row just past the shape's edge that the highlight lights
        int faceLow, faceHigh;
    } cases[] = {{lightContentEtchedImage, 14, 150, 255},
                 {darkContentEtchedImage, 14, 40, 140},
                 {lightContentEmbossedImage, 5, 150, 255},
                 {darkContentEmbossedImage, 5, 40, 140}};
    for (const auto& k : cases) {
        auto embossed = k.make(*square);
        ASSERT_TRUE(embossed);
        EXPECT_EQ(embossed->size().width, 20);
        EXPECT_EQ(embossed->size().height, 20);
        Pixels p(*embossed);
        // Outside the shape and its highlight line: untouched.
        for (auto [x, row] : {std::pair{0, 0}, {19, 19}, {3, 10}, {16, 10}, {10, 2}, {10, 17}})
            EXPECT_EQ(p.at(size_t(x), size_t(row), 3), 0) << x << "," << row;
        // The highlight is white, on the side the width points to, and only there.
        const int other = k.highlightRow == 14 ? 5 : 14;
        EXPECT_EQ(p.at(10, size_t(k.highlightRow), 3), 255);
        EXPECT_EQ(p.at(10, size_t(k.highlightRow), 0), 255);
        EXPECT_EQ(p.at(10, size_t(other), 3), 0);
        // The face: opaque grey in the gradient's range, darker near the shadowed edge.
        EXPECT_EQ(p.at(10, 10, 3), 255);
        EXPECT_EQ(p.at(10, 10, 0), p.at(10, 10, 2));
        EXPECT_GE(p.at(10, 10, 0), k.faceLow);
        EXPECT_LE(p.at(10, 10, 0), k.faceHigh);
    }
}
