// Named images from the main bundle's resources, and images of PNG and TIFF bytes: found by
// name and extension, kept once loaded, and bad files refused with a log line.
#include "platform/appkit/NSImage.h"
#include "platform/core/Log.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/PNG.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace appkit {

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> pngOf(uint32_t width, uint32_t height, std::vector<uint8_t> rgba) {
    auto file = png::encode(rgba.data(), width, height, width * 4, png::PixelFormat::RGBA);
    EXPECT_TRUE(file);
    return file.value_or(std::vector<uint8_t>{});
}

// The red, green, blue and alpha bytes of a representation's pixel, rows from the top.
std::vector<int> rgbaAt(const NSBitmapImageRep& rep, int64_t x, int64_t y) {
    const uint8_t* p = rep.bitmapData() + y * rep.bytesPerRow() + x * 4;
    return {p[0], p[1], p[2], p[3]};
}

class NSImageNamedTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = fs::temp_directory_path() / ("named-images-" + std::to_string(::getpid()) + "-" +
                                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
        ns::NSBundle::setMainBundle(ns::NSBundle::bundleWithPath(m_dir.string()));
        NSImage::forgetNamedImages();
    }
    void TearDown() override {
        ns::NSBundle::setMainBundle(nullptr);
        NSImage::forgetNamedImages();
        fs::remove_all(m_dir);
    }
    void write(const std::string& name, const std::vector<uint8_t>& bytes) {
        std::ofstream out(m_dir / name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    fs::path m_dir;
};

} // namespace

TEST_F(NSImageNamedTest, FindsPNGByNameAndKeepsTheImage) {
    write("dot.png", pngOf(2, 1, {255, 0, 0, 255, 0, 0, 255, 128}));
    auto image = NSImage::imageNamed("dot");
    ASSERT_TRUE(image);
    EXPECT_EQ(image->name(), "dot");
    EXPECT_EQ(image->size().width, 2);
    EXPECT_EQ(image->size().height, 1);
    auto rep = std::dynamic_pointer_cast<NSBitmapImageRep>(image->bestRepresentationForDevice());
    ASSERT_TRUE(rep);
    EXPECT_EQ(rgbaAt(*rep, 0, 0), (std::vector<int>{255, 0, 0, 255}));
    EXPECT_EQ(rgbaAt(*rep, 1, 0), (std::vector<int>{0, 0, 255, 128}));
    // Kept: the same image again, even once the file is gone; the exact name finds it too.
    fs::remove(m_dir / "dot.png");
    EXPECT_EQ(NSImage::imageNamed("dot"), image);
    write("exact.png", pngOf(1, 1, {1, 2, 3, 255}));
    EXPECT_TRUE(NSImage::imageNamed("exact.png"));
}

TEST_F(NSImageNamedTest, FindsTIFFByItsWholeName) {
    auto source = NSImage::initWithData(pngOf(1, 2, {0, 255, 0, 255, 255, 255, 0, 255}));
    ASSERT_TRUE(source);
    auto tiff = source->TIFFRepresentation();
    ASSERT_TRUE(tiff);
    write("Mark.tiff", *tiff);
    auto image = NSImage::imageNamed("Mark.tiff");
    ASSERT_TRUE(image);
    EXPECT_TRUE(NSImage::imageNamed("Mark")); // ".tiff" added
    auto rep = std::dynamic_pointer_cast<NSBitmapImageRep>(image->bestRepresentationForDevice());
    ASSERT_TRUE(rep);
    EXPECT_EQ(rep->pixelsWide(), 1);
    EXPECT_EQ(rep->pixelsHigh(), 2);
    EXPECT_EQ(rgbaAt(*rep, 0, 0), (std::vector<int>{0, 255, 0, 255}));
    EXPECT_EQ(rgbaAt(*rep, 0, 1), (std::vector<int>{255, 255, 0, 255}));
}

TEST_F(NSImageNamedTest, MissingCorruptHugeAndHostileNamesGiveNil) {
    platform::LogCapture log(true);
    EXPECT_FALSE(NSImage::imageNamed("absent"));
    EXPECT_FALSE(NSImage::imageNamed(""));
    EXPECT_FALSE(NSImage::imageNamed("../escape"));
    EXPECT_FALSE(NSImage::imageNamed(std::string(300, 'a')));
    EXPECT_TRUE(log.lines().empty()); // absent is not a fault

    auto good = pngOf(1, 1, {9, 9, 9, 255});
    write("truncated.png", std::vector<uint8_t>(good.begin(), good.begin() + long(good.size() / 2)));
    EXPECT_FALSE(NSImage::imageNamed("truncated"));
    write("garbage.png", std::vector<uint8_t>(64, 0x5A));
    EXPECT_FALSE(NSImage::imageNamed("garbage"));
    write("empty.png", {});
    EXPECT_FALSE(NSImage::imageNamed("empty"));
    fs::create_directories(m_dir / "folder.png");
    EXPECT_FALSE(NSImage::imageNamed("folder"));
    // A header claiming 20000 x 20000 pixels is refused before anything is decoded.
    auto huge = good;
    const uint8_t side[4] = {0, 0, 0x4E, 0x20};
    std::copy(side, side + 4, huge.begin() + 16);
    std::copy(side, side + 4, huge.begin() + 20);
    write("huge.png", huge);
    EXPECT_FALSE(NSImage::imageNamed("huge"));
    EXPECT_GE(log.count("is refused"), 1u);
    // A failure is not kept: a good file later under the same name loads.
    write("garbage.png", good);
    EXPECT_TRUE(NSImage::imageNamed("garbage"));
    // Bytes of neither kind.
    EXPECT_FALSE(NSImage::initWithData({'G', 'I', 'F', '8', '9', 'a', 0, 0, 0}));
    EXPECT_FALSE(NSImage::initWithData({'I', 'I', 42, 0, 0xFF, 0xFF, 0xFF, 0x7F, 0}));
}

TEST_F(NSImageNamedTest, TemplateFlagIsStoredAndCopied) {
    auto image = NSImage::initWithData(pngOf(1, 1, {0, 0, 0, 255}));
    ASSERT_TRUE(image);
    EXPECT_FALSE(image->isTemplate());
    image->setTemplate(true);
    EXPECT_TRUE(image->copy()->isTemplate());
}

} // namespace appkit
