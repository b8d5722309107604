// Bitmaps and their PNG form, cursors set in the window server, and screens as AppKit shows
// them, over the in-process window server.
#include "platform/appkit/NSAppContext.h"
#include "platform/appkit/NSCursor.h"
#include "platform/appkit/NSRunningApplicationIcon.h"
#include "platform/appkit/NSScreen.h"
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "platform/foundation/PNG.h"
#include "platform/iokit/InProcessKernel.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cmath>
#include <cstring>
#include <filesystem>

namespace appkit {

namespace {

std::shared_ptr<NSBitmapImageRep> rgba(int64_t width, int64_t height, NSBitmapFormat format = 0,
                                       int64_t rowBytes = 0) {
    return NSBitmapImageRep::initWithBitmapDataPlanes(nullptr, width, height, 8, 4, true, false,
                                                      NSCalibratedRGBColorSpace, format, rowBytes, 32);
}

class AppKitWindowServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::installFakeClock();
        m_kernel = std::make_shared<iokit::InProcessKernel>();
        m_kernel->install();
    }
    void TearDown() override { m_kernel->shutdown(); }

    // The window server's cursor image as B, G, R, A rows of 4 × width bytes.
    std::vector<uint8_t> cursorPixels(int32_t* width, int32_t* height, cg::CGPoint* hotSpot) {
        int32_t size = 0;
        EXPECT_EQ(cg::CGSGetGlobalCursorDataSize(NSAppContextID(), &size), cg::kCGErrorSuccess);
        std::vector<uint8_t> data(size_t(std::max(size, 0)));
        int32_t rowBytes = 0, depth = 0, components = 0, bits = 0;
        cg::CGRect rect;
        EXPECT_EQ(cg::CGSGetGlobalCursorData(NSAppContextID(), data.data(), &size, &rowBytes, &rect, hotSpot,
                                             &depth, &components, &bits),
                  cg::kCGErrorSuccess);
        *width = int32_t(rect.size.width);
        *height = int32_t(rect.size.height);
        std::vector<uint8_t> packed;
        for (int32_t y = 0; y < *height; ++y)
            packed.insert(packed.end(), data.begin() + y * rowBytes,
                          data.begin() + y * rowBytes + 4 * *width);
        return packed;
    }

    platform::LogCapture m_log{true};
    std::shared_ptr<iokit::InProcessKernel> m_kernel;
};

} // namespace

TEST(AppKitBitmap, RefusesWhatItCannotHold) {
    platform::LogCapture quiet(true);
    EXPECT_TRUE(rgba(3, 2));
    EXPECT_FALSE(NSBitmapImageRep::initWithBitmapDataPlanes(nullptr, 3, 2, 16, 4, true, false,
                                                            NSCalibratedRGBColorSpace, 0, 0, 64));
    EXPECT_FALSE(NSBitmapImageRep::initWithBitmapDataPlanes(nullptr, 3, 2, 8, 4, true, true,
                                                            NSCalibratedRGBColorSpace, 0, 0, 32));
    EXPECT_FALSE(NSBitmapImageRep::initWithBitmapDataPlanes(nullptr, 3, 2, 8, 3, true, false,
                                                            NSCalibratedRGBColorSpace, 0, 0, 24));
    EXPECT_FALSE(NSBitmapImageRep::initWithBitmapDataPlanes(nullptr, 3, 2, 8, 4, true, false,
                                                            "NSCalibratedWhiteColorSpace", 0, 0, 32));
    EXPECT_FALSE(rgba(0, 2));
    EXPECT_FALSE(rgba(20000, 2));
    EXPECT_FALSE(rgba(3, 2, 0, 11)); // rows shorter than 3 pixels
    auto padded = rgba(3, 2, 0, 16);
    ASSERT_TRUE(padded);
    EXPECT_EQ(padded->bytesPerRow(), 16);
    EXPECT_EQ(padded->bitsPerPixel(), 32);
}

TEST(AppKitBitmap, PNGKeepsThePixels) {
    auto rep = rgba(3, 2, NSBitmapFormatAlphaNonpremultiplied, 16);
    ASSERT_TRUE(rep);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) {
            uint8_t* p = rep->bitmapData() + y * 16 + 4 * x;
            p[0] = uint8_t(10 * x), p[1] = uint8_t(100 + y), p[2] = 7, p[3] = 0xFF;
        }
    auto png = rep->representationUsingType(NSBitmapImageFileTypePNG, {});
    ASSERT_TRUE(png);
    auto image = png::decode(*png);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 3u);
    EXPECT_EQ(image->rgba[4 * 5], 20);      // (2, 1) red
    EXPECT_EQ(image->rgba[4 * 5 + 1], 101); // green
    EXPECT_FALSE(rep->representationUsingType(NSBitmapImageFileTypeTIFF, {}));
    // Equal pixels give equal bytes.
    EXPECT_EQ(rep->representationUsingType(NSBitmapImageFileTypePNG, {}), png);

    auto rgb = NSBitmapImageRep::initWithBitmapDataPlanes(nullptr, 2, 1, 8, 3, false, false,
                                                          NSDeviceRGBColorSpace, 0, 0, 24);
    ASSERT_TRUE(rgb);
    rgb->bitmapData()[3] = 200;
    auto decoded = png::decode(*rgb->representationUsingType(NSBitmapImageFileTypePNG, {}));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->rgba[4], 200);
    EXPECT_EQ(decoded->rgba[7], 255);
}

namespace {

// A padded BGRX image whose pixels vary smoothly (JPEG keeps them close).
cg::CGImageRef gradientImage(size_t width, size_t height, size_t pitch) {
    std::vector<uint8_t> bytes(pitch * height, 0xAB);
    for (size_t y = 0; y < height; ++y)
        for (size_t x = 0; x < width; ++x) {
            uint8_t* p = &bytes[y * pitch + 4 * x];
            p[0] = uint8_t(4 * x), p[1] = uint8_t(3 * y), p[2] = uint8_t(128 + x - y), p[3] = 0x11;
        }
    return cg::CGImageCreate(width, height, 8, 32, pitch, cg::kCGBitmapBGRX,
                             cg::CGDataProviderCreateWithData(std::move(bytes)));
}

std::vector<uint8_t> turboJPEG(const cg::CGImageRef& image, int quality) {
    tjhandle handle = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    EXPECT_EQ(tjCompress2(handle, cg::CGImageGetBytePtr(image), int(image->width), int(image->bytesPerRow),
                          int(image->height), TJPF_BGRX, &jpeg, &size, TJSAMP_420, quality, TJFLAG_FASTDCT),
              0);
    std::vector<uint8_t> out(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(handle);
    return out;
}

} // namespace

TEST(AppKitBitmap, CGImageRepKeepsTheImageLayout) {
    auto image = gradientImage(30, 20, 30 * 4 + 8);
    auto rep = NSBitmapImageRep::initWithCGImage(image);
    ASSERT_TRUE(rep);
    EXPECT_EQ(rep->pixelsWide(), 30);
    EXPECT_EQ(rep->pixelsHigh(), 20);
    EXPECT_EQ(rep->bytesPerRow(), 30 * 4 + 8);
    EXPECT_EQ(rep->bitsPerPixel(), 32);
    EXPECT_FALSE(rep->hasAlpha());
    // Every row's bytes, the last one's up to its last pixel (the image ends there).
    EXPECT_EQ(std::memcmp(rep->bitmapData(), cg::CGImageGetBytePtr(image), image->byteCount()), 0);
    EXPECT_FALSE(NSBitmapImageRep::initWithCGImage(nullptr));

    // PNG reads the padded 32-bit rows: red is the third byte of each pixel.
    auto decoded = png::decode(*rep->representationUsingType(NSBitmapImageFileTypePNG, {}));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->width, 30u);
    EXPECT_EQ(decoded->rgba[4 * (19 * 30 + 29)], uint8_t(128 + 29 - 19));
    EXPECT_EQ(decoded->rgba[4 * (19 * 30 + 29) + 2], uint8_t(4 * 29));
}

// An image with alpha keeps it: premultiplied alpha first in little-endian words is B, G, R, A
// in memory, and PNG writes the colour unpremultiplied beside the alpha.
TEST(AppKitBitmap, CGImageRepKeepsAnAlphaLayoutAndRefusesOnesItCannotWrite) {
    std::vector<uint8_t> bytes(4 * 4 * 3);
    for (size_t i = 0; i < bytes.size(); i += 4)
        bytes[i] = 0x08, bytes[i + 1] = 0x20, bytes[i + 2] = 0x40, bytes[i + 3] = 0x80;
    auto premultipliedFirst = cg::CGImageCreate(
        4, 3, 8, 32, 4 * 4, cg::kCGImageAlphaPremultipliedFirst | cg::kCGBitmapByteOrder32Little,
        cg::CGDataProviderCreateWithData(bytes));
    ASSERT_TRUE(premultipliedFirst);
    auto rep = NSBitmapImageRep::initWithCGImage(premultipliedFirst);
    ASSERT_TRUE(rep);
    EXPECT_TRUE(rep->hasAlpha());
    EXPECT_EQ(rep->samplesPerPixel(), 4);
    EXPECT_EQ(rep->bitmapFormat(), NSBitmapFormatAlphaFirst | NSBitmapFormatThirtyTwoBitLittleEndian);
    auto decoded = png::decode(*rep->representationUsingType(NSBitmapImageFileTypePNG, {}));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->rgba[3], 0x80);
    EXPECT_NEAR(decoded->rgba[0], 0x80, 1); // red 0x40 at half alpha
    EXPECT_NEAR(decoded->rgba[2], 0x10, 1); // blue 0x08
    EXPECT_TRUE(rep->representationUsingType(NSBitmapImageFileTypeJPEG, {}));

    auto last = NSBitmapImageRep::initWithCGImage(cg::CGImageCreate(
        2, 3, 8, 32, 8, cg::kCGImageAlphaPremultipliedLast, cg::CGDataProviderCreateWithData(bytes)));
    ASSERT_TRUE(last);
    EXPECT_TRUE(last->hasAlpha());
    EXPECT_EQ(last->bitmapFormat(), 0u);
    // Layouts no writer reads are kept but written as nothing, never with swapped colours:
    // X, R, G, B; R, G, B, X; A, B, G, R.
    for (uint32_t info : {uint32_t(cg::kCGImageAlphaNoneSkipFirst), uint32_t(cg::kCGImageAlphaNoneSkipLast),
                          cg::kCGImageAlphaPremultipliedLast | cg::kCGBitmapByteOrder32Little}) {
        auto kept = NSBitmapImageRep::initWithCGImage(
            cg::CGImageCreate(2, 3, 8, 32, 8, info, cg::CGDataProviderCreateWithData(bytes)));
        ASSERT_TRUE(kept) << info;
        EXPECT_FALSE(kept->representationUsingType(NSBitmapImageFileTypePNG, {})) << info;
        EXPECT_FALSE(kept->representationUsingType(NSBitmapImageFileTypeJPEG, {})) << info;
    }
    // Grey is kept (it draws from its image) but written as neither PNG nor JPEG.
    auto grey = NSBitmapImageRep::initWithCGImage(cg::CGImageCreate(
        4, 3, 8, 8, 4, cg::CGColorSpaceCreateDeviceGray(), cg::kCGImageAlphaNone,
        cg::CGDataProviderCreateWithData(bytes), nullptr, true, cg::kCGRenderingIntentDefault));
    ASSERT_TRUE(grey);
    EXPECT_FALSE(grey->representationUsingType(NSBitmapImageFileTypePNG, {}));
    EXPECT_FALSE(grey->representationUsingType(NSBitmapImageFileTypeJPEG, {}));
}

// A cut of an image ends with its last row's pixels: the rep copies no byte past them.
TEST(AppKitBitmap, ACutOfAnImageIsCopiedUpToItsLastPixel) {
    auto image = gradientImage(8, 8, 8 * 4);
    auto cut = cg::CGImageCreateWithImageInRect(image, cg::CGRectMake(5, 5, 3, 3));
    ASSERT_TRUE(cut);
    auto rep = NSBitmapImageRep::initWithCGImage(cut);
    ASSERT_TRUE(rep);
    EXPECT_EQ(rep->bytesPerRow(), 8 * 4);
    EXPECT_EQ(std::memcmp(rep->bitmapData() + 2 * 32, cg::CGImageGetBytePtr(cut) + 2 * 32, 12), 0);
}

TEST(AppKitBitmap, ApplicationIconsComeFromTheBundleElseTheGenericIcon) {
    platform::LogCapture log(true);
    char folder[] = "/tmp/appicon.XXXXXX";
    ASSERT_TRUE(::mkdtemp(folder));
    const std::string bundle = std::string(folder) + "/Editor.app";
    ASSERT_TRUE(cf::createDirectories(bundle + "/Contents/Resources", 0755));
    auto running = [&](const std::string& iconFile) {
        cf::Dictionary info{{"CFBundleExecutable", "Editor"}};
        if (!iconFile.empty()) info.insert_or_assign("CFBundleIconFile", iconFile);
        EXPECT_TRUE(cf::writePropertyListFile(cf::Value(info), bundle + "/Contents/Info.plist",
                                              cf::PropertyListFormat::XML));
        return ns::NSRunningApplication::fromValue(
            cf::Dictionary{{"pid", int64_t(77)}, {"bundlePath", bundle}});
    };
    auto pixelSides = [](const NSImage& image) {
        std::vector<int64_t> sides;
        for (const auto& rep : image.representations())
            sides.push_back(std::dynamic_pointer_cast<NSBitmapImageRep>(rep)->pixelsWide());
        return sides;
    };
    const std::vector<int64_t> generic{16, 32, 128, 256, 512};

    // No icon named, a name leaving the folder, a missing file, a file that is no PNG: generic.
    const char broken[] = "not a PNG";
    ASSERT_TRUE(
        cf::writeFileAtomically(bundle + "/Contents/Resources/Broken.png", broken, sizeof broken, 0644));
    for (const std::string name : {"", "../Editor", "Missing", "Broken"}) {
        auto icon = appkit::iconOfRunningApplication(*running(name));
        ASSERT_TRUE(icon) << name;
        EXPECT_EQ(pixelSides(*icon), generic) << name;
        EXPECT_EQ(icon->size().width, 512);
    }
    // Each generic icon is the caller's own: trimming one leaves the next whole.
    auto trimmed = appkit::genericApplicationIcon();
    for (const auto& rep : trimmed->representations())
        trimmed->removeRepresentation(rep);
    EXPECT_EQ(pixelSides(*appkit::genericApplicationIcon()), generic);

    // The bundle's PNG, ".png" added to a bare name, keeps its pixels.
    std::vector<uint8_t> pixels(2 * 3 * 4, 0xFF);
    pixels[0] = 0x12;
    auto file = png::encode(pixels.data(), 2, 3, 8, png::PixelFormat::RGBA);
    ASSERT_TRUE(file);
    ASSERT_TRUE(
        cf::writeFileAtomically(bundle + "/Contents/Resources/Editor.png", file->data(), file->size(), 0644));
    for (const std::string name : {"Editor", "Editor.png"}) {
        auto icon = appkit::iconOfRunningApplication(*running(name));
        ASSERT_EQ(icon->representations().size(), 1u) << name;
        auto rep = std::dynamic_pointer_cast<NSBitmapImageRep>(icon->representations()[0]);
        ASSERT_TRUE(rep);
        EXPECT_EQ(rep->pixelsWide(), 2);
        EXPECT_EQ(rep->pixelsHigh(), 3);
        EXPECT_EQ(rep->bitmapData()[0], 0x12);
    }
    std::filesystem::remove_all(folder);
}

TEST(AppKitBitmap, JPEGQualityFollowsTheCompressionFactor) {
    auto image = gradientImage(33, 17, 33 * 4 + 64);
    auto rep = NSBitmapImageRep::initWithCGImage(image);
    ASSERT_TRUE(rep);
    auto jpeg = [&](std::optional<double> factor) {
        cf::Dictionary properties;
        if (factor) properties.emplace(NSImageCompressionFactor, *factor);
        auto data = rep->representationUsingType(NSBitmapImageFileTypeJPEG, properties);
        EXPECT_TRUE(data);
        return data.value_or(std::vector<uint8_t>{});
    };
    EXPECT_EQ(jpeg(0.99), turboJPEG(image, 99));
    EXPECT_EQ(jpeg(double(float((0.99 - 0.125) / 0.875))), turboJPEG(image, 99));
    EXPECT_EQ(jpeg(float((0.3 - 0.125) / 0.875)), turboJPEG(image, 20));
    EXPECT_EQ(jpeg(std::nullopt), turboJPEG(image, 100));
    EXPECT_EQ(jpeg(0.0), turboJPEG(image, 1));
    EXPECT_EQ(jpeg(-3.0), turboJPEG(image, 1));
    EXPECT_EQ(jpeg(7.0), turboJPEG(image, 100));
    EXPECT_EQ(jpeg(std::nan("")), turboJPEG(image, 1));
    EXPECT_EQ(jpeg(0.445), turboJPEG(image, 45)); // 44.5 rounds away from zero

    // A baseline 4:2:0 JFIF of the image's size.
    auto data = jpeg(0.8);
    tjhandle d = tjInitDecompress();
    int width = 0, height = 0, sub = -1, space = -1;
    ASSERT_EQ(tjDecompressHeader3(d, data.data(), data.size(), &width, &height, &sub, &space), 0);
    tjDestroy(d);
    EXPECT_EQ(width, 33);
    EXPECT_EQ(height, 17);
    EXPECT_EQ(sub, TJSAMP_420);
    EXPECT_EQ(data[2], 0xFF);
    EXPECT_EQ(data[3], 0xE0); // APP0, JFIF
}

TEST(AppKitBitmap, JPEGOfRGBAndAlphaReps) {
    auto rgb = NSBitmapImageRep::initWithBitmapDataPlanes(nullptr, 8, 8, 8, 3, false, false,
                                                          NSDeviceRGBColorSpace, 0, 0, 24);
    ASSERT_TRUE(rgb);
    for (int i = 0; i < 64; ++i)
        rgb->bitmapData()[3 * i] = 200; // red
    auto data = rgb->representationUsingType(NSBitmapImageFileTypeJPEG, {});
    ASSERT_TRUE(data);
    tjhandle d = tjInitDecompress();
    std::vector<uint8_t> pixels(8 * 8 * 3);
    ASSERT_EQ(tjDecompress2(d, data->data(), data->size(), pixels.data(), 8, 0, 8, TJPF_RGB, 0), 0);
    tjDestroy(d);
    EXPECT_NEAR(pixels[0], 200, 4);
    EXPECT_NEAR(pixels[1], 0, 4);

    // Little-endian alpha-first is memory B, G, R, A; alpha is ignored.
    auto bgra = rgba(8, 8, NSBitmapFormatAlphaFirst | NSBitmapFormatThirtyTwoBitLittleEndian);
    ASSERT_TRUE(bgra);
    for (int i = 0; i < 64; ++i)
        bgra->bitmapData()[4 * i] = 200, bgra->bitmapData()[4 * i + 3] = 0; // blue, transparent
    data = bgra->representationUsingType(NSBitmapImageFileTypeJPEG, {});
    ASSERT_TRUE(data);
    d = tjInitDecompress();
    ASSERT_EQ(tjDecompress2(d, data->data(), data->size(), pixels.data(), 8, 0, 8, TJPF_RGB, 0), 0);
    tjDestroy(d);
    EXPECT_NEAR(pixels[2], 200, 4);
    EXPECT_NEAR(pixels[0], 0, 4);
}

TEST_F(AppKitWindowServerTest, CursorsBecomeTheSystemCursor) {
    EXPECT_NE(NSAppContextID(), 0);
    const uint32_t seed = cg::CGSCurrentCursorSeed();
    ASSERT_TRUE(NSCursor::IBeamCursor()->set());
    EXPECT_NE(cg::CGSCurrentCursorSeed(), seed);
    int32_t width = 0, height = 0;
    cg::CGPoint hotSpot;
    cursorPixels(&width, &height, &hotSpot);
    const cg::CGSCursorImage& iBeam = cg::CGSSystemCursorImage(cg::CGSSystemCursor::iBeam);
    EXPECT_EQ(uint32_t(width), iBeam.width);
    EXPECT_EQ(uint32_t(height), iBeam.height);

    // An image of our own: non-premultiplied RGBA reaches the window server premultiplied,
    // in blue, green, red, alpha order.
    auto rep = rgba(2, 1, NSBitmapFormatAlphaNonpremultiplied);
    uint8_t* p = rep->bitmapData();
    p[0] = 200, p[1] = 100, p[2] = 50, p[3] = 128;
    p[4] = 1, p[5] = 2, p[6] = 3, p[7] = 255;
    auto image = NSImage::initWithSize({2, 1});
    image->addRepresentation(rep);
    auto cursor = NSCursor::initWithImage(image, {1, 0});
    ASSERT_TRUE(cursor->set());
    auto pixels = cursorPixels(&width, &height, &hotSpot);
    EXPECT_EQ(width, 2);
    EXPECT_EQ(hotSpot.x, 1);
    EXPECT_EQ(pixels, (std::vector<uint8_t>{25, 50, 100, 128, 3, 2, 1, 255}));

    EXPECT_FALSE(NSCursor::initWithImage(nullptr, {0, 0}));
    EXPECT_FALSE(NSCursor(NSImage::initWithSize({2, 2}), {0, 0}).set()); // no representation
}

TEST_F(AppKitWindowServerTest, ScreensInCocoaSpace) {
    auto screens = NSScreen::screens();
    ASSERT_EQ(screens.size(), 1u);
    EXPECT_EQ(screens[0]->displayID(), 1u);
    EXPECT_TRUE(cg::CGRectEqualToRect(screens[0]->frame(), cg::CGRectMake(0, 0, 1440, 900)));
    EXPECT_TRUE(cg::CGRectEqualToRect(screens[0]->visibleFrame(), cg::CGRectMake(0, 0, 1440, 878)));
    EXPECT_EQ(screens[0]->backingScaleFactor(), 1.0);
    EXPECT_EQ(screens[0]->deviceDescription().find("NSScreenNumber")->intValue(), 1);
    EXPECT_EQ(NSScreen::mainScreen()->displayID(), 1u);
    // A rectangle 100 points below the top of the main display, 50 high.
    EXPECT_TRUE(cg::CGRectEqualToRect(NSRectFromCGRect(cg::CGRectMake(10, 100, 20, 50)),
                                      cg::CGRectMake(10, 750, 20, 50)));
}

} // namespace appkit
