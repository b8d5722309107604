// The picture: JPEG rectangles land where their records say, sizes are checked,
// and the PNG output carries the same pixels.
#include "tools/refclient/JpegDecoder.h"
#include "tools/refclient/PngFile.h"
#include "tools/refclient/Picture.h"
#include "tools/refclient/RecordLog.h"
#include "tools/refclient/tests/TestJpeg.h"

#include <cstdlib>
#include <map>
#include <set>
#include <gtest/gtest.h>
#include <png.h>
#include <shared_mutex>

using namespace refclient;
using refclient::test::solidJpeg;

namespace {

bool near(uint32_t pixel, uint32_t expected, int tolerance = 4) {
    for (int shift : {0, 8, 16}) {
        int a = static_cast<int>((pixel >> shift) & 0xFF), b = static_cast<int>((expected >> shift) & 0xFF);
        if (std::abs(a - b) > tolerance) return false;
    }
    return true;
}

} // namespace

TEST(RefclientPicture, JpegRectanglesLandAtTheirPlace) {
    Picture p(64, 48);
    std::string error;
    ASSERT_TRUE(p.paintJpeg(16, 8, 16, 16, solidJpeg(16, 16, 200, 30, 60), error)) << error;
    EXPECT_TRUE(near(p.pixel(16, 8), 0xC81E3C));
    EXPECT_TRUE(near(p.pixel(31, 23), 0xC81E3C));
    EXPECT_EQ(p.pixel(15, 8), 0u);
    EXPECT_EQ(p.pixel(32, 8), 0u);
    EXPECT_EQ(p.pixel(16, 24), 0u);
    // A later rectangle paints over an earlier one.
    ASSERT_TRUE(p.paintJpeg(24, 8, 8, 8, solidJpeg(8, 8, 0, 0, 255), error)) << error;
    EXPECT_TRUE(near(p.pixel(24, 8), 0x0000FF));
    EXPECT_TRUE(near(p.pixel(23, 8), 0xC81E3C));
}

TEST(RefclientDecodePool, DecodingsLandInTheirRectangleOnlyAndADroppedOneNeverWrites) {
    JpegDecodePool pool(0); // nothing runs until a caller finishes it
    Picture p(64, 48);
    std::shared_mutex lock;
    const auto into = [&](int x, int y) { return DecodeTarget{p.pixelAddress(x, y), p.bytesPerRow(), &lock}; };
    auto red = pool.decode(solidJpeg(16, 16, 200, 30, 60), 16, 16, into(16, 8));
    auto blue = pool.decode(solidJpeg(16, 16, 0, 0, 255), 16, 16, into(40, 8));
    auto misfit = pool.decode(solidJpeg(8, 8, 0, 255, 0), 16, 16, into(0, 0));
    auto kept = pool.decode(solidJpeg(8, 8, 0, 255, 0), 8, 8);
    ASSERT_TRUE(red->inPlace());
    ASSERT_FALSE(kept->inPlace());

    pool.drop(*blue);
    std::string error;
    EXPECT_FALSE(blue->wait(error));
    EXPECT_EQ(p.pixel(40, 8), 0u);
    pool.drop(*blue); // dropping twice is harmless

    ASSERT_TRUE(pool.finish(*red, error)) << error;
    EXPECT_TRUE(near(p.pixel(16, 8), 0xC81E3C));
    EXPECT_TRUE(near(p.pixel(31, 23), 0xC81E3C));
    for (auto [x, y] : {std::pair{15, 8}, {32, 8}, {16, 7}, {16, 24}, {40, 8}})
        EXPECT_EQ(p.pixel(x, y), 0u) << x << "," << y;

    EXPECT_FALSE(pool.finish(*misfit, error)); // the header's size is checked before any pixel
    EXPECT_NE(error.find("8x8"), std::string::npos) << error;
    EXPECT_EQ(p.pixel(0, 0), 0u);

    ASSERT_TRUE(pool.finish(*kept, error)) << error;
    EXPECT_EQ(kept->image().bgrx.size(), 8u * 8u * 4u);
    EXPECT_TRUE(pool.headerFits(solidJpeg(8, 8, 1, 2, 3), 8, 8));
    EXPECT_FALSE(pool.headerFits(Bytes(64, 0x55), 8, 8));
}

TEST(RefclientPicture, RefusesJpegsThatDoNotFitTheirRecord) {
    Picture p(32, 32);
    std::string error;
    EXPECT_FALSE(p.paintJpeg(0, 0, 16, 8, solidJpeg(16, 16, 1, 2, 3), error)); // size differs
    EXPECT_NE(error.find("16x16"), std::string::npos);
    EXPECT_FALSE(p.paintJpeg(24, 0, 16, 16, solidJpeg(16, 16, 1, 2, 3), error)); // past the right edge
    EXPECT_FALSE(p.paintJpeg(-1, 0, 16, 16, solidJpeg(16, 16, 1, 2, 3), error));
    Bytes garbage(200, 0x5A);
    EXPECT_FALSE(p.paintJpeg(0, 0, 8, 8, garbage, error));
    Bytes cut = solidJpeg(16, 16, 9, 9, 9);
    cut.resize(cut.size() / 3);
    p.paintJpeg(0, 0, 16, 16, cut, error); // may fail or draw part; must not read past the buffer
    for (int y = 0; y < 32; ++y) EXPECT_EQ(p.pixel(20, y), 0u);
}

TEST(RefclientPicture, ResizeKeepsTheOverlapAndBlackensTheRest) {
    Picture p(8, 8);
    std::string error;
    ASSERT_TRUE(p.paintJpeg(0, 0, 8, 8, solidJpeg(8, 8, 255, 255, 255), error));
    p.resize(16, 4);
    EXPECT_TRUE(near(p.pixel(7, 3), 0xFFFFFF));
    EXPECT_EQ(p.pixel(8, 0), 0u);
    p.resize(16, 16);
    EXPECT_EQ(p.pixel(0, 4), 0u);
    EXPECT_TRUE(near(p.pixel(0, 0), 0xFFFFFF));
}

TEST(RefclientPngFile, PictureRoundTripsAsRgbAndSizeIsRead) {
    Picture p(20, 10);
    std::string error;
    ASSERT_TRUE(p.paintJpeg(0, 0, 16, 8, solidJpeg(16, 8, 10, 200, 90), error)) << error;
    auto png = encodePng(p, error);
    ASSERT_TRUE(png) << error;
    EXPECT_EQ(pngSize(*png), (std::pair<uint32_t, uint32_t>(20, 10)));

    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_memory(&image, png->data(), png->size()));
    EXPECT_EQ(image.format & PNG_FORMAT_FLAG_ALPHA, 0u);
    image.format = PNG_FORMAT_RGB;
    Bytes rgb(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr));
    uint32_t first = static_cast<uint32_t>(rgb[0]) << 16 | static_cast<uint32_t>(rgb[1]) << 8 | rgb[2];
    EXPECT_EQ(first, p.pixel(0, 0));
    EXPECT_EQ(rgb[(9 * 20 + 19) * 3], 0); // outside the painted block

    EXPECT_FALSE(pngSize(Bytes(10, 0)));
    EXPECT_FALSE(encodePng(Picture(), error));
}

TEST(RefclientPngFile, AtomicWriteReplacesTheFileWhole) {
    std::string path = ::testing::TempDir() + "refclient-atomic.bin";
    std::string error;
    ASSERT_TRUE(writeFileAtomically(path, Bytes{1, 2, 3}, error)) << error;
    ASSERT_TRUE(writeFileAtomically(path, Bytes{4}, error)) << error;
    FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_TRUE(f);
    uint8_t buffer[8];
    EXPECT_EQ(std::fread(buffer, 1, sizeof buffer, f), 1u);
    EXPECT_EQ(buffer[0], 4);
    std::fclose(f);
    EXPECT_FALSE(writeFileAtomically("/nonexistent-dir/x.png", Bytes{1}, error));
    EXPECT_FALSE(error.empty());
}

TEST(RefclientRecordLog, FieldsArePercentEscaped) {
    EXPECT_EQ(percentEscape("a b=c%d\n\xC3\xA9"), "a%20b%3Dc%25d%0A%C3%A9");
    RecordLog log;
    log.add("tcp", "closed", {{"reason", "reset by peer"}});
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" tcp closed reason=reset%20by%20peer"), std::string::npos);
}

TEST(RefclientDecodePool, WorkersSpreadOverTheCpusAndPoolsInterleave) {
    // Eight CPUs, four devices of four workers each, as the four-session road runs them: no
    // pool puts two workers on one CPU, and together they load every CPU alike.
    std::map<size_t, int> load;
    for (size_t pool = 0; pool < 4; ++pool) {
        std::set<size_t> mine;
        for (size_t worker = 0; worker < 4; ++worker) {
            const size_t slot = decodeWorkerCpuSlot(8, 1234 + pool, worker, 4);
            ASSERT_LT(slot, 8u);
            mine.insert(slot);
            ++load[slot];
        }
        EXPECT_EQ(mine.size(), 4u) << "pool " << pool;
    }
    ASSERT_EQ(load.size(), 8u);
    for (auto [cpu, n] : load)
        EXPECT_EQ(n, 2) << "cpu " << cpu;
    // Fewer CPUs than workers: every slot is still one of them.
    for (size_t cpus : {2u, 3u, 5u})
        for (size_t worker = 0; worker < 4; ++worker)
            EXPECT_LT(decodeWorkerCpuSlot(cpus, 7, worker, 4), cpus);
}
