// The RTP encoder against a scripted window server, pictures from a pattern, and a socket that
// records what the RTP socket would collect.
#include "capture/tests/EncoderTestSupport.h"

#include "capture/QNBVellRTPEncoder.h"
#include "display/QNBDisplaySet.h"
#include "platform/foundation/PNG.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

namespace capture {
namespace {

using testing::FakeDisplay;

struct Record {
    int16_t x, y;
    uint16_t width, height;
    uint8_t encoding;
    uint32_t length;
};

// A bare u16 count (no designation byte), then the records with their images.
std::vector<Record> parseUpdate(const std::vector<uint8_t>& s, uint16_t* countOut = nullptr) {
    std::vector<Record> records;
    if (s.size() < 2) return records;
    auto u16 = [&](size_t o) { return uint16_t(s[o] | s[o + 1] << 8); };
    const uint16_t count = u16(0);
    if (countOut) *countOut = count;
    size_t p = 2;
    for (uint16_t i = 0; i < count && p + 13 <= s.size(); ++i) {
        Record r{int16_t(u16(p)), int16_t(u16(p + 2)), u16(p + 4), u16(p + 6), s[p + 8], 0};
        std::memcpy(&r.length, &s[p + 9], 4);
        p += 13 + r.length;
        records.push_back(r);
    }
    return records;
}

// Pictures both ways a capture may read them: images, and the framebuffer's memory.
class FramebufferProvider : public testing::FakePixelProvider {
  public:
    // A display of the pattern, its rows packed.
    void add(uint32_t display, size_t width, size_t height) {
        pictures[display] = {width, height};
        framebuffers[display] = {width * 4, testing::patternPixels(width, height, width * 4)};
    }
    const void* baseAddress(cg::CGDirectDisplayID display, size_t* bytesPerRow) override {
        auto found = framebuffers.find(display);
        if (found == framebuffers.end()) return nullptr;
        *bytesPerRow = found->second.first;
        return found->second.second.data();
    }
    std::map<uint32_t, std::pair<size_t, std::vector<uint8_t>>> framebuffers; // bytes per row, pixels
};

class QNBVellRTPEncoderTest : public ::testing::Test {
  protected:
    QNBVellRTPEncoderTest()
        : socket(std::make_shared<regions::testing::RecordingSocket>()),
          encoder(QNBVellRTPEncoder::create()) {
        cg::setDisplayPixelProvider(pixels);
        socket->probeLock = false;
        open(0x100, FakeDisplay{cg::CGRectMake(0, 0, 1024, 768), 1024, 768});
    }
    // The encoder's one display, with a picture of its pixel size.
    void open(uint32_t id, FakeDisplay d) {
        pixels->add(id, d.pixelsWide, d.pixelsHigh);
        displays.reset();
        displays = std::make_unique<testing::ScopedDisplays>(std::map<uint32_t, FakeDisplay>{{id, d}});
        display = std::make_shared<display::QNBDisplay>(id);
        auto set = std::make_shared<display::QNBDisplaySet>();
        set->setDisplays({display});
        set->finalizeSet();
        encoder->setEncoderInformation(set, socket, {});
    }
    // One update's records, as the socket received them.
    std::vector<Record> encode(int32_t extra = 0, uint16_t* count = nullptr) {
        socket->writes.clear();
        encoder->encodeFrame(extra, false, display, 0x20);
        return parseUpdate(socket->stream(), count);
    }
    ~QNBVellRTPEncoderTest() override { cg::setDisplayPixelProvider(nullptr); }
    std::shared_ptr<FramebufferProvider> pixels = std::make_shared<FramebufferProvider>();
    std::unique_ptr<testing::ScopedDisplays> displays;
    std::shared_ptr<display::QNBDisplay> display;
    std::shared_ptr<regions::testing::RecordingSocket> socket;
    std::shared_ptr<QNBVellRTPEncoder> encoder;
};

TEST_F(QNBVellRTPEncoderTest, A768RowDisplayIsRefreshedIn192InterlacedStrips) {
    std::multiset<int> rows;
    int strips = 0;
    while (strips < 192) {
        auto records = encode();
        ASSERT_FALSE(records.empty());
        for (const Record& r : records) {
            EXPECT_EQ(r.width, 1024);
            EXPECT_EQ(r.height, 4);
            EXPECT_EQ(r.encoding, 4);
            rows.insert(r.y);
            ++strips;
        }
    }
    EXPECT_EQ(strips, 192);
    EXPECT_EQ(encoder->rasterLocation(), 0u);
    EXPECT_EQ(encoder->rasterInterlace(), 0u);
    for (int y = 0; y < 768; y += 4)
        EXPECT_EQ(rows.count(y), 1u) << y;
}

// 1080 rows are 33¾ bands: the walk covers the partial 34th band (rows 1056 to 1079) before it
// starts over, and strips past the last row are skipped.
TEST_F(QNBVellRTPEncoderTest, TheRasterReachesTheLastPartialBand) {
    open(0x200, FakeDisplay{cg::CGRectMake(0, 0, 64, 1080), 64, 1080});
    // Updates until the eighth pass has ended (the interlace starts over).
    std::set<int> rows;
    bool lastPass = false;
    for (int updates = 0; updates < 200; ++updates) {
        for (const Record& r : encode()) {
            EXPECT_EQ(r.height, 4);
            EXPECT_LT(r.y, 1080);
            rows.insert(r.y);
        }
        if (encoder->rasterInterlace() == 7) lastPass = true;
        if (lastPass && encoder->rasterInterlace() == 0) break;
    }
    ASSERT_EQ(encoder->rasterInterlace(), 0u) << "the walk never ended";
    for (int y = 0; y < 1080; y += 4)
        EXPECT_EQ(rows.count(y), 1u) << y;
}

TEST_F(QNBVellRTPEncoderTest, InterlaceOrderWithinABand) {
    std::vector<int> firstBand;
    for (int strips = 0; strips < 192;) {
        auto records = encode();
        ASSERT_FALSE(records.empty());
        for (const Record& r : records) {
            if (r.y < 32) firstBand.push_back(r.y);
            ++strips;
        }
    }
    EXPECT_EQ(firstBand, (std::vector<int>{0, 16, 8, 20, 4, 24, 12, 28}));
}

TEST_F(QNBVellRTPEncoderTest, ChangedAreasGoFirstWithinTheBudgetAndTheFirstStripAlways) {
    display->addDirtyRectangle(cg::CGRectMake(0, 0, 1024, 768));
    uint16_t count = 0;
    auto records = encode(2, &count);
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(count, records.size() + 2); // the extra records are counted, not written
    // Changed areas: pieces of at most 81 920 pixels, at quality 0.125.
    size_t changed = 0, bytes = 0;
    for (const Record& r : records) {
        if (r.height == 4 && r.width == 1024 && changed + 1 == records.size()) break;
        EXPECT_LE(int(r.width) * int(r.height), 81920);
        ++changed;
    }
    ASSERT_EQ(changed + 1, records.size()) << "the last record is the raster strip";
    EXPECT_EQ(records.back().y, 0);
    for (size_t i = 0; i < changed; ++i)
        bytes += 13 + records[i].length;
    if (changed > 1) {
        EXPECT_LT(bytes, QNBVellRTPEncoder::kFrameBudget);
    }
    EXPECT_EQ(encoder->rasterLocation(), 1u);
    EXPECT_FALSE(encoder->rasterRectangles()->isEmpty());
}

// Changed areas of a noisy picture fill the 8,000-byte budget, leaving no room for a strip of
// it: the first raster strip still goes out after them, so the refresh goes on whatever the
// changes cost.
TEST_F(QNBVellRTPEncoderTest, TheFirstStripGoesOutWhenTheChangedAreasAloneFillTheBudget) {
    auto noise = [](size_t, size_t height, size_t pitch) {
        std::vector<uint8_t> bytes(pitch * height);
        uint32_t state = 3121;
        for (auto& b : bytes) {
            state = state * 1664525u + 1013904223u;
            b = uint8_t(state >> 24);
        }
        return bytes;
    };
    pixels->painter = noise;
    pixels->framebuffers[0x100].second = noise(1024, 768, 4096);
    display->addDirtyRectangle(cg::CGRectMake(0, 0, 1024, 768));
    auto records = encode();
    ASSERT_GE(records.size(), 2u);
    const Record& strip = records.back();
    EXPECT_EQ(strip.width, 1024);
    EXPECT_EQ(strip.height, 4);
    EXPECT_EQ(strip.y, 0);
    size_t changed = 0;
    for (size_t i = 0; i + 1 < records.size(); ++i) {
        EXPECT_FALSE(records[i].width == 1024 && records[i].height == 4) << "one strip only";
        changed += 13 + records[i].length;
    }
    EXPECT_LT(changed, QNBVellRTPEncoder::kFrameBudget);
    EXPECT_GT(changed + 13 + strip.length, QNBVellRTPEncoder::kFrameBudget - 1) << "the strip did not fit";
    EXPECT_EQ(encoder->rasterLocation(), 1u);
}

TEST_F(QNBVellRTPEncoderTest, SentAreasAreNotSentAgainUntilAllWere) {
    display->addDirtyRectangle(cg::CGRectMake(0, 0, 64, 64));
    auto first = encode();
    ASSERT_GE(first.size(), 2u);
    EXPECT_EQ(first[0].x, 0);
    EXPECT_EQ(first[0].width, 64);
    // Still queued and all sent: the raster region starts over and the extent goes again.
    display->addDirtyRectangle(cg::CGRectMake(0, 0, 64, 64));
    auto second = encode();
    ASSERT_GE(second.size(), 1u);
    EXPECT_EQ(second[0].width, 64);
}

// Two changed boxes that do not both fit the update's budget: the top one goes now, the lower one
// with the next update.
TEST_F(QNBVellRTPEncoderTest, ASplitAreaGoesOutTopBoxFirst) {
    auto noise = [](size_t, size_t height, size_t pitch) {
        std::vector<uint8_t> bytes(pitch * height);
        uint32_t state = 99;
        for (auto& b : bytes)
            b = uint8_t((state = state * 1103515245u + 12345u) >> 24);
        return bytes;
    };
    pixels->painter = noise;
    pixels->framebuffers[0x100].second = noise(1024, 768, 4096);
    // Each box alone is at the area limit, so neither is split.
    display->addDirtyRectangle(cg::CGRectMake(0, 400, 1024, 80));
    display->addDirtyRectangle(cg::CGRectMake(0, 0, 1024, 80));
    auto first = encode();
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first[0].y, 0);
    EXPECT_EQ(first[0].height, 80);
    for (size_t i = 1; i < first.size(); ++i)
        EXPECT_NE(first[i].height, 80) << "both boxes fitted: the budget was not tested";
    auto second = encode();
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(second[0].y, 400);
    EXPECT_EQ(second[0].height, 80);
    // A box over the limit is halved in its place, its top half first.
    display->addDirtyRectangle(cg::CGRectMake(0, 200, 1024, 160));
    auto third = encode();
    ASSERT_FALSE(third.empty());
    EXPECT_EQ(third[0].y, 200);
    EXPECT_EQ(third[0].height, 80);
}

// The display sits right of the main display: the changes the session hands relative to it are
// sent, in the display's own coordinates.
TEST_F(QNBVellRTPEncoderTest, ChangesOnADisplayAwayFromTheOriginAreEncoded) {
    open(0x300, FakeDisplay{cg::CGRectMake(1440, 0, 1024, 768), 1024, 768});
    encoder->addDirtyRectangle(cg::CGRectMake(64, 32, 64, 64));
    auto records = encode();
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records[0].x, 64);
    EXPECT_EQ(records[0].y, 32);
    EXPECT_EQ(records[0].width, 64);
    EXPECT_EQ(records[0].height, 64);
    EXPECT_EQ(records[1].y, 0); // then the first strip
    EXPECT_TRUE(display->rectManager()->rectangleQueue().empty());
}

TEST_F(QNBVellRTPEncoderTest, ImageRecordsAndLossyPoint) {
    std::vector<uint8_t> pixelsBGRX(16 * 8 * 4, 0x80);
    const uint8_t lossy[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    auto lossyJpeg =
        QNBVellRTPEncoder::sendImageRect(cg::CGRectMake(3, 70000, 16, 8), pixelsBGRX.data(), 15, 1.0, lossy);
    ASSERT_GT(lossyJpeg.size(), 22u);
    auto rec = parseUpdate([&] {
        std::vector<uint8_t> s{1, 0};
        s.insert(s.end(), lossyJpeg.begin(), lossyJpeg.end());
        return s;
    }());
    ASSERT_EQ(rec.size(), 1u);
    EXPECT_EQ(rec[0].x, 3);
    EXPECT_EQ(rec[0].y, int16_t(70000 & 0xFFFF)); // truncated, no display offset
    EXPECT_EQ(rec[0].width, 16);
    EXPECT_EQ(rec[0].height, 8);
    EXPECT_EQ(rec[0].encoding, 15);
    EXPECT_EQ(rec[0].length, lossyJpeg.size() - 22); // the image alone
    EXPECT_TRUE(std::equal(lossy, lossy + 9, lossyJpeg.begin() + 13));
    EXPECT_EQ(lossyJpeg[22], 0xFF); // 15 is JPEG too
    EXPECT_EQ(lossyJpeg[23], 0xD8);

    auto plain =
        QNBVellRTPEncoder::sendImageRect(cg::CGRectMake(0, 0, 16, 8), pixelsBGRX.data(), 253, 1.0, nullptr);
    EXPECT_EQ(plain[13], 0x89);
    auto jpeg =
        QNBVellRTPEncoder::sendImageRect(cg::CGRectMake(0, 0, 16, 8), pixelsBGRX.data(), 4, 0.125, nullptr);
    EXPECT_EQ(jpeg[13], 0xFF);
    EXPECT_EQ(jpeg[14], 0xD8);
    auto none = QNBVellRTPEncoder::sendImageRect(cg::CGRectMake(5, 6, 16, 8), nullptr, 4, 0.5, nullptr);
    ASSERT_EQ(none.size(), 13u);
    EXPECT_EQ(none[0], 5);
    EXPECT_EQ(none[2], 6);
    for (size_t i = 4; i < 13; ++i)
        EXPECT_EQ(none[i], 0) << i;
}

// The fourth byte of each captured pixel is premultiplied alpha: a PNG record carries it.
TEST_F(QNBVellRTPEncoderTest, ImagesTakeTheFourthByteAsPremultipliedAlpha) {
    std::vector<uint8_t> pixels(4 * 2 * 4);
    for (size_t i = 0; i < pixels.size(); i += 4)
        pixels[i] = 0x10, pixels[i + 1] = 0x20, pixels[i + 2] = 0x30, pixels[i + 3] = 0x80;
    auto record =
        QNBVellRTPEncoder::sendImageRect(cg::CGRectMake(0, 0, 4, 2), pixels.data(), 253, 1.0, nullptr);
    ASSERT_GT(record.size(), 13u);
    auto decoded = png::decode(std::vector<uint8_t>(record.begin() + 13, record.end()));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->rgba[3], 0x80);
    EXPECT_NEAR(decoded->rgba[0], 0x60, 1); // red 0x30 at half alpha
}

TEST_F(QNBVellRTPEncoderTest, CropsFromAWholeDisplayBuffer) {
    std::vector<uint8_t> frame(10 * 5 * 4);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = uint8_t(i);
    uint8_t* crop = QNBVellRTPEncoder::cropAndCopyFrame(frame.data(), 40, cg::CGRectMake(2, 1, 3, 2));
    ASSERT_NE(crop, nullptr);
    for (size_t row = 0; row < 2; ++row)
        for (size_t b = 0; b < 12; ++b)
            EXPECT_EQ(crop[row * 12 + b], frame[(1 + row) * 40 + 8 + b]);
    std::free(crop);

    std::vector<uint8_t> whole(1024 * 768 * 4, 0x40);
    auto inside =
        QNBVellRTPEncoder::sendJpegRect(cg::CGRectMake(1000, 760, 24, 8), whole.data(), 0.5, *display);
    EXPECT_GT(inside.size(), 13u);
    auto outside =
        QNBVellRTPEncoder::sendPngRect(cg::CGRectMake(1000, 760, 25, 8), whole.data(), nullptr, *display);
    EXPECT_EQ(outside.size(), 13u);
}

TEST_F(QNBVellRTPEncoderTest, NoSocketNoDisplay) {
    encoder->encodeFrame(0, false, nullptr, 0x20);
    EXPECT_TRUE(socket->writes.empty());
    EXPECT_EQ(QNBVellRTPEncoderClass().name, "QNBVellRTPEncoder");
    EXPECT_NE(std::dynamic_pointer_cast<QNBVellRTPEncoder>(QNBVellRTPEncoderClass().make()), nullptr);
}

} // namespace
} // namespace capture
