// The rectangle encoder against a scripted window server, display pictures the test paints and
// a socket that records what the client would receive. The records are read back here with a
// reader of the tests' own and their payloads decoded (TurboJPEG, zlib).
#include "capture/tests/EncoderTestSupport.h"

#include "capture/QNBVellEncoder.h"
#include "display/QNBDisplaySet.h"
#include "regions/UpdatedRectangles.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/Profile.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>

namespace capture {
namespace {

using testing::FakeDisplay;

struct Record {
    int16_t x, y;
    uint16_t width, height;
    uint8_t encoding;
    std::vector<uint8_t> payload;
};
struct Update {
    uint8_t designation;
    std::vector<Record> records;
};

// Every update of the stream; fails the test unless the stream is whole updates and nothing else.
std::vector<Update> readUpdates(const std::vector<uint8_t>& s) {
    std::vector<Update> updates;
    auto u16 = [&](size_t o) { return uint16_t(s[o] | s[o + 1] << 8); };
    size_t at = 0;
    while (at < s.size()) {
        if (at + 3 > s.size()) {
            ADD_FAILURE() << "a cut header at " << at;
            break;
        }
        Update update{s[at], {}};
        const uint16_t count = u16(at + 1);
        at += 3;
        for (uint16_t i = 0; i < count; ++i) {
            if (at + 13 > s.size()) {
                ADD_FAILURE() << "record " << i << " of " << count << " missing";
                return updates;
            }
            Record r{int16_t(u16(at)), int16_t(u16(at + 2)), u16(at + 4), u16(at + 6), s[at + 8], {}};
            const uint32_t length =
                uint32_t(s[at + 9] | s[at + 10] << 8 | s[at + 11] << 16 | s[at + 12] << 24);
            at += 13;
            if (at + length > s.size()) {
                ADD_FAILURE() << "payload of record " << i << " cut";
                return updates;
            }
            r.payload.assign(s.begin() + long(at), s.begin() + long(at + length));
            at += length;
            update.records.push_back(std::move(r));
        }
        updates.push_back(std::move(update));
    }
    return updates;
}

bool isDummy(const Record& r) {
    return r.x == 0 && r.y == 0 && r.width == 0 && r.height == 0 && r.encoding == 2 && r.payload.empty();
}

// The JPEG TurboJPEG makes of a rectangle of a packed BGRX picture at a quality.
std::vector<uint8_t> jpegOfPicture(const std::vector<uint8_t>& picture, size_t pictureWidth, cg::CGRect r,
                                   int quality) {
    tjhandle handle = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    const uint8_t* first = picture.data() + (size_t(r.origin.y) * pictureWidth + size_t(r.origin.x)) * 4;
    EXPECT_EQ(tjCompress2(handle, first, int(r.size.width), int(pictureWidth * 4), int(r.size.height),
                          TJPF_BGRX, &jpeg, &size, TJSAMP_420, quality, TJFLAG_FASTDCT),
              0);
    std::vector<uint8_t> out(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(handle);
    return out;
}

// Decoded BGRX pixels of a JPEG, with its size.
std::vector<uint8_t> decodeJPEG(const std::vector<uint8_t>& jpeg, int* width, int* height) {
    tjhandle d = tjInitDecompress();
    int sub = 0, space = 0;
    std::vector<uint8_t> pixels;
    if (tjDecompressHeader3(d, jpeg.data(), jpeg.size(), width, height, &sub, &space) == 0) {
        pixels.resize(size_t(*width) * size_t(*height) * 4);
        if (tjDecompress2(d, jpeg.data(), jpeg.size(), pixels.data(), *width, 0, *height, TJPF_BGRX, 0) != 0)
            pixels.clear();
    }
    tjDestroy(d);
    return pixels;
}

// A smooth picture, which JPEG keeps close to at any quality.
std::vector<uint8_t> smoothPixels(size_t width, size_t height, size_t pitch) {
    std::vector<uint8_t> bytes(pitch * height);
    for (size_t y = 0; y < height; ++y)
        for (size_t x = 0; x < width; ++x) {
            uint8_t* p = &bytes[y * pitch + 4 * x];
            p[0] = uint8_t(x / 8), p[1] = uint8_t(y / 4), p[2] = uint8_t(128 + (x + y) / 16), p[3] = 0;
        }
    return bytes;
}

class QNBVellEncoderTest : public ::testing::Test {
  protected:
    // A stand-in Mac of the default profile, whose system version picks the capture by image.
    void SetUp() override {
        char pattern[] = "/tmp/vell.XXXXXX";
        ASSERT_TRUE(::mkdtemp(pattern));
        m_root = pattern;
        ::setenv("PLATFORM_ROOT", m_root.c_str(), 1);
        ASSERT_TRUE(platform::testing::makeRoot(m_root));
        open({{0x100, FakeDisplay{cg::CGRectMake(0, 0, 1024, 768), 1024, 768}}});
    }
    void TearDown() override {
        std::filesystem::remove_all(m_root);
        ::unsetenv("PLATFORM_ROOT");
        platform::Profile::reload();
    }

    // Displays (each with a picture of its pixel size) in one set, the encoder informed.
    void open(std::map<uint32_t, FakeDisplay> list, uint32_t encodingModes = 0) {
        for (const auto& [id, d] : list)
            pixels.provider->pictures[id] = {d.pixelsWide, d.pixelsHigh, 1.0};
        fakeDisplays.reset();
        fakeDisplays = std::make_unique<testing::ScopedDisplays>(list);
        socket = std::make_shared<regions::testing::RecordingSocket>();
        socket->probeLock = false;
        encoder = QNBVellEncoder::create();
        auto set = std::make_shared<display::QNBDisplaySet>();
        displays.clear();
        for (const auto& entry : list) {
            displays.push_back(std::make_shared<display::QNBDisplay>(entry.first));
            set->addDisplay(displays.back());
        }
        set->finalizeSet();
        net::QNCapabilities capabilities;
        capabilities.encodingModes = encodingModes;
        encoder->setEncoderInformation(set, socket, capabilities);
        display = displays.front();
    }
    // One update of the display; the stream read from where the last one ended.
    Update frame(int32_t extra = 0, const std::shared_ptr<display::QNBDisplay>& d = nullptr) {
        const size_t before = socket->stream().size();
        encoder->encodeFrame(extra, false, d ? d : display, 0x20);
        auto all = socket->stream();
        auto updates = readUpdates(std::vector<uint8_t>(all.begin() + long(before), all.end()));
        EXPECT_EQ(updates.size(), 1u);
        return updates.empty() ? Update{} : updates.front();
    }
    std::vector<uint8_t> picture(size_t width, size_t height) {
        return pixels.provider->painter ? pixels.provider->painter(width, height, width * 4)
                                        : testing::patternPixels(width, height, width * 4);
    }

    platform::LogCapture log{true};
    std::string m_root;
    testing::ScopedPixelProvider pixels;
    std::unique_ptr<testing::ScopedDisplays> fakeDisplays;
    std::shared_ptr<regions::testing::RecordingSocket> socket;
    std::shared_ptr<QNBVellEncoder> encoder;
    std::vector<std::shared_ptr<display::QNBDisplay>> displays;
    std::shared_ptr<display::QNBDisplay> display;
};

TEST_F(QNBVellEncoderTest, NothingChangedIsAHeaderAlone) {
    Update update = frame();
    EXPECT_EQ(update.designation, 0x20);
    EXPECT_TRUE(update.records.empty());
    EXPECT_EQ(socket->stream(), (std::vector<uint8_t>{0x20, 0, 0}));
    // Extra records are counted for the caller, who writes them.
    encoder->encodeFrame(2, false, display, 0x28);
    auto s = socket->stream();
    EXPECT_EQ(std::vector<uint8_t>(s.begin() + 3, s.end()), (std::vector<uint8_t>{0x28, 2, 0}));
}

TEST(QNBVellEncoderSplit, LargeRectanglesAreHalvedByRowsUntilSmallEnough) {
    auto pieces = SplitLargeRectangles({regions::QNRect(cg::CGRectMake(0, 0, 1000, 1000))});
    ASSERT_EQ(pieces.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_TRUE(cg::CGRectEqualToRect(pieces[i].rect(), cg::CGRectMake(0, 250.0 * double(i), 1000, 250)))
            << i;
        EXPECT_FALSE(pieces[i].moved());
    }
    // Odd heights: the second half takes the extra row.
    pieces = SplitLargeRectangles({regions::QNRect(cg::CGRectMake(0, 0, 840, 525))});
    ASSERT_EQ(pieces.size(), 2u);
    EXPECT_TRUE(cg::CGRectEqualToRect(pieces[1].rect(), cg::CGRectMake(0, 262, 840, 263)));
    // A large rectangle of one row cannot be halved: it is kept, and the passes end.
    pieces = SplitLargeRectangles({regions::QNRect(cg::CGRectMake(0, 0, 1000000, 1)),
                                   regions::QNRect(cg::CGRectMake(0, 0, 1000000, 0.5))});
    EXPECT_EQ(pieces.size(), 2u);
    EXPECT_TRUE(SplitLargeRectangles({}).empty());
}

TEST_F(QNBVellEncoderTest, AThinRectangleGoesAtHighQualityWhateverItsHeat) {
    // Five frames of heat over the area first.
    const cg::CGRect thin = cg::CGRectMake(100, 100, 1, 1000);
    for (int i = 0; i < 5; ++i) {
        display->addDirtyRectangle(cg::CGRectMake(0, 0, 400, 768));
        frame();
    }
    ASSERT_EQ(display->updateHeatMap().size(), 5u);
    EXPECT_GT(encoder->scoreRectangleHeat(cg::CGRectMake(100, 100, 2, 668), *display),
              encoder->lossyThresholdForDisplay(*display));
    display->addDirtyRectangle(thin);
    Update update = frame();
    ASSERT_EQ(update.records.size(), 1u);
    const Record& r = update.records[0];
    // Clipped to the display, aligned to even pixels, quality 99.
    EXPECT_EQ(r.x, 100);
    EXPECT_EQ(r.width, 2);
    EXPECT_EQ(r.height, 668);
    EXPECT_EQ(r.encoding, 4);
    EXPECT_EQ(r.payload, jpegOfPicture(picture(1024, 768), 1024, cg::CGRectMake(100, 100, 2, 668), 99));
}

TEST_F(QNBVellEncoderTest, HotAreasGoLossyAndAreSentAgainOnceCool) {
    const cg::CGRect area = cg::CGRectMake(200, 100, 400, 300);
    // The first frame: no heat before it, but its own extent makes the area hot.
    display->addDirtyRectangle(area);
    Update first = frame();
    ASSERT_EQ(first.records.size(), 1u);
    EXPECT_EQ(first.records[0].encoding, 4);
    EXPECT_EQ(first.records[0].payload, jpegOfPicture(picture(1024, 768), 1024, area, 20));
    for (int i = 0; i < 4; ++i) {
        display->addDirtyRectangle(area);
        EXPECT_EQ(frame().records.size(), 1u);
    }
    EXPECT_EQ(display->updateHeatMap().size(), 5u);
    EXPECT_FALSE(display->lossyRects()->isEmpty());

    // Frames without damage let the heat fade; nothing is sent while the area is still warm.
    for (size_t left = 4; left >= 1; --left) {
        EXPECT_TRUE(frame().records.empty());
        EXPECT_EQ(display->updateHeatMap().size(), left);
    }
    Update refresh = frame();
    EXPECT_TRUE(display->updateHeatMap().empty());
    ASSERT_EQ(refresh.records.size(), 1u);
    EXPECT_EQ(refresh.records[0].x, 200);
    EXPECT_EQ(refresh.records[0].width, 400);
    EXPECT_EQ(refresh.records[0].payload, jpegOfPicture(picture(1024, 768), 1024, area, 99));
    EXPECT_TRUE(display->lossyRects()->isEmpty());
    EXPECT_TRUE(frame().records.empty());
}

TEST_F(QNBVellEncoderTest, ClientsTakingSqueezedRecordsGetLargeHotAreasSqueezed) {
    open({{0x100, FakeDisplay{cg::CGRectMake(0, 0, 1024, 768), 1024, 768}}}, 0x80);
    display->addDirtyRectangle(cg::CGRectMake(200, 100, 400, 300));
    Update update = frame();
    ASSERT_EQ(update.records.size(), 1u);
    const Record& r = update.records[0];
    EXPECT_EQ(r.encoding, 14);
    EXPECT_EQ(r.width, 400); // the full size
    EXPECT_EQ(r.height, 300);
    int width = 0, height = 0;
    EXPECT_FALSE(decodeJPEG(r.payload, &width, &height).empty());
    EXPECT_EQ(width, 200);
    EXPECT_EQ(height, 150);
    // Small hot areas stay plain low-quality JPEG.
    display->addDirtyRectangle(cg::CGRectMake(200, 100, 100, 100));
    update = frame();
    ASSERT_EQ(update.records.size(), 1u);
    EXPECT_EQ(update.records[0].encoding, 4);
}

TEST_F(QNBVellEncoderTest, SqueezedRecordOfOddSidesRoundsTheSmallPictureUp) {
    std::vector<uint8_t> buffer = testing::patternPixels(31, 17, 31 * 4);
    ASSERT_TRUE(encoder->sendSqueezedRect(cg::CGRectMake(10, 20, 31, 17), buffer.data(), 0.5, *display));
    std::vector<uint8_t> stream{0x20, 1, 0};
    for (uint8_t b : socket->stream())
        stream.push_back(b);
    auto updates = readUpdates(stream);
    ASSERT_EQ(updates.size(), 1u);
    const Record& r = updates[0].records[0];
    EXPECT_EQ(r.x, 10);
    EXPECT_EQ(r.width, 31);
    EXPECT_EQ(r.height, 17);
    int width = 0, height = 0;
    decodeJPEG(r.payload, &width, &height);
    EXPECT_EQ(width, 16);
    EXPECT_EQ(height, 9);
}

TEST_F(QNBVellEncoderTest, RecordsAreRelativeToTheDisplaySet) {
    // The set begins at x 100; the second display sits 1024 points into it.
    open({{0x100, FakeDisplay{cg::CGRectMake(100, 0, 1024, 768), 1024, 768}},
          {0x101, FakeDisplay{cg::CGRectMake(1124, 40, 840, 525), 840, 525}}});
    // Handed as the session hands it: relative to the set, in pixels.
    encoder->addDirtyRectangle(cg::CGRectMake(1100, 90, 20, 10));
    Update update = frame(0, displays[1]);
    ASSERT_EQ(update.records.size(), 1u);
    const Record& r = update.records[0];
    EXPECT_EQ(r.x, 1100);
    EXPECT_EQ(r.y, 90);
    EXPECT_EQ(r.width, 20);
    EXPECT_EQ(r.payload, jpegOfPicture(picture(840, 525), 840, cg::CGRectMake(76, 50, 20, 10), 99));
}

// The one display of the set sits right of the main display: the session's rectangles are
// relative to it, and the encoder finds them on it.
TEST_F(QNBVellEncoderTest, ChangesOnADisplayAwayFromTheOriginAreEncoded) {
    open({{0x100, FakeDisplay{cg::CGRectMake(1440, 0, 1024, 768), 1024, 768}}});
    const cg::CGRect area = cg::CGRectMake(200, 100, 64, 32);
    encoder->addDirtyRectangle(area);
    // A rectangle past the display's right edge in the set is clipped to it.
    encoder->addDirtyRectangle(cg::CGRectMake(1000, 700, 100, 100));
    Update update = frame();
    ASSERT_EQ(update.records.size(), 2u);
    const Record& r = update.records[0];
    EXPECT_FALSE(isDummy(r));
    EXPECT_EQ(r.encoding, 4);
    EXPECT_EQ(r.x, 200);
    EXPECT_EQ(r.y, 100);
    EXPECT_EQ(r.width, 64);
    EXPECT_EQ(r.height, 32);
    EXPECT_EQ(r.payload, jpegOfPicture(picture(1024, 768), 1024, area, 20));
    const Record& edge = update.records[1];
    EXPECT_EQ(edge.x, 1000);
    EXPECT_EQ(edge.y, 700);
    EXPECT_EQ(edge.width, 24);
    EXPECT_EQ(edge.height, 68);
    EXPECT_TRUE(display->rectManager()->rectangleQueue().empty());
    // Outside the display's place in the set: not queued.
    encoder->addDirtyRectangle(cg::CGRectMake(1440, 0, 10, 10));
    EXPECT_TRUE(display->rectManager()->rectangleQueue().empty());
}

TEST_F(QNBVellEncoderTest, AMovedRectangleGivesACopyRecordAndAcknowledgesItsBlock) {
    const cg::CGRect moved = cg::CGRectMake(10, 20, 100, 50);
    display->rectManager()->addMovedRectangle(&moved, 1, cg::CGPointMake(5, -7));
    Update update = frame();
    ASSERT_EQ(update.records.size(), 1u);
    const Record& r = update.records[0];
    EXPECT_EQ(r.encoding, 1);
    EXPECT_EQ(r.x, 10);
    EXPECT_EQ(r.y, 20);
    EXPECT_EQ(r.width, 100);
    EXPECT_EQ(r.payload, (std::vector<uint8_t>{5, 0, 0xF9, 0xFF}));
    EXPECT_TRUE(display->rectManager()->rectangleQueue().empty());
    EXPECT_TRUE(display->updateHeatMap().empty()); // a move is no damage
}

TEST_F(QNBVellEncoderTest, JPEGRecordsDecodeWithinTheirQualitysError) {
    pixels.provider->painter = smoothPixels;
    const cg::CGRect area = cg::CGRectMake(64, 32, 512, 256);
    display->addDirtyRectangle(area);
    Update lossy = frame(); // hot: quality 20
    Update sharp = frame(); // cooled at once (one frame of heat): quality 99
    ASSERT_EQ(lossy.records.size(), 1u);
    ASSERT_EQ(sharp.records.size(), 1u);
    const auto whole = smoothPixels(1024, 768, 4096);
    auto meanError = [&](const Record& r) {
        int width = 0, height = 0;
        auto decoded = decodeJPEG(r.payload, &width, &height);
        EXPECT_EQ(width, r.width);
        EXPECT_EQ(height, r.height);
        double sum = 0;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                for (int c = 0; c < 3; ++c)
                    sum += std::abs(int(decoded[size_t((y * width + x) * 4 + c)]) -
                                    int(whole[size_t((r.y + y) * 4096 + (r.x + x) * 4 + c)]));
        return sum / (double(width) * height * 3);
    };
    EXPECT_LT(meanError(sharp.records[0]), 1.0);
    EXPECT_LT(meanError(lossy.records[0]), 4.0);
    EXPECT_GT(sharp.records[0].payload.size(), lossy.records[0].payload.size());
}

TEST_F(QNBVellEncoderTest, HostileRectanglesGiveOneRecordEachAndNeverACrash) {
    auto manager = display->rectManager();
    manager->addDirtyRectangle(cg::CGRectMake(5000, 5000, 10, 10)); // off the display
    manager->addDirtyRectangle(cg::CGRectMake(-50, -40, 100, 100)); // partly off
    manager->addDirtyRectangle(cg::CGRectMake(std::nan(""), 3, 4, 5));
    manager->addDirtyRectangle(cg::CGRectMake(0, 0, 1e12, -1e12));
    manager->addDirtyRectangle(cg::CGRectMake(700, 700, 60000, 60000)); // huge, mostly off
    Update update = frame();
    ASSERT_FALSE(update.records.empty());
    size_t dummies = 0, images = 0;
    for (const auto& r : update.records) {
        if (isDummy(r))
            ++dummies;
        else if (r.encoding == 4 && !r.payload.empty())
            ++images;
        else
            ADD_FAILURE() << "encoding " << int(r.encoding);
    }
    EXPECT_GT(dummies, 0u);
    EXPECT_GT(images, 0u);
    EXPECT_TRUE(manager->rectangleQueue().empty());
}

TEST_F(QNBVellEncoderTest, TinyAndOddDisplays) {
    open({{0x100, FakeDisplay{cg::CGRectMake(0, 0, 1, 1), 1, 1}},
          {0x101, FakeDisplay{cg::CGRectMake(1, 0, 840, 525), 840, 525}}});
    // One pixel cannot be even-aligned inside its display: still one record.
    display->addDirtyRectangle(cg::CGRectMake(0, 0, 1, 1));
    Update tiny = frame();
    ASSERT_EQ(tiny.records.size(), 1u);
    EXPECT_TRUE(isDummy(tiny.records[0]) || tiny.records[0].encoding == 4);

    // The whole odd display: two halves, the lower pulled up one row to stay inside; the whole
    // display changed, so both are hot (quality 20).
    displays[1]->addDirtyRectangle(cg::CGRectMake(1, 0, 840, 525));
    Update odd = frame(0, displays[1]);
    ASSERT_EQ(odd.records.size(), 2u);
    EXPECT_EQ(odd.records[0].height, 262);
    EXPECT_EQ(odd.records[1].y, 261);
    EXPECT_EQ(odd.records[1].height, 264);
    EXPECT_EQ(odd.records[1].payload,
              jpegOfPicture(picture(840, 525), 840, cg::CGRectMake(0, 261, 840, 264), 20));
}

TEST_F(QNBVellEncoderTest, AVanishedDisplayOrARefusingSocketKeepsTheCountRight) {
    display->addDirtyRectangle(cg::CGRectMake(10, 10, 50, 50));
    pixels.provider->pictures.clear(); // the picture is gone: the capture fails
    Update update = frame();
    ASSERT_EQ(update.records.size(), 1u);
    EXPECT_TRUE(isDummy(update.records[0]));

    // Removed altogether: the window server no longer knows it, so nothing of it is visible.
    auto gone = std::make_shared<display::QNBDisplay>(0x999);
    gone->addDirtyRectangle(cg::CGRectMake(10, 10, 50, 50));
    update = frame(0, gone);
    ASSERT_EQ(update.records.size(), 1u);
    EXPECT_TRUE(isDummy(update.records[0]));

    socket->failFromWrite = socket->writes.size();
    display->addDirtyRectangle(cg::CGRectMake(10, 10, 50, 50));
    encoder->encodeFrame(0, false, display, 0x20);
    EXPECT_TRUE(display->rectManager()->rectangleQueue().empty());
    // No socket, no display: nothing at all.
    encoder->encodeFrame(0, false, nullptr, 0x20);
    encoder->setEncoderInformation(std::make_shared<display::QNBDisplaySet>(), nullptr, {});
    encoder->encodeFrame(0, false, display, 0x20);
}

TEST_F(QNBVellEncoderTest, HeatIsTheMeanOverTheHeatMap) {
    EXPECT_EQ(encoder->scoreRectangleHeat(cg::CGRectMake(0, 0, 10, 10), *display), 0.0);
    EXPECT_EQ(encoder->lossyThresholdForDisplay(*display), 0.0);
    auto left = std::make_shared<regions::UpdatedRectangles>();
    left->addRectangle(cg::CGRectMake(0, 0, 512, 768));
    auto empty = std::make_shared<regions::UpdatedRectangles>();
    display->setUpdateHeatMap({left, empty});
    EXPECT_DOUBLE_EQ(encoder->scoreRectangleHeat(cg::CGRectMake(0, 0, 10, 10), *display), 0.5);
    EXPECT_DOUBLE_EQ(encoder->scoreRectangleHeat(cg::CGRectMake(500, 0, 20, 10), *display), 0.4);
    EXPECT_DOUBLE_EQ(encoder->scoreRectangleHeat(cg::CGRectMake(600, 0, 20, 10), *display), 0.0);
    // Half the grid's cells lie wholly inside: 0.9 × 0.5 × 0.5.
    EXPECT_NEAR(encoder->lossyThresholdForDisplay(*display), 0.225, 1e-9);
}

// ---- The zlib sender --------------------------------------------------------------------------

class QNBVellEncoderZlibTest : public QNBVellEncoderTest {
  protected:
    // The payloads of the zlib records written so far, inflated by one inflater in order.
    std::vector<std::vector<uint8_t>> inflateAll() {
        std::vector<uint8_t> s = socket->stream();
        std::vector<std::vector<uint8_t>> rows;
        z_stream inflater{};
        EXPECT_EQ(inflateInit(&inflater), Z_OK);
        size_t at = 0;
        while (at + 13 <= s.size()) {
            const uint32_t length =
                uint32_t(s[at + 9] | s[at + 10] << 8 | s[at + 11] << 16 | s[at + 12] << 24);
            EXPECT_EQ(s[at + 8], 0);
            std::vector<uint8_t> out(1 << 20);
            inflater.next_in = &s[at + 13];
            inflater.avail_in = length;
            inflater.next_out = out.data();
            inflater.avail_out = uInt(out.size());
            EXPECT_EQ(inflate(&inflater, Z_SYNC_FLUSH), Z_OK);
            EXPECT_EQ(inflater.avail_in, 0u);
            out.erase(out.begin() + (inflater.next_out - out.data()), out.end());
            rows.push_back(std::move(out));
            at += 13 + length;
        }
        inflateEnd(&inflater);
        return rows;
    }
};

TEST_F(QNBVellEncoderZlibTest, TwoRecordsInflateWithOneInflater) {
    auto first = testing::patternPixels(40, 30, 160);
    auto second = smoothPixels(64, 9, 256);
    uint32_t size1 = 0, size2 = 0;
    ASSERT_TRUE(encoder->sendZlibRect(cg::CGRectMake(2, 4, 40, 30), first.data(), *display, &size1));
    ASSERT_TRUE(encoder->sendZlibRect(cg::CGRectMake(0, 0, 64, 9), second.data(), *display, &size2));
    auto s = socket->stream();
    EXPECT_EQ(s[0], 2); // x
    EXPECT_EQ(s[4], 40);
    EXPECT_EQ(size1, uint32_t(s[9] | s[10] << 8));
    EXPECT_EQ(s.size(), 2 * 13 + size1 + size2);
    auto rows = inflateAll();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0], first);
    EXPECT_EQ(rows[1], second);
}

TEST_F(QNBVellEncoderZlibTest, AndroidClientsGetRedGreenBlueOpaque) {
    net::QNCapabilities capabilities;
    capabilities.androidFlags = 1;
    encoder->setEncoderInformation(encoder->displaySet(), socket, capabilities);
    auto pixels = testing::patternPixels(8, 2, 32);
    ASSERT_TRUE(encoder->sendZlibRect(cg::CGRectMake(0, 0, 8, 2), pixels.data(), *display, nullptr));
    auto rows = inflateAll();
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_EQ(rows[0].size(), 64u);
    for (size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(rows[0][4 * i], pixels[4 * i + 2]);
        EXPECT_EQ(rows[0][4 * i + 1], pixels[4 * i + 1]);
        EXPECT_EQ(rows[0][4 * i + 2], pixels[4 * i]);
        EXPECT_EQ(rows[0][4 * i + 3], 255);
    }
}

TEST_F(QNBVellEncoderZlibTest, IncompressibleRowsComeBackWhole) {
    std::vector<uint8_t> noise(256 * 64 * 4);
    uint32_t state = 12345;
    for (auto& b : noise)
        b = uint8_t((state = state * 1103515245u + 12345u) >> 24);
    uint32_t size = 0;
    ASSERT_TRUE(encoder->sendZlibRect(cg::CGRectMake(0, 0, 256, 64), noise.data(), *display, &size));
    EXPECT_GT(size, noise.size());
    auto rows = inflateAll();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], noise);
}

TEST_F(QNBVellEncoderZlibTest, ADeadDeflateStreamClosesThatClientOnly) {
    deflateEnd(&encoder->deflateStream());
    auto pixels = testing::patternPixels(8, 2, 32);
    EXPECT_FALSE(encoder->sendZlibRect(cg::CGRectMake(0, 0, 8, 2), pixels.data(), *display, nullptr));
    EXPECT_TRUE(log.contains("Zlib died with error -2 - avail_out"));
    EXPECT_EQ(socket->closes.load(), 1);
    EXPECT_TRUE(socket->stream().empty());
}

TEST(QNBVellEncoderClassTest, NamesTheRectangleEncoder) {
    const auto& lan = QNBLANVellEncoderClass();
    EXPECT_EQ(lan.name, "QNBVellEncoder");
    auto encoder = lan.make();
    EXPECT_TRUE(std::dynamic_pointer_cast<QNBVellEncoder>(encoder));
    EXPECT_FALSE(lan == QNBJPEGVellEncoderClass());
    EXPECT_EQ(QNBVellEncoder().drivenFramerate(), 4294967295u);
}

} // namespace
} // namespace capture
