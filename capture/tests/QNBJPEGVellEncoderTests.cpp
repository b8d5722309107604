// The encoder base and the JPEG encoder against a scripted window server, pictures from a
// pattern, and a socket that records what the client would receive.
#include "capture/tests/EncoderTestSupport.h"

#include "capture/QNBJPEGVellEncoder.h"
#include "display/QNBDisplaySet.h"
#include "regions/UpdatedRectangles.h"

#include "platform/core/Clock.h"
#include "platform/core/Log.h"

#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <set>
#include <thread>
#include <variant>

namespace capture {
namespace {

using testing::FakeDisplay;
using testing::parseFrames;
using testing::ReceivedFrame;

// ---- The encoder base ------------------------------------------------------------------------

class DesignationProbe : public QNBBaseVellEncoder {
  public:
    using QNBBaseVellEncoder::encodeFrame;
    void encodeFrame(int32_t, bool, const std::shared_ptr<display::QNBDisplay>&,
                     uint32_t designation) override {
        seen = designation;
    }
    uint32_t seen = 0;
};

TEST(QNBBaseVellEncoderTest, ThreeArgumentFrameUsesDesignation0x20AndBaseAnswers) {
    DesignationProbe probe;
    probe.encodeFrame(0, false, nullptr);
    EXPECT_EQ(probe.seen, 0x20u);
    EXPECT_FALSE(probe.drivesFrameClock());
    EXPECT_EQ(probe.drivenFramerate(), 4294967295u);
    EXPECT_TRUE(probe.deflateReady());
    EXPECT_TRUE(probe.displaySet()); // an empty set from the start
}

// Whether the display's queued changes hold exactly r among their rectangles.
bool queued(const display::QNBDisplay& display, cg::CGRect r) {
    for (const auto& entry : display.rectManager()->rectangleQueue()) {
        const auto* updated = std::get_if<std::shared_ptr<regions::UpdatedRectangles>>(&entry);
        if (!updated) continue;
        for (const auto& q : (*updated)->newArrayOfRectangles())
            if (cg::CGRectEqualToRect(q.rect(), r)) return true;
    }
    return false;
}

TEST(QNBBaseVellEncoderTest, DirtyRectanglesAreClippedToEachDisplayTheyMeet) {
    testing::ScopedDisplays displays({{0x100, FakeDisplay{cg::CGRectMake(0, 0, 100, 100), 100, 100}},
                                      {0x101, FakeDisplay{cg::CGRectMake(100, 0, 100, 100), 100, 100}}});
    QNBBaseVellEncoder encoder;
    auto left = std::make_shared<display::QNBDisplay>(0x100);
    auto right = std::make_shared<display::QNBDisplay>(0x101);
    auto set = std::make_shared<display::QNBDisplaySet>();
    set->setDisplays({left, right});
    set->finalizeSet(); // each display's place in the set, where the base clips
    encoder.setEncoderInformation(set, nullptr, {});

    // Only touching the left display's right edge: queued for the right display alone.
    encoder.addDirtyRectangle(cg::CGRectMake(100, 10, 20, 20));
    EXPECT_EQ(left->rectManager()->rectangleQueue().size(), 0u);
    ASSERT_EQ(right->rectManager()->rectangleQueue().size(), 1u);

    // Across both: each gets its own part.
    encoder.addDirtyRectangle(cg::CGRectMake(90, 50, 20, 10));
    EXPECT_TRUE(queued(*left, cg::CGRectMake(90, 50, 10, 10)));
    EXPECT_FALSE(queued(*left, cg::CGRectMake(90, 50, 20, 10)));
    EXPECT_TRUE(queued(*right, cg::CGRectMake(100, 50, 10, 10)));
}

TEST(QNBBaseVellEncoderTest, ImageBufferAtScaleTwoIsSizedFromTheImage) {
    testing::ScopedPixelProvider pixels;
    pixels.provider->pictures[0x100] = {200, 100, 2.0};
    const cg::CGRect rect = cg::CGRectMake(10, 5, 20, 10); // points: 40 × 20 pixels

    // The image's scale is the one asked for: its 40 × 20 pixels, in a buffer of that size.
    cg::CGSize size{};
    uint8_t* buffer = CreateImageBufferForRect_10_7Plus(2.0, nullptr, 0, 0x100, &size, rect);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(size.width, 40);
    EXPECT_EQ(size.height, 20);
    auto expected = testing::patternPixels(200, 100, 800);
    for (size_t row = 0; row < 20; ++row)
        ASSERT_EQ(std::memcmp(buffer + row * 160, expected.data() + (10 + row) * 800 + 20 * 4, 160), 0)
            << row;
    std::free(buffer);

    // Scale 1 asked of a scale-2 picture: redrawn at the rectangle's 20 × 10.
    buffer = CreateImageBufferForRect_10_7Plus(1.0, nullptr, 0, 0x100, &size, rect);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(size.width, 20);
    EXPECT_EQ(size.height, 10);
    std::free(buffer);

    // A caller's buffer too small for the image gives nothing; one large enough is filled.
    std::vector<uint8_t> small(20 * 10 * 4);
    EXPECT_EQ(CreateImageBufferForRect_10_7Plus(2.0, small.data(), small.size(), 0x100, &size, rect),
              nullptr);
    std::vector<uint8_t> enough(40 * 20 * 4);
    EXPECT_EQ(CreateImageBufferForRect_10_7Plus(2.0, enough.data(), enough.size(), 0x100, &size, rect),
              enough.data());

    // No picture, a non-finite or empty rectangle: nothing.
    EXPECT_EQ(CreateImageBufferForRect_10_7Plus(1.0, nullptr, 0, 0x999, &size, rect), nullptr);
    EXPECT_EQ(CreateImageBufferForRect_10_7Plus(1.0, nullptr, 0, 0x100, &size,
                                                cg::CGRectMake(0, 0, std::nan(""), 4)),
              nullptr);
    EXPECT_EQ(CreateImageBufferForRect_10_6(1.0, nullptr, 0, 0x100, &size, rect), nullptr); // no framebuffer
}

// ---- Plain functions --------------------------------------------------------------------------

TEST(QNBJPEGVellEncoderFunctions, EvenIntegral) {
    EXPECT_TRUE(
        cg::CGRectEqualToRect(CGRectEvenIntegral(cg::CGRectMake(3, 0, 11, 7)), cg::CGRectMake(2, 0, 12, 8)));
    EXPECT_TRUE(cg::CGRectEqualToRect(CGRectEvenIntegral(cg::CGRectMake(0.5, 1, 9, 9)),
                                      cg::CGRectMake(0, 0, 10, 10)));
    EXPECT_TRUE(cg::CGRectEqualToRect(CGRectEvenIntegral(cg::CGRectMake(0, 0, 840, 525)),
                                      cg::CGRectMake(0, 0, 840, 526)));
}

TEST(JPEGEncodePoolTest, AFramesJobsSubmittedTogetherRunSideBySide) {
    // Each job waits until all four have started: the batch must wake every worker, not one.
    JPEGEncodePool pool(4);
    std::mutex lock;
    std::condition_variable changed;
    int started = 0, together = 0, finished = 0;
    std::vector<JPEGEncodePool::Job> jobs;
    for (int i = 0; i < 4; ++i)
        jobs.push_back([&](JPEGCompressor*) {
            std::unique_lock hold(lock);
            ++started;
            changed.notify_all();
            if (changed.wait_for(hold, std::chrono::seconds(10), [&] { return started == 4; })) ++together;
            ++finished;
            changed.notify_all();
        });
    pool.submit(std::move(jobs));
    std::unique_lock hold(lock);
    ASSERT_TRUE(changed.wait_for(hold, std::chrono::seconds(20), [&] { return finished == 4; }));
    EXPECT_EQ(together, 4);
}

TEST(QNBJPEGVellEncoderFunctions, JPEGOfAnImageCutAndOfASurface) {
    auto image = cg::CGImageCreate(64, 32, 8, 32, 256, cg::kCGBitmapBGRX,
                                   cg::CGDataProviderCreateWithData(testing::patternPixels(64, 32, 256)));
    auto data = JPEGDataWithCGImageInRect(image, cg::CGRectMake(8, 8, 16, 16));
    ASSERT_TRUE(data);
    EXPECT_GT(data->length(), 100u);
    EXPECT_FALSE(JPEGDataWithCGImageInRect(image, cg::CGRectMake(100, 100, 4, 4)));

    auto surface = iosurface::IOSurface::create(1, 30, 20, 30 * 4 + 64);
    ASSERT_TRUE(surface);
    EXPECT_TRUE(JPEGDataWithBufferInRect(surface, cg::CGRectMake(2, 2, 28, 18)));
    // Beyond the surface: refused rather than read.
    EXPECT_FALSE(JPEGDataWithBufferInRect(surface, cg::CGRectMake(2, 2, 30, 18)));
}

// ---- The JPEG encoder --------------------------------------------------------------------------

class QNBJPEGVellEncoderTest : public ::testing::Test {
  protected:
    void open(size_t width, size_t height) {
        platform::installFakeClock();
        displays = std::make_unique<testing::ScopedDisplays>(std::map<uint32_t, FakeDisplay>{
            {0x100, FakeDisplay{cg::CGRectMake(0, 0, double(width), double(height)), width, height}}});
        pixels.provider->pictures[0x100] = {width, height, 1.0};
        socket = std::make_shared<regions::testing::RecordingSocket>();
        socket->probeLock = false;
        encoder = QNBJPEGVellEncoder::create();
        display = std::make_shared<display::QNBDisplay>(0x100);
        auto set = std::make_shared<display::QNBDisplaySet>();
        set->addDisplay(display);
        encoder->setEncoderInformation(set, socket, {});
    }
    void TearDown() override {
        if (encoder) {
            encoder->stopSession();
            encoder->drainQueues();
        }
    }
    void request(const std::shared_ptr<display::QNBDisplay>& d = nullptr) {
        encoder->encodeFrame(0, false, d ? d : display, 0x20);
    }
    testing::ReceivedFrames frames() { return parseFrames(socket->streamNow()); }
    testing::ReceivedFrames waitFrames(size_t n) {
        EXPECT_TRUE(testing::eventually([&] { return frames().size() >= n; }))
            << "frames: " << frames().size();
        encoder->drainQueues();
        return frames();
    }
    void change(cg::CGRect r) {
        encoder->addDirtyRectangle(r);
        encoder->enqueueFrame();
    }

    testing::ScopedPixelProvider pixels;
    std::unique_ptr<testing::ScopedDisplays> displays;
    std::shared_ptr<regions::testing::RecordingSocket> socket;
    std::shared_ptr<QNBJPEGVellEncoder> encoder;
    std::shared_ptr<display::QNBDisplay> display;
};

TEST_F(QNBJPEGVellEncoderTest, FirstRequestStartsTheSessionWithTheWholeDisplay) {
    open(64, 48);
    EXPECT_EQ(encoder->drivenFramerate(), 60u);
    EXPECT_TRUE(encoder->drivesFrameClock());
    EXPECT_FALSE(encoder->isActive());
    request();
    EXPECT_TRUE(encoder->isActive());
    auto received = waitFrames(1);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].designation, 0x20);
    ASSERT_EQ(received[0].rects.size(), 1u);
    const auto& r = received[0].rects[0];
    EXPECT_EQ(r.x, 0);
    EXPECT_EQ(r.width, 64);
    EXPECT_EQ(r.height, 48);
    EXPECT_EQ(r.encoding, 4);
    EXPECT_EQ(r.jpegWidth, 64);
    EXPECT_EQ(r.jpegHeight, 48);
}

TEST_F(QNBJPEGVellEncoderTest, ChangesGoOutInTwoConsecutiveFrames) {
    open(200, 100);
    request();
    waitFrames(1);
    request();
    change(cg::CGRectMake(100, 50, 10, 10)); // frame 2 also carries the first frame's whole display
    waitFrames(2);
    request();
    encoder->addDirtyRectangle(cg::CGRectMake(0, 0, 10, 10));
    change(cg::CGRectMake(150, 80, 10, 10));
    auto third = waitFrames(3)[2];
    EXPECT_EQ(third.rects.size(), 3u); // both new ones and frame 2's change again
    request();
    change(cg::CGRectMake(60, 60, 10, 10));
    auto fourth = waitFrames(4)[3];
    EXPECT_EQ(fourth.rects.size(), 3u); // the new one and frame 3's two
    request();
    change(cg::CGRectMake(20, 60, 10, 10));
    auto fifth = waitFrames(5)[4];
    ASSERT_EQ(fifth.rects.size(), 2u);
    for (const auto& r : fifth.rects)
        EXPECT_NE(r.x, 0) << "frame 3's changes are no longer carried";
}

// Two 10x10 changes with a gap: their 200 pixels against 0.8 of the union's. At a gap of 4 the
// union is 240 (192 < 200: one rectangle), at 6 it is 260 (208 > 200: two); a third change far
// away makes the list long enough to be simplified.
TEST_F(QNBJPEGVellEncoderTest, APairIsMergedOnlyWhenItCoversMoreThanFourFifthsOfItsUnion) {
    for (const auto& [gap, merged] : {std::pair{4, true}, std::pair{6, false}}) {
        SCOPED_TRACE(gap);
        displays.reset(); // the old records go before the new ones are put in place
        open(200, 100);
        request();
        waitFrames(1);
        request();
        change(cg::CGRectMake(150, 80, 10, 10)); // carried into frame 3
        waitFrames(2);
        request();
        encoder->addDirtyRectangle(cg::CGRectMake(0, 0, 10, 10));
        change(cg::CGRectMake(10 + gap, 0, 10, 10));
        auto third = waitFrames(3)[2];
        std::set<std::pair<int, int>> got;
        for (const auto& r : third.rects)
            got.insert({r.x, r.width});
        if (merged)
            EXPECT_EQ(got, (std::set<std::pair<int, int>>{{0, 20 + gap}, {150, 10}}));
        else
            EXPECT_EQ(got, (std::set<std::pair<int, int>>{{0, 10}, {10 + gap, 10}, {150, 10}}));
        encoder->stopSession();
        encoder->drainQueues();
    }
}

TEST_F(QNBJPEGVellEncoderTest, AWholeLargeDisplayGoesOutInFourStrips) {
    open(2560, 1600);
    request();
    auto first = waitFrames(1)[0];
    ASSERT_EQ(first.rects.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(first.rects[i].y, int16_t(400 * i));
        EXPECT_EQ(first.rects[i].width, 2560);
        EXPECT_EQ(first.rects[i].height, 400);
        EXPECT_EQ(first.rects[i].jpegHeight, 400);
    }
}

TEST_F(QNBJPEGVellEncoderTest, OddRectangleIsSentEvenAndAnOddDisplayKeepsItsLastRow) {
    open(840, 525); // mode 349: an odd height
    request();
    auto first = waitFrames(1)[0];
    ASSERT_EQ(first.rects.size(), 4u);
    EXPECT_EQ(first.rects[3].y + first.rects[3].height, 525); // cannot grow past the picture
    EXPECT_EQ(first.rects[3].jpegHeight, first.rects[3].height);

    request();
    request();
    change(cg::CGRectMake(3, 0, 11, 7));
    waitFrames(2);
    request();
    change(cg::CGRectMake(500, 500, 4, 4));
    auto third = waitFrames(3)[2];
    bool found = false;
    for (const auto& r : third.rects)
        if (r.x == 2 && r.y == 0 && r.width == 12 && r.height == 8) found = true;
    EXPECT_TRUE(found);

    // The surface road: a surface of exactly the display, a column from the top to the last
    // row: its odd height cannot grow, and it is encoded, not sent empty.
    auto surface = iosurface::IOSurface::create(9, 840, 525);
    request();
    encoder->addDirtyRectangle(cg::CGRectMake(700, 0, 100, 525));
    encoder->enqueueFrameWithSurface(surface);
    auto fourth = waitFrames(4)[3];
    bool column = false;
    for (const auto& r : fourth.rects)
        column |= r.x == 700 && r.y == 0 && r.height == 525 && r.jpegHeight == 525 && r.length > 0;
    EXPECT_TRUE(column);
}

TEST_F(QNBJPEGVellEncoderTest, SilentClientGetsTwoFramesThenOnePendingPicture) {
    open(64, 48);
    request(); // frame 1
    waitFrames(1);
    change(cg::CGRectMake(0, 0, 8, 8)); // frame 2: two in flight
    waitFrames(2);
    change(cg::CGRectMake(10, 10, 8, 8));
    change(cg::CGRectMake(20, 20, 8, 8));
    encoder->drainQueues();
    EXPECT_EQ(frames().size(), 2u);
    EXPECT_TRUE(encoder->hasPendingPicture());
    EXPECT_EQ(encoder->encoderFrames(), 2u);
    request(); // a slot frees: the pending picture goes out with both changes
    auto third = waitFrames(3)[2];
    EXPECT_GE(third.rects.size(), 2u);
}

TEST_F(QNBJPEGVellEncoderTest, ALousyClientGetsAKeepAliveEveryFiveSeconds) {
    open(64, 48);
    encoder->setLousyClient(true);
    EXPECT_EQ(encoder->maxConcurrentFrames(), 1u);
    request();
    waitFrames(1);
    auto& clock = platform::installFakeClock();
    request();
    clock.advance(platform::seconds(5.1));
    waitFrames(2); // still the first frame's whole display, carried once more
    request();
    clock.advance(platform::seconds(5.1));
    auto third = waitFrames(3)[2];
    ASSERT_EQ(third.rects.size(), 1u);
    EXPECT_EQ(third.rects[0].x, 0);
    EXPECT_EQ(third.rects[0].y, 0);
    EXPECT_EQ(third.rects[0].width, 2);
    EXPECT_EQ(third.rects[0].height, 2);
}

TEST_F(QNBJPEGVellEncoderTest, RequestWithNoFrameInFlightStaysAtZero) {
    open(64, 48);
    encoder->updateRequestAnsweredEmpty();
    EXPECT_EQ(encoder->encoderFrames(), 0u);
    request();
    waitFrames(1);
    EXPECT_EQ(encoder->encoderFrames(), 1u);
    encoder->updateRequestAnsweredEmpty(); // an empty answer frees the slot too
    encoder->updateRequestAnsweredEmpty();
    EXPECT_EQ(encoder->encoderFrames(), 0u);
}

TEST_F(QNBJPEGVellEncoderTest, RefusedSurfaceWaitsInUseAndGoesOutWhenASlotFrees) {
    open(64, 48);
    request();
    waitFrames(1);
    auto second = iosurface::IOSurface::create(2, 64, 48);
    encoder->addDirtyRectangle(cg::CGRectMake(0, 0, 8, 8));
    encoder->enqueueFrameWithSurface(second);
    waitFrames(2);
    EXPECT_EQ(iosurface::IOSurfaceGetUseCount(second), 0); // written: given back
    EXPECT_EQ(iosurface::IOSurfaceGetLockCount(second), 0);

    auto refused = iosurface::IOSurface::create(3, 64, 48);
    auto newer = iosurface::IOSurface::create(4, 64, 48);
    encoder->addDirtyRectangle(cg::CGRectMake(30, 30, 8, 8));
    encoder->enqueueFrameWithSurface(refused);
    EXPECT_EQ(iosurface::IOSurfaceGetUseCount(refused), 1); // pending, kept from reuse
    encoder->enqueueFrameWithSurface(newer);
    EXPECT_EQ(iosurface::IOSurfaceGetUseCount(refused), 0); // replaced
    EXPECT_EQ(iosurface::IOSurfaceGetUseCount(newer), 1);
    EXPECT_EQ(frames().size(), 2u);

    // Then stillness: no change, no capture. A request alone sends the waiting surface.
    request();
    auto third = waitFrames(3)[2];
    EXPECT_FALSE(third.rects.empty());
    EXPECT_TRUE(testing::eventually([&] { return iosurface::IOSurfaceGetUseCount(newer) == 0; }));
}

// What the device shows: every record of every whole update decoded and painted in turn onto a
// BGRX canvas of the display's size. `firstBytes` gets, per update, the first byte of its first
// record's picture (which picture an update was made from, when each is of one flat value).
struct DevicePicture {
    std::vector<uint8_t> canvas;
    std::vector<int> firstBytes;
};

DevicePicture paintUpdates(const std::vector<uint8_t>& s, int width, int height) {
    DevicePicture picture{std::vector<uint8_t>(size_t(width * height * 4), 0), {}};
    auto u16 = [&](size_t o) { return uint16_t(s[o] | s[o + 1] << 8); };
    tjhandle decoder = tjInitDecompress();
    size_t at = 0;
    while (at + 3 <= s.size()) {
        uint16_t count = u16(at + 1);
        size_t p = at + 3;
        int first = -1;
        for (uint16_t i = 0; i < count; ++i) {
            if (p + 13 > s.size()) break;
            int x = int16_t(u16(p)), y = int16_t(u16(p + 2)), w = u16(p + 4), h = u16(p + 6);
            uint32_t length;
            std::memcpy(&length, &s[p + 9], 4);
            p += 13;
            if (p + length > s.size() || x < 0 || y < 0 || x + w > width || y + h > height) break;
            std::vector<uint8_t> pixels(size_t(w * h * 4));
            if (length &&
                tjDecompress2(decoder, &s[p], length, pixels.data(), w, w * 4, h, TJPF_BGRX, 0) == 0) {
                for (int row = 0; row < h; ++row)
                    std::memcpy(&picture.canvas[size_t(((y + row) * width + x) * 4)],
                                &pixels[size_t(row * w * 4)], size_t(w * 4));
                if (first < 0) first = pixels[0];
            }
            p += length;
        }
        picture.firstBytes.push_back(first);
        at = p;
    }
    tjDestroy(decoder);
    return picture;
}

iosurface::IOSurfaceRef flatSurface(uint32_t id, uint32_t width, uint32_t height, uint8_t value) {
    auto surface = iosurface::IOSurface::create(id, width, height);
    std::memset(iosurface::IOSurfaceGetBaseAddress(surface), value,
                iosurface::IOSurfaceGetBytesPerRow(surface) * height);
    return surface;
}

TEST_F(QNBJPEGVellEncoderTest, AnOlderPendingSurfaceNeverFollowsANewerOne) {
    open(64, 48);
    const cg::CGRect whole = cg::CGRectMake(0, 0, 64, 48);
    request(); // frame 1, the capture
    waitFrames(1);
    encoder->addDirtyRectangle(whole);
    encoder->enqueueFrameWithSurface(flatSurface(1, 64, 48, 30)); // frame 2: two in flight
    waitFrames(2);
    auto older = flatSurface(2, 64, 48, 90);
    encoder->addDirtyRectangle(whole);
    encoder->enqueueFrameWithSurface(older); // no slot: pending
    ASSERT_TRUE(encoder->hasPendingPicture());
    auto newer = flatSurface(3, 64, 48, 200);
    {
        // The auto-encode loop, woken by the freed slots, waits here: both requests and the
        // newer surface come before it runs.
        std::lock_guard hold(encoder->encoderLock());
        request();
        request();
        encoder->addDirtyRectangle(whole);
        encoder->enqueueFrameWithSurface(newer);
    }
    encoder->drainQueues();
    // Whatever the loop does now, nothing older than the newer surface may go out.
    request();
    EXPECT_FALSE(encoder->hasPendingPicture());
    EXPECT_EQ(iosurface::IOSurfaceGetUseCount(older), 0) << "the dropped surface is given back";
    encoder->drainQueues();

    auto device = paintUpdates(socket->streamNow(), 64, 48);
    ASSERT_GE(device.firstBytes.size(), 3u);
    auto newest = std::find_if(device.firstBytes.begin(), device.firstBytes.end(),
                               [](int v) { return std::abs(v - 200) <= 3; });
    ASSERT_NE(newest, device.firstBytes.end()) << "the newer surface went out";
    for (auto later = newest; later != device.firstBytes.end(); ++later)
        EXPECT_GT(*later, 150) << "update " << (later - device.firstBytes.begin())
                               << " was made from a surface older than the newest";
    size_t stale = 0;
    for (size_t i = 0; i < device.canvas.size(); i += 4)
        stale += std::abs(int(device.canvas[i]) - 200) > 3;
    EXPECT_EQ(stale, 0u) << "the device keeps pixels the display no longer shows";
}

TEST_F(QNBJPEGVellEncoderTest, StopDropsRectanglesAndPictureAndRestartSeedsAgain) {
    open(64, 48);
    request();
    waitFrames(1);
    encoder->stopSession();
    EXPECT_FALSE(encoder->isActive());
    change(cg::CGRectMake(0, 0, 8, 8)); // no session: dropped, no frame
    encoder->drainQueues();
    EXPECT_EQ(frames().size(), 1u);
    // A new display object restarts the session: the whole display again.
    auto other = std::make_shared<display::QNBDisplay>(0x100);
    request(other);
    auto second = waitFrames(2)[1];
    ASSERT_EQ(second.rects.size(), 1u);
    EXPECT_EQ(second.rects[0].width, 64);
}

TEST_F(QNBJPEGVellEncoderTest, AlternatingDisplayObjectsAgainstASurfaceFlood) {
    open(128, 96);
    socket->probeLock = false;
    auto other = std::make_shared<display::QNBDisplay>(0x100);
    std::atomic<bool> done{false};
    std::thread flood([&] {
        for (uint32_t i = 0; !done.load(); ++i) {
            auto surface = iosurface::IOSurface::create(i, 128, 96);
            encoder->addDirtyRectangle(cg::CGRectMake(i % 100, i % 80, 16, 16));
            encoder->enqueueFrameWithSurface(surface);
        }
    });
    for (int i = 0; i < 200; ++i) {
        request(i % 2 ? other : display);
        EXPECT_LE(encoder->encoderFrames(), 2u);
    }
    done = true;
    flood.join();
    encoder->stopSession();
    encoder->drainQueues();
    for (const auto& frame : frames())
        for (const auto& r : frame.rects) {
            EXPECT_LE(r.x + r.width, 128);
            EXPECT_LE(r.y + r.height, 96);
        }
}

// ---- Concurrent encoding ------------------------------------------------------------------------

// Holds workers at the start of chosen rectangles and tells which slots have been filled.
class WorkerGate {
  public:
    // Rectangles start only in this order, each once the one before it has been filled.
    void startInOrder(std::vector<size_t> order) {
        std::lock_guard lock(m_lock);
        m_order = std::move(order);
    }
    void hold(size_t index) {
        std::lock_guard lock(m_lock);
        m_held.insert(index);
    }
    void release(size_t index) {
        {
            std::lock_guard lock(m_lock);
            m_held.erase(index);
        }
        m_changed.notify_all();
    }
    EncodeObserver observer() {
        return [this](size_t index, bool filled) {
            std::unique_lock lock(m_lock);
            if (filled) {
                m_filled.push_back(index);
                m_changed.notify_all();
                return;
            }
            m_changed.wait(lock, [&] {
                if (m_held.count(index)) return false;
                if (m_order.empty()) return true;
                size_t turn = m_filled.size() % m_order.size();
                return m_order[turn] == index;
            });
        };
    }
    void waitFilled(size_t count) {
        std::unique_lock lock(m_lock);
        m_changed.wait(lock, [&] { return m_filled.size() >= count; });
    }
    std::vector<size_t> filled() {
        std::lock_guard lock(m_lock);
        return m_filled;
    }

  private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<size_t> m_order;
    std::set<size_t> m_held;
    std::vector<size_t> m_filled;
};

// The frame a serial encoder writes for the whole display: each strip compressed on its own
// with a buffer the library allocates, one after another.
std::vector<uint8_t> serialWholeDisplayFrame(size_t width, size_t height) {
    auto pixels = testing::patternPixels(width, height, width * 4);
    std::vector<uint8_t> bytes{0x20, 4, 0};
    tjhandle handle = tjInitCompress();
    for (size_t strip = 0; strip < 4; ++strip) {
        const size_t top = strip * height / 4, rows = height / 4;
        unsigned char* jpeg = nullptr;
        unsigned long size = 0;
        EXPECT_EQ(tjCompress2(handle, pixels.data() + top * width * 4, int(width), int(width * 4), int(rows),
                              TJPF_BGRX, &jpeg, &size, TJSAMP_420, 99, TJFLAG_FASTDCT),
                  0);
        const uint16_t record[4] = {0, uint16_t(top), uint16_t(width), uint16_t(rows)};
        const auto* head = reinterpret_cast<const uint8_t*>(record);
        bytes.insert(bytes.end(), head, head + 8);
        bytes.push_back(4);
        const uint32_t length = uint32_t(size);
        const auto* len = reinterpret_cast<const uint8_t*>(&length);
        bytes.insert(bytes.end(), len, len + 4);
        bytes.insert(bytes.end(), jpeg, jpeg + size);
        tjFree(jpeg);
    }
    tjDestroy(handle);
    return bytes;
}

TEST_F(QNBJPEGVellEncoderTest, WorkersFinishingInReverseStillSendTheSerialBytesInListOrder) {
    open(2048, 1536);
    WorkerGate gate;
    gate.startInOrder({3, 2, 1, 0});
    encoder->setEncodeWorkerCount(4);
    encoder->setEncodeObserver(gate.observer());
    request();
    auto received = waitFrames(1);
    EXPECT_EQ(gate.filled(), (std::vector<size_t>{3, 2, 1, 0}));
    ASSERT_EQ(received.size(), 1u);
    ASSERT_EQ(received[0].rects.size(), 4u);
    EXPECT_EQ(socket->streamNow(), serialWholeDisplayFrame(2048, 1536));

    // One worker, the pool's serial form, writes the same bytes too.
    auto serialSocket = std::make_shared<regions::testing::RecordingSocket>();
    serialSocket->probeLock = false;
    auto serial = QNBJPEGVellEncoder::create();
    serial->setEncodeWorkerCount(1);
    auto set = std::make_shared<display::QNBDisplaySet>();
    set->addDisplay(display);
    serial->setEncoderInformation(set, serialSocket, {});
    serial->encodeFrame(0, false, display, 0x20);
    EXPECT_TRUE(testing::eventually([&] { return parseFrames(serialSocket->streamNow()).size() == 1; }));
    serial->stopSession();
    serial->drainQueues();
    EXPECT_EQ(serialSocket->streamNow(), socket->streamNow());
}

// Sessions share one encode pool unless given a worker count: frames of several sessions built
// at once are each written whole, in list order, with the bytes of a serial encoding.
TEST_F(QNBJPEGVellEncoderTest, SessionsSharingTheEncodePoolEachWriteTheirWholeFrames) {
    open(2048, 1536);
    std::vector<std::shared_ptr<regions::testing::RecordingSocket>> sockets;
    std::vector<std::shared_ptr<QNBJPEGVellEncoder>> sessions;
    auto set = std::make_shared<display::QNBDisplaySet>();
    set->addDisplay(display);
    for (int i = 0; i < 3; ++i) {
        sockets.push_back(std::make_shared<regions::testing::RecordingSocket>());
        sockets.back()->probeLock = false;
        sessions.push_back(QNBJPEGVellEncoder::create());
        sessions.back()->setEncoderInformation(set, sockets.back(), {});
    }
    for (auto& session : sessions)
        session->encodeFrame(0, false, display, 0x20);
    const auto serial = serialWholeDisplayFrame(2048, 1536);
    for (size_t i = 0; i < sessions.size(); ++i) {
        EXPECT_TRUE(testing::eventually([&] { return parseFrames(sockets[i]->streamNow()).size() == 1; }));
        sessions[i]->stopSession();
        sessions[i]->drainQueues();
        EXPECT_EQ(sockets[i]->streamNow(), serial);
    }
}

TEST_F(QNBJPEGVellEncoderTest, TheSenderWaitingForASlotIsWokenByThatSlotWhateverFinishedAheadOfIt) {
    // Only the slot the sender waits for wakes it: strips finishing out of order, some ahead of
    // the sender and some behind it, still give the whole frame in list order.
    open(2048, 1536);
    WorkerGate gate;
    gate.startInOrder({2, 0, 3, 1});
    encoder->setEncodeWorkerCount(4);
    encoder->setEncodeObserver(gate.observer());
    request();
    auto received = waitFrames(1);
    EXPECT_EQ(gate.filled(), (std::vector<size_t>{2, 0, 3, 1}));
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(socket->streamNow(), serialWholeDisplayFrame(2048, 1536));
}

TEST_F(QNBJPEGVellEncoderTest, TheSenderEncodesWhatNoWorkerHasStartedWhileItsNextRecordWaits) {
    // The only worker takes strip 0 first and cannot finish it before strip 1 is filled: the
    // sender, waiting for strip 0, encodes strip 1 (and whatever else no worker has started)
    // instead of sleeping, and the frame still leaves in list order with the serial bytes.
    open(2048, 1536);
    WorkerGate gate;
    gate.startInOrder({1, 0, 2, 3});
    encoder->setEncodeWorkerCount(1);
    encoder->setEncodeObserver(gate.observer());
    request();
    const bool sent = testing::eventually([&] { return frames().size() == 1; });
    EXPECT_TRUE(sent) << "strip 0 waits for strip 1, which only the sender can encode";
    gate.startInOrder({}); // let whatever still waits go, so the encoder can end
    gate.release(0);
    encoder->drainQueues();
    ASSERT_TRUE(sent);
    EXPECT_EQ(gate.filled().front(), 1u);
    EXPECT_EQ(socket->streamNow(), serialWholeDisplayFrame(2048, 1536));
}

TEST_F(QNBJPEGVellEncoderTest, TheHeaderLeavesAtOnceAndNoRecordBeforeThoseBeforeIt) {
    open(1024, 768);
    WorkerGate gate;
    gate.hold(0);
    encoder->setEncodeWorkerCount(4);
    encoder->setEncodeObserver(gate.observer());
    request();
    gate.waitFilled(3); // strips 1 to 3 are encoded, strip 0 is not
    ASSERT_TRUE(testing::eventually([&] { return socket->writeCount() >= 1; }));
    EXPECT_EQ(socket->streamNow(), (std::vector<uint8_t>{0x20, 4, 0}));
    // The frame keeps the socket to itself until its last record: nothing can cut in.
    EXPECT_FALSE(socket->try_lock());
    gate.release(0);
    auto received = waitFrames(1);
    ASSERT_EQ(received[0].rects.size(), 4u);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(received[0].rects[i].y, int16_t(192 * i));
    EXPECT_TRUE(socket->try_lock());
    socket->unlock();
}

TEST_F(QNBJPEGVellEncoderTest, AFrameCutShortByAFailedWriteEndsTheConnectionAndNoFrameFollows) {
    open(2560, 1600); // four strips
    platform::LogCapture log(true);
    socket->failFromWrite = 2; // the header and one record go out, then the socket fails
    request();
    ASSERT_TRUE(testing::eventually([&] { return encoder->numberOfFramesEncoded() == 1; }));
    encoder->drainQueues();
    EXPECT_EQ(socket->cancels.load(), 1) << "the session's connection is ended";
    EXPECT_EQ(log.count("Screen update could not be written whole"), 1u);
    const size_t written = socket->writeCount();
    socket->failFromWrite = SIZE_MAX;
    request();
    change(cg::CGRectMake(0, 0, 64, 64));
    ASSERT_TRUE(testing::eventually([&] { return encoder->numberOfFramesEncoded() == 2; }));
    encoder->drainQueues();
    EXPECT_EQ(socket->writeCount(), written) << "a frame went out on a stream out of step";
}

TEST_F(QNBJPEGVellEncoderTest, AnEncoderEndingWithEncodesInFlightWritesWholeFramesAndGivesSurfacesBack) {
    open(1024, 768);
    std::weak_ptr<QNBJPEGVellEncoder> weak = encoder;
    encoder->setEncodeWorkerCount(2);
    // Every rectangle waits until the encoder has gone.
    encoder->setEncodeObserver([weak](size_t, bool filled) {
        if (!filled) testing::eventually([&] { return weak.expired(); });
    });
    request(); // frame 1: the whole display from a capture
    auto surface = iosurface::IOSurface::create(7, 1024, 768);
    encoder->addDirtyRectangle(cg::CGRectMake(0, 0, 64, 64));
    encoder->enqueueFrameWithSurface(surface); // frame 2: from the surface
    EXPECT_EQ(encoder->encoderFrames(), 2u);
    EXPECT_EQ(iosurface::IOSurfaceGetUseCount(surface), 1);

    std::thread ender([owned = std::move(encoder)]() mutable { owned.reset(); });
    ender.join();
    // The auto-encode loop holds the encoder for the pass it is in (never while it waits), so
    // the last owner may be that loop for a moment: the encoder then ends when its pass does.
    EXPECT_TRUE(testing::eventually([&] { return weak.expired(); }));
    ASSERT_TRUE(testing::eventually([&] { return frames().size() == 2; }));
    auto received = frames();
    EXPECT_EQ(received[0].rects.size(), 4u);
    EXPECT_FALSE(received[1].rects.empty());
    for (const auto& frame : received)
        for (const auto& r : frame.rects)
            EXPECT_GT(r.length, 0u);
    EXPECT_TRUE(testing::eventually([&] { return iosurface::IOSurfaceGetUseCount(surface) == 0; }));
    EXPECT_EQ(iosurface::IOSurfaceGetLockCount(surface), 0);
}

} // namespace
} // namespace capture
