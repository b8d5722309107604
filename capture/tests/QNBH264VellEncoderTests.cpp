// The H.264 encoder on the fake clock, a scripted window server, display pictures the test
// paints and a display stream the test fires, writing to a socket that records what the client
// would receive. The frames are read back and decoded with libavcodec.
#include "capture/QNBH264VellEncoder.h"
#include "capture/tests/EncoderTestSupport.h"
#include "display/QNBDisplaySet.h"

#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/foundation/PNG.h"
#include "platform/videotoolbox/testing/H264Decoder.h"

#include <gtest/gtest.h>

namespace capture {
namespace {

using testing::FakeDisplay;

struct Record {
    uint8_t encoding;
    bool zeroRect;
    std::vector<uint8_t> payload;
};
struct Update {
    uint8_t designation;
    std::vector<Record> records;
};

// Whole updates; a cut one ends the reading and is reported.
std::vector<Update> readUpdates(const std::vector<uint8_t>& s, bool* whole = nullptr) {
    std::vector<Update> updates;
    auto u16 = [&](size_t o) { return uint16_t(s[o] | s[o + 1] << 8); };
    size_t at = 0;
    if (whole) *whole = true;
    while (at + 3 <= s.size()) {
        Update update{s[at], {}};
        const uint16_t count = u16(at + 1);
        size_t p = at + 3;
        for (uint16_t i = 0; i < count; ++i) {
            if (p + 13 > s.size()) break;
            const uint32_t length = uint32_t(s[p + 9] | s[p + 10] << 8 | s[p + 11] << 16 | s[p + 12] << 24);
            if (p + 13 + length > s.size()) break;
            const bool zero = u16(p) == 0 && u16(p + 2) == 0 && u16(p + 4) == 0 && u16(p + 6) == 0;
            update.records.push_back(
                {s[p + 8], zero,
                 std::vector<uint8_t>(s.begin() + long(p + 13), s.begin() + long(p + 13 + length))});
            p += 13 + length;
        }
        if (update.records.size() != count) break;
        updates.push_back(std::move(update));
        at = p;
    }
    if (whole) *whole = at == s.size();
    return updates;
}

// A stream the test fires by hand.
class FakeStream : public cg::CGDisplayStream {
  public:
    explicit FakeStream(cg::CGDisplayStreamFrameAvailableHandler handler) : handler(std::move(handler)) {}
    cg::CGError start() override {
        started = true;
        return cg::kCGErrorSuccess;
    }
    cg::CGError stop() override {
        stopped = true;
        return cg::kCGErrorSuccess;
    }
    void fire() { handler(cg::kCGDisplayStreamFrameStatusFrameComplete, 0, nullptr, nullptr); }
    cg::CGDisplayStreamFrameAvailableHandler handler;
    std::atomic<bool> started{false}, stopped{false};
};

// The picture size the records of an update decode to (parameter sets, then the frame's
// units), or 0 × 0.
std::pair<int, int> decodedSize(vt::testing::H264Decoder& decoder, const Update& update) {
    std::vector<std::vector<uint8_t>> units;
    for (const auto& r : update.records) {
        if (r.encoding == 21 || r.encoding == 22) units.push_back(r.payload);
        if (r.encoding != 20) continue;
        auto frame = vt::testing::H264Decoder::lengthPrefixedUnits(r.payload.data(), r.payload.size());
        if (frame.empty()) return {0, 0};
        units.insert(units.end(), frame.begin(), frame.end());
    }
    const AVFrame* picture = decoder.decode(units);
    return picture ? std::make_pair(picture->width, picture->height) : std::make_pair(0, 0);
}

class QNBH264VellEncoderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        clock = &platform::installFakeClock();
        displays = std::make_unique<testing::ScopedDisplays>(std::map<uint32_t, FakeDisplay>{
            {0x100, FakeDisplay{cg::CGRectMake(0, 0, 320, 240), 320, 240}},
            {0x101, FakeDisplay{cg::CGRectMake(320, 0, 84, 52), 84, 52}},
            {0x102, FakeDisplay{cg::CGRectMake(0, 0, 320, 240), 320, 240, 0x100}}});
        pixels.provider->pictures[0x100] = {320, 240, 1.0};
        pixels.provider->pictures[0x101] = {84, 52, 1.0};
        pixels.provider->streamMaker = [this](cg::CGDirectDisplayID, size_t width, size_t height,
                                              const cg::CGDisplayStreamProperties& properties,
                                              cg::CGDisplayStreamFrameAvailableHandler handler) {
            EXPECT_FALSE(properties.showCursor);
            EXPECT_DOUBLE_EQ(properties.minimumFrameTime, 1.0 / 45);
            streamSize = {double(width), double(height)};
            stream = std::make_shared<FakeStream>(std::move(handler));
            return stream;
        };
        socket = std::make_shared<regions::testing::RecordingSocket>();
        socket->probeLock = false;
        encoder = QNBH264VellEncoder::create();
        auto set = std::make_shared<display::QNBDisplaySet>();
        for (uint32_t id : {0x100u, 0x101u, 0x102u}) {
            shown.push_back(std::make_shared<display::QNBDisplay>(id));
            set->addDisplay(shown.back());
        }
        encoder->setEncoderInformation(set, socket, {});
    }
    void TearDown() override {
        encoder->stopSession();
        encoder.reset();
    }
    // Starts encoding the display and waits for the loop's first check.
    void begin(size_t index = 0) {
        encoder->encodeFrame(0, false, shown[index]);
        ASSERT_TRUE(encoder->compressionSession());
        ASSERT_TRUE(testing::eventually([&] { return encoder->autoEncodeTurns() >= 1; }));
    }
    // Moves time on by one loop interval and waits for the loop's turn.
    // Slightly more than the loop interval, so a frame is always due.
    void turn(double seconds = 0.01) {
        const uint64_t before = encoder->autoEncodeTurns();
        clock->advance(platform::seconds(seconds));
        ASSERT_TRUE(testing::eventually([&] { return encoder->autoEncodeTurns() > before; }));
    }
    // Damage, then turns of the loop until n updates have arrived: which turn encodes depends on
    // where the loop stood when the damage came (a pass already under way does not see it).
    std::vector<Update> fireUntilUpdates(size_t n) {
        stream->fire();
        EXPECT_TRUE(testing::eventually([&] {
            if (readUpdates(socket->streamNow()).size() >= n) return true;
            turn();
            return false;
        })) << readUpdates(socket->streamNow()).size() << " of " << n;
        return readUpdates(socket->streamNow());
    }
    std::vector<Update> waitUpdates(size_t n) {
        EXPECT_TRUE(testing::eventually([&] { return readUpdates(socket->streamNow()).size() >= n; }))
            << readUpdates(socket->streamNow()).size() << " of " << n;
        return readUpdates(socket->streamNow());
    }
    iosurface::IOSurfaceRef surfaceOf(size_t width, size_t height) {
        auto surface = iosurface::IOSurfaceCreate(cf::Dictionary{
            {iosurface::kIOSurfaceWidth, int64_t(width)},
            {iosurface::kIOSurfaceHeight, int64_t(height)},
            {iosurface::kIOSurfaceBytesPerRow, int64_t(width * 4)},
            {iosurface::kIOSurfaceBytesPerElement, int64_t(4)},
            {iosurface::kIOSurfacePixelFormat, int64_t(iosurface::kIOSurfacePixelFormatBGRA)}});
        auto bytes = testing::patternPixels(width, height, width * 4);
        std::memcpy(iosurface::IOSurfaceGetBaseAddress(surface), bytes.data(), bytes.size());
        return surface;
    }

    platform::FakeClock* clock = nullptr;
    platform::LogCapture log{true};
    std::unique_ptr<testing::ScopedDisplays> displays;
    testing::ScopedPixelProvider pixels;
    std::shared_ptr<FakeStream> stream;
    cg::CGSize streamSize{};
    std::shared_ptr<regions::testing::RecordingSocket> socket;
    std::shared_ptr<QNBH264VellEncoder> encoder;
    std::vector<std::shared_ptr<display::QNBDisplay>> shown;
};

TEST_F(QNBH264VellEncoderTest, AKeyFrameCarriesTheParameterSetsAndOthersTheFrameAlone) {
    begin();
    EXPECT_TRUE(stream->started.load());
    EXPECT_EQ(streamSize.width, 320);
    EXPECT_EQ(encoder->displaySize().height, 240);
    stream->fire();
    vt::testing::H264Decoder decoder;
    for (size_t i = 0; i < 4; ++i) {
        turn();
        auto updates = waitUpdates(i + 1);
        ASSERT_EQ(updates.size(), i + 1);
        const Update& u = updates[i];
        EXPECT_EQ(u.designation, 0x20);
        if (i == 0) {
            ASSERT_EQ(u.records.size(), 3u);
            EXPECT_EQ(u.records[0].encoding, 21);
            EXPECT_EQ(u.records[1].encoding, 22);
            EXPECT_EQ(u.records[2].encoding, 20);
            EXPECT_EQ(u.records[0].payload[0] & 0x1F, 7);
            EXPECT_EQ(u.records[1].payload[0] & 0x1F, 8);
        } else {
            ASSERT_EQ(u.records.size(), 1u);
            EXPECT_EQ(u.records[0].encoding, 20);
        }
        for (const auto& r : u.records) {
            EXPECT_TRUE(r.zeroRect);
            EXPECT_FALSE(r.payload.empty());
        }
        EXPECT_EQ(decodedSize(decoder, u), std::make_pair(320, 240)) << i;
    }
    EXPECT_EQ(encoder->numberOfFramesEncoded(), 4u);
    EXPECT_TRUE(testing::eventually([&] { return encoder->queuedFrames() == 0; }));
    EXPECT_EQ(encoder->compressionTime(), cm::CMTimeMake(0, 1));
}

TEST_F(QNBH264VellEncoderTest, NoFramesOnceASecondPassesWithoutChangeThoughTheLoopRuns) {
    begin();
    encoder->setMaxQueuedFrames(0); // every frame due is taken, however slow the session
    stream->fire();                 // a change: one second of frames
    for (int i = 0; i < 12; ++i)
        turn(0.1);
    const uint64_t encoded = encoder->numberOfFramesEncoded();
    EXPECT_GE(encoded, 9u);
    EXPECT_LE(encoded, 11u);
    for (int i = 0; i < 30; ++i)
        turn(0.1);
    EXPECT_EQ(encoder->numberOfFramesEncoded(), encoded);
    // The loop kept running: the next change brings frames again.
    stream->fire();
    turn();
    EXPECT_EQ(encoder->numberOfFramesEncoded(), encoded + 1);
    waitUpdates(size_t(encoded + 1));
}

TEST_F(QNBH264VellEncoderTest, AFrameOfferedWhileTwoAreQueuedIsDropped) {
    begin();
    EXPECT_EQ(encoder->maxQueuedFrames(), 1u);
    auto surface = surfaceOf(320, 240);
    {
        // The callbacks wait for the socket: nothing leaves the queue meanwhile.
        std::lock_guard hold(*socket);
        encoder->encodeFrameWithSurface(surface, nullptr);
        encoder->encodeFrameWithSurface(surface, nullptr);
        EXPECT_EQ(encoder->queuedFrames(), 2u);
        EXPECT_EQ(iosurface::IOSurfaceGetUseCount(surface), 2);
        encoder->encodeFrameWithSurface(surface, nullptr);
        EXPECT_EQ(encoder->numberOfFramesEncoded(), 2u);
        EXPECT_EQ(encoder->frameInfoArray().size(), 2u);
    }
    EXPECT_EQ(waitUpdates(2).size(), 2u);
    EXPECT_TRUE(testing::eventually([&] { return iosurface::IOSurfaceGetUseCount(surface) == 0; }));
    EXPECT_TRUE(testing::eventually([&] { return encoder->frameInfoArray().empty(); }));
}

TEST_F(QNBH264VellEncoderTest, FailedFramesAreFollowedByTheirZeroRecordsAndFramesFlowAgain) {
    begin();
    auto surface = surfaceOf(320, 240);
    vt::testing::VTCompressionSessionFailNextFrames(encoder->compressionSession(), 2,
                                                    vt::kVTVideoEncoderMalfunctionErr);
    auto offer = [&](size_t expected) {
        encoder->encodeFrameWithSurface(surface, nullptr);
        auto updates = waitUpdates(expected);
        EXPECT_TRUE(testing::eventually([&] { return encoder->queuedFrames() == 0; }));
        return updates;
    };
    offer(1);
    offer(2);
    auto updates = offer(3);
    vt::testing::VTCompressionSessionFailNextFrames(encoder->compressionSession(), 1, 0); // dropped
    offer(4);
    updates = offer(5);
    ASSERT_EQ(updates.size(), 5u);
    for (size_t i : {0u, 1u, 3u}) {
        ASSERT_EQ(updates[i].records.size(), 1u) << i;
        EXPECT_EQ(updates[i].records[0].encoding, 0);
        EXPECT_TRUE(updates[i].records[0].zeroRect);
        EXPECT_TRUE(updates[i].records[0].payload.empty());
    }
    ASSERT_EQ(updates[2].records.size(), 3u); // the first frame encoded is the key frame
    EXPECT_EQ(updates[2].records[2].encoding, 20);
    ASSERT_EQ(updates[4].records.size(), 1u);
    EXPECT_EQ(updates[4].records[0].encoding, 20);
    EXPECT_EQ(encoder->numberOfFramesEncoded(), 5u);
    EXPECT_TRUE(encoder->frameInfoArray().empty());
    bool whole = false;
    readUpdates(socket->stream(), &whole);
    EXPECT_TRUE(whole);
}

TEST_F(QNBH264VellEncoderTest, StoppingWhileEncodingReturnsAndLeavesNoFrameBehind) {
    begin();
    encoder->setMaxQueuedFrames(0); // no limit
    auto surface = surfaceOf(320, 240);
    for (int i = 0; i < 12; ++i)
        encoder->encodeFrameWithSurface(surface, nullptr);
    encoder->stopSession();
    EXPECT_FALSE(encoder->compressionSession());
    EXPECT_TRUE(stream->stopped.load());
    EXPECT_TRUE(encoder->frameInfoArray().empty());
    EXPECT_EQ(encoder->queuedFrames(), 0u);
    EXPECT_TRUE(testing::eventually([&] { return iosurface::IOSurfaceGetUseCount(surface) == 0; }));
    // Every frame's update is whole, encoded or not.
    bool whole = false;
    auto updates = readUpdates(socket->stream(), &whole);
    EXPECT_TRUE(whole);
    EXPECT_EQ(updates.size(), 12u);
    // Without a session a frame is refused at once, and nothing is written.
    encoder->encodeFrameWithSurface(surface, nullptr);
    EXPECT_TRUE(encoder->frameInfoArray().empty());
    EXPECT_EQ(readUpdates(socket->stream()).size(), 12u);
}

TEST_F(QNBH264VellEncoderTest, ANewDisplayOrScaleRestartsAtTheNewSize) {
    begin();
    auto first = encoder->compressionSession();
    encoder->encodeFrame(0, false, shown[0]); // the same display: nothing changes
    EXPECT_EQ(encoder->compressionSession(), first);

    encoder->setOutputScale(0.5);
    auto half = encoder->compressionSession();
    ASSERT_TRUE(half);
    EXPECT_NE(half, first);
    EXPECT_EQ(streamSize.width, 320); // the stream keeps the display's size
    encoder->encodeFrameWithSurface(surfaceOf(160, 120), nullptr);
    vt::testing::H264Decoder decoder;
    auto halfUpdates = waitUpdates(1);
    ASSERT_FALSE(halfUpdates.empty());
    EXPECT_EQ(decodedSize(decoder, halfUpdates[0]), std::make_pair(160, 120));

    encoder->setOutputScale(1.0);
    const uint64_t turns = encoder->autoEncodeTurns();
    encoder->encodeFrame(0, false, shown[1]); // 84 × 52
    EXPECT_EQ(streamSize.width, 84);
    ASSERT_TRUE(testing::eventually([&] { return encoder->autoEncodeTurns() > turns; }));
    auto updates = fireUntilUpdates(2);
    ASSERT_GE(updates.size(), 2u);
    vt::testing::H264Decoder other;
    EXPECT_EQ(decodedSize(other, updates[1]), std::make_pair(84, 52));

    encoder->setDisplay(nullptr);
    EXPECT_FALSE(encoder->compressionSession());
    EXPECT_EQ(encoder->displaySize().width, 0);
}

TEST_F(QNBH264VellEncoderTest, AMirroringDisplayIsCapturedFromTheDisplayItMirrors) {
    begin(2); // 0x102 has no picture of its own
    EXPECT_GE(fireUntilUpdates(1).size(), 1u);
}

TEST_F(QNBH264VellEncoderTest, ADisplayWithoutPictureOrOfNoSizeEncodesNothing) {
    auto gone = std::make_shared<display::QNBDisplay>(0x999);
    encoder->encodeFrame(0, false, gone);
    EXPECT_FALSE(encoder->compressionSession()); // no size: no session
    EXPECT_FALSE(encoder->displayStream());
    begin();
    pixels.provider->pictures.clear();
    stream->fire();
    turn();
    turn();
    EXPECT_EQ(encoder->numberOfFramesEncoded(), 0u);
    EXPECT_TRUE(socket->stream().empty());
}

TEST(QNBH264VellEncoderOutput, RecordsKeyFramesAndBrokenSamples) {
    platform::LogCapture log(true);
    auto sample = std::make_shared<cm::CMSampleBuffer>();
    EXPECT_FALSE(IsKeyFrameBuffer(nullptr));
    EXPECT_FALSE(IsKeyFrameBuffer(sample));
    sample->attachments = cf::Array{cf::Value::emptyDictionary()};
    EXPECT_FALSE(IsKeyFrameBuffer(sample)); // the key missing
    sample->attachments =
        cf::Array{cf::Value(cf::Dictionary{{cm::kCMSampleAttachmentKey_DependsOnOthers, true}})};
    EXPECT_FALSE(IsKeyFrameBuffer(sample));
    sample->attachments =
        cf::Array{cf::Value(cf::Dictionary{{cm::kCMSampleAttachmentKey_DependsOnOthers, false}})};
    EXPECT_TRUE(IsKeyFrameBuffer(sample));

    regions::testing::RecordingSocket socket;
    socket.probeLock = false;
    const uint8_t bytes[3] = {7, 8, 9};
    SendClientUpdateData(socket, 22, 3, bytes);
    EXPECT_EQ(socket.stream(), (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 22, 3, 0, 0, 0, 7, 8, 9}));

    // A key frame whose description and data cannot be read: still three records, all zero.
    auto shared = std::make_shared<regions::testing::RecordingSocket>();
    shared->probeLock = false;
    auto encoder = QNBH264VellEncoder::create();
    encoder->setEncoderInformation(std::make_shared<display::QNBDisplaySet>(), shared, {});
    CompressionFrameInfo info;
    info.designation = 0x20;
    info.rectCount = 1;
    CompressionOutputCallback(encoder.get(), &info, 0, 0, sample);
    auto updates = readUpdates(shared->stream());
    ASSERT_EQ(updates.size(), 1u);
    ASSERT_EQ(updates[0].records.size(), 3u);
    for (const auto& r : updates[0].records)
        EXPECT_TRUE(r.zeroRect && r.encoding == 0 && r.payload.empty());
    EXPECT_TRUE(log.contains("Error getting block buffer pointer."));
    const auto& h264 = QNBH264VellEncoderClass();
    EXPECT_EQ(h264.name, "QNBH264VellEncoder");
    EXPECT_TRUE(std::dynamic_pointer_cast<QNBH264VellEncoder>(h264.make()));
    EXPECT_EQ(encoder->drivenFramerate(), 160u);
    EXPECT_TRUE(encoder->drivesFrameClock());
}

// The image buffer's pixels when the sample has one, else its data buffer decoded; nil when
// neither gives an image.
TEST(QNBH264VellEncoderOutput, ImageFromSampleBufferTakesTheImageBufferElseTheDataBuffer) {
    platform::LogCapture log(true);
    EXPECT_FALSE(ImageFromSampleBuffer(nullptr));
    auto sample = std::make_shared<cm::CMSampleBuffer>();
    EXPECT_FALSE(ImageFromSampleBuffer(sample));

    // The data buffer: PNG bytes of a 3 × 2 picture.
    std::vector<uint8_t> rgba(3 * 2 * 4, 0x7F);
    auto png = png::encode(rgba.data(), 3, 2, 12, png::PixelFormat::RGBA);
    ASSERT_TRUE(png);
    sample->dataBuffer = std::make_shared<cm::CMBlockBuffer>(cm::CMBlockBuffer{*png});
    auto decoded = ImageFromSampleBuffer(sample);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->size().width, 3);
    EXPECT_EQ(decoded->size().height, 2);

    // An image buffer of 5 × 2 pixels, rows padded to 24 bytes: it wins over the data buffer.
    auto surface = iosurface::IOSurfaceCreate(
        cf::Dictionary{{iosurface::kIOSurfaceWidth, int64_t(5)},
                       {iosurface::kIOSurfaceHeight, int64_t(2)},
                       {iosurface::kIOSurfaceBytesPerRow, int64_t(24)},
                       {iosurface::kIOSurfaceBytesPerElement, int64_t(4)},
                       {iosurface::kIOSurfacePixelFormat, int64_t(iosurface::kIOSurfacePixelFormatBGRA)}});
    ASSERT_TRUE(surface);
    auto* base = static_cast<uint8_t*>(iosurface::IOSurfaceGetBaseAddress(surface));
    for (size_t i = 0; i < 48; ++i)
        base[i] = uint8_t(i);
    cv::CVPixelBufferRef buffer;
    ASSERT_EQ(cv::CVPixelBufferCreateWithIOSurface(nullptr, surface, nullptr, &buffer), cv::kCVReturnSuccess);
    sample->imageBuffer = buffer;
    auto image = ImageFromSampleBuffer(sample);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->size().width, 5);
    EXPECT_EQ(image->size().height, 2);
    EXPECT_EQ(buffer->lockCount(), 0); // the base address was given back
    auto representations = image->representations();
    ASSERT_EQ(representations.size(), 1u);
    auto bitmap = std::dynamic_pointer_cast<appkit::NSBitmapImageRep>(representations[0]);
    ASSERT_TRUE(bitmap && bitmap->CGImage());
    const cg::CGImageRef& pixels = bitmap->CGImage();
    EXPECT_EQ(cg::CGImageGetWidth(pixels), 5u);
    EXPECT_EQ(cg::CGImageGetBytesPerRow(pixels), 24u);
    EXPECT_EQ(cg::CGImageGetAlphaInfo(pixels), cg::kCGImageAlphaNoneSkipLast);
    EXPECT_EQ(cg::CGImageGetBytePtr(pixels)[24 + 4], 28); // row 1, pixel 1: the buffer's own bytes

    // Neither road: a data buffer that is no picture, and no image buffer.
    sample->imageBuffer = nullptr;
    sample->dataBuffer = std::make_shared<cm::CMBlockBuffer>(cm::CMBlockBuffer{{1, 2, 3, 4}});
    EXPECT_FALSE(ImageFromSampleBuffer(sample));
}

} // namespace
} // namespace capture
