// The session's frames: frame answers with their prefixes and slot accounting, cursor and
// heartbeat loops, the refresh road and the stream road, against a recording encoder.
#include "SessionTestSupport.h"
#include "capture/tests/EncoderTestSupport.h"

#include "capture/QNBJPEGVellEncoder.h"
#include "display/NSCursorTSEPrivate.h"
#include "display/QNBScreen.h"
#include "platform/appkit/NSBitmapImageRep.h"
#include "platform/appkit/NSCursor.h"
#include "platform/appkit/NSImage.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/Profile.h"
#include "platform/coregraphics/CGDisplayConfiguration.h"
#include "platform/iokit/InProcessKernel.h"
#include "platform/windowserver/WindowServer.h"
#include "platform/windowserver/WindowServerProtocol.h"
#include "regions/ScreenUpdateRecords.h"

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cmath>
#include <condition_variable>
#include <cstring>
#include <future>
#include <thread>

namespace server {
namespace {

using capture::testing::FakeDisplay;
using regions::testing::RecordingSocket;

class FrameEncoder final : public capture::QNBVellEncoderProtocol {
  public:
    void clearRectangles() override {}
    void setEncoderInformation(const std::shared_ptr<display::QNBDisplaySet>&,
                               const std::shared_ptr<net::QNNetSocketProtocol>&,
                               const net::QNCapabilities&) override {}
    void addDirtyRectangle(cg::CGRect rect) override {
        std::lock_guard lock(m);
        dirty.push_back(rect);
    }
    void encodeFrame(int32_t, bool, const std::shared_ptr<display::QNBDisplay>&) override {}
    void encodeFrame(int32_t, bool, const std::shared_ptr<display::QNBDisplay>& display,
                     uint32_t designation) override {
        std::lock_guard lock(m);
        frames.emplace_back(display, designation);
    }
    std::shared_ptr<capture::QNBVellEncoderDelegateProtocol> delegate() const override { return nullptr; }
    void setDelegate(std::weak_ptr<capture::QNBVellEncoderDelegateProtocol>) override {}
    void enqueueFrame() override { ++enqueues; }
    void enqueueFrameWithSurface(const iosurface::IOSurfaceRef& surface) override {
        std::lock_guard lock(m);
        surfaces.push_back(surface);
    }
    void updateRequestAnsweredEmpty() override { ++emptyAnswers; }

    std::mutex m;
    std::vector<cg::CGRect> dirty;
    std::vector<std::pair<std::shared_ptr<display::QNBDisplay>, uint32_t>> frames;
    std::vector<iosurface::IOSurfaceRef> surfaces;
    std::atomic<int> enqueues{0};
    std::atomic<int> emptyAnswers{0};
};

class CursorMediator final : public ScreenServerMediatorInterface {
  public:
    uint64_t activeServerCount() override { return activeCount; }
    void disableDisplay(ScreenServer&) override {}
    bool shouldQueryMouseOnDisplay(const std::shared_ptr<display::QNBDisplaySet>&) override { return true; }
    bool mouseCursorVisibleOnDisplay(const std::shared_ptr<display::QNBDisplaySet>&) override {
        return visible;
    }
    cg::CGPoint getMouseLocationOnDisplay(const std::shared_ptr<display::QNBDisplaySet>&) override {
        return location;
    }
    bool mouseCursorChangedOnDisplay(const std::shared_ptr<display::QNBDisplaySet>&) override {
        return changed.exchange(false);
    }
    std::shared_ptr<appkit::NSCursor>
    mouseCursorOnDisplay(const std::shared_ptr<display::QNBDisplaySet>&) override {
        return cursor;
    }
    cg::CGPoint mouseHotspot() override { return cg::CGPointMake(4, 9); }
    std::atomic<bool> changed{false};
    std::shared_ptr<appkit::NSCursor> cursor;
    std::atomic<uint64_t> activeCount{1};
    std::atomic<bool> visible{false};
    cg::CGPoint location{};
};

class ScreenServerFrames : public testing::SessionTest {
  protected:
    // A session in state 5 on displays at the given global bounds (scale 1).
    void open(std::vector<cg::CGRect> bounds) {
        std::map<uint32_t, FakeDisplay> records;
        set = std::make_shared<display::QNBDisplaySet>();
        for (size_t i = 0; i < bounds.size(); ++i) {
            uint32_t id = 0x100 + uint32_t(i);
            records[id] = FakeDisplay{bounds[i], size_t(bounds[i].size.width), size_t(bounds[i].size.height)};
            set->addDisplay(std::make_shared<display::QNBDisplay>(id));
        }
        displays = std::make_unique<capture::testing::ScopedDisplays>(records);
        wire({"FrameEncoder", [e = encoder] { return e; }}, bounds.empty() ? 0 : 0x100);
        ASSERT_EQ(session->encoder(), encoder);
    }
    // A new session in state 5 on the set, its sockets recording, its encoder of the class.
    void wire(const capture::QNBVellEncoderClass& encoderClass, uint32_t displayID) {
        session = std::make_shared<ScreenServer>(6001);
        session->setMediator(mediator);
        socket = std::make_shared<RecordingSocket>();
        socket->probeLock = false;
        sideband = std::make_shared<RecordingSocket>();
        sideband->probeLock = false;
        session->setClientSocket(socket);
        session->setSidebandSocket(sideband);
        session->setEncoderClass(encoderClass);
        session->setScreen(set);
        if (displayID) session->setDisplayID(displayID);
        session->setState(kServerStateActivated);
    }
    void TearDown() override {
        if (session) {
            session->stopMouseUpdates();
            session->stopDisplayStream();
        }
        testing::SessionTest::TearDown();
    }

    capture::testing::ScopedPixelProvider pixels;
    std::unique_ptr<capture::testing::ScopedDisplays> displays;
    std::shared_ptr<CursorMediator> mediator = std::make_shared<CursorMediator>();
    std::shared_ptr<FrameEncoder> encoder = std::make_shared<FrameEncoder>();
    std::shared_ptr<display::QNBDisplaySet> set;
    std::shared_ptr<ScreenServer> session;
    std::shared_ptr<RecordingSocket> socket;
    std::shared_ptr<RecordingSocket> sideband;
};

using ScreenServerFrameAnswer = ScreenServerFrames;
using ScreenServerCapture = ScreenServerFrames;

// Steps taking the client socket for the RTP output socket, noting at the packet's begin and
// end whether another thread could take the socket's lock.
struct LockProbingRTPSteps final : ScreenServer::FrameAnswerSteps {
    explicit LockProbingRTPSteps(std::shared_ptr<net::QNNetSocketProtocol> probed)
        : socket(std::move(probed)) {}
    bool isRTPOutputSocket(const ScreenServer::Socket&) override { return true; }
    void beginRTPPacket(cg::CGSize) override { heldAtBegin = heldByCaller(); }
    void endRTPPacket() override { heldAtEnd = heldByCaller(); }
    bool heldByCaller() {
        bool free = false;
        std::thread probe([&] {
            free = socket->try_lock();
            if (free) socket->unlock();
        });
        probe.join();
        return !free;
    }
    std::shared_ptr<net::QNNetSocketProtocol> socket;
    bool heldAtBegin = false, heldAtEnd = false;
};

TEST_F(ScreenServerFrameAnswer, AnRTPPacketHoldsTheSocketFromItsBeginToItsEnd) {
    open({cg::CGRectMake(0, 0, 800, 600)});
    auto steps = std::make_shared<LockProbingRTPSteps>(socket);
    session->setFrameAnswerSteps(steps);
    EXPECT_TRUE(session->screenUpdate(nullptr));
    EXPECT_TRUE(steps->heldAtBegin) << "a heartbeat could land between the block and the update";
    EXPECT_TRUE(steps->heldAtEnd);
    EXPECT_FALSE(steps->heldByCaller()) << "the socket is given back after the packet";
}

TEST_F(ScreenServerFrameAnswer, MultiDisplayPrefixOnlyForOtherThanOneDisplay) {
    open({cg::CGRectMake(0, 0, 800, 600)});
    bool failed = false;
    EXPECT_TRUE(session->screenUpdate(&failed));
    EXPECT_TRUE(socket->streamNow().empty());
    ASSERT_EQ(encoder->frames.size(), 1u);
    EXPECT_EQ(encoder->frames[0].second, 0x20u);

    open({cg::CGRectMake(0, 0, 800, 600), cg::CGRectMake(800, 0, 800, 600)});
    EXPECT_TRUE(session->screenUpdate(&failed));
    EXPECT_EQ(socket->streamNow(), (std::vector<uint8_t>{0x25, 2, 0}));
    EXPECT_EQ(encoder->frames.size(), 3u);

    open({});
    EXPECT_TRUE(session->screenUpdate(&failed));
    EXPECT_EQ(socket->streamNow(), (std::vector<uint8_t>{0x25, 0, 0}));
    EXPECT_EQ(encoder->emptyAnswers.load(), 1); // no display took the request's slot
}

// The JPEG encoder, counting the slots it frees (each display object's first request restarts its
// session, so the encoder's own request count starts again and cannot tell).
class SlotCountingEncoder final : public capture::QNBJPEGVellEncoder {
  public:
    void updateRequestAnsweredEmpty() override {
        ++freed;
        QNBJPEGVellEncoder::updateRequestAnsweredEmpty();
    }
    std::atomic<int> freed{0};
};

TEST_F(ScreenServerFrameAnswer, OneRequestFreesOneSlotWhateverTheSetHolds) {
    open({cg::CGRectMake(0, 0, 64, 48), cg::CGRectMake(64, 0, 64, 48)});
    auto jpeg = std::make_shared<SlotCountingEncoder>();
    wire({"QNBJPEGVellEncoder", [jpeg] { return jpeg; }}, 0x100);
    ASSERT_EQ(session->encoder(), jpeg);
    EXPECT_TRUE(session->screenUpdate(nullptr));
    EXPECT_EQ(jpeg->freed.load(), 1) << "one request, one slot";
    EXPECT_TRUE(session->screenUpdate(nullptr));
    EXPECT_EQ(jpeg->freed.load(), 2);
    jpeg->stopSession();
    jpeg->drainQueues();
}

TEST_F(ScreenServerFrameAnswer, EveryEmptyAnswerFreesASlotAndKeepsTheNotedCursorImage) {
    open({cg::CGRectMake(0, 0, 800, 600)});
    session->setClientNeedsCursorImageUpdate(true);

    // Busy frameBufferLock (activation holds it on another thread).
    std::promise<void> held, release;
    std::thread holder([&] {
        std::lock_guard lock(session->frameBufferLock());
        held.set_value();
        release.get_future().wait();
    });
    held.get_future().wait();
    EXPECT_FALSE(session->screenUpdate(nullptr));
    release.set_value();
    holder.join();
    EXPECT_EQ(encoder->emptyAnswers.load(), 1);
    EXPECT_TRUE(session->clientNeedsCursorImageUpdate());

    // No display set.
    session->setScreen(nullptr);
    EXPECT_FALSE(session->screenUpdate(nullptr));
    EXPECT_EQ(encoder->emptyAnswers.load(), 2);
    EXPECT_TRUE(session->clientNeedsCursorImageUpdate());

    // Not activated: the request handler answers empty and still frees the slot.
    session->setScreen(set);
    session->setState(kServerStateActivatingScreen);
    session->processUpdateRequestMsg();
    EXPECT_EQ(encoder->emptyAnswers.load(), 3);
    EXPECT_TRUE(encoder->frames.empty());
}

TEST_F(ScreenServerFrameAnswer, ANotedCursorImageGoesOutWithTheFrame) {
    open({cg::CGRectMake(0, 0, 800, 600)});
    session->setClientNeedsCursorImageUpdate(true);
    EXPECT_TRUE(session->screenUpdate(nullptr));
    EXPECT_FALSE(session->clientNeedsCursorImageUpdate());
    auto stream = socket->streamNow();
    ASSERT_GE(stream.size(), 16u);
    EXPECT_EQ(stream[0], 0x20);
    EXPECT_EQ(stream[1], 1);
    EXPECT_EQ(stream[3 + 8], regions::QNScreenEncodingMouseCursor);
    // The next answer has no cursor image.
    EXPECT_TRUE(session->screenUpdate(nullptr));
    EXPECT_EQ(socket->streamNow().size(), stream.size());
}

TEST_F(ScreenServerFrameAnswer, ACursorImageWaitsForTheFrameBeingWrittenAndNeverCutsIntoIt) {
    open({cg::CGRectMake(0, 0, 1024, 768)});
    pixels.provider->pictures[0x100] = {1024, 768, 1.0};
    auto jpeg = capture::QNBJPEGVellEncoder::create();
    jpeg->setEncodeWorkerCount(4);
    // The first strip's encoding waits for the test; the others go ahead.
    std::mutex gateLock;
    std::condition_variable gateChanged;
    bool released = false;
    size_t filled = 0;
    jpeg->setEncodeObserver([&](size_t index, bool done) {
        std::unique_lock lock(gateLock);
        if (done)
            ++filled;
        else if (index == 0)
            gateChanged.wait(lock, [&] { return released; });
        gateChanged.notify_all();
    });
    session->setEncoderClass({"JPEG", [jpeg] { return jpeg; }});
    ASSERT_EQ(session->encoder(), jpeg);
    jpeg->setEncoderInformation(set, socket, {});

    EXPECT_TRUE(session->screenUpdate(nullptr)); // starts the encoder: the whole display in 4 strips
    {
        std::unique_lock lock(gateLock);
        gateChanged.wait(lock, [&] { return filled == 3; });
    }
    ASSERT_TRUE(capture::testing::eventually([&] { return socket->writeCount() == 1; }));
    EXPECT_EQ(socket->streamNow(), (std::vector<uint8_t>{0x20, 4, 0})); // the header went out at once
    EXPECT_FALSE(socket->try_lock());

    // The next answer carries a cursor image: it waits for the frame's last record.
    session->setClientNeedsCursorImageUpdate(true);
    std::thread answer([&] { EXPECT_TRUE(session->screenUpdate(nullptr)); });
    {
        std::lock_guard lock(gateLock);
        released = true;
    }
    gateChanged.notify_all();
    answer.join();
    jpeg->stopSession();
    jpeg->drainQueues();
    auto received = capture::testing::parseFrames(socket->streamNow());
    ASSERT_EQ(received.size(), 2u);
    ASSERT_EQ(received[0].rects.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(received[0].rects[i].encoding, regions::QNScreenEncodingJPG);
        EXPECT_EQ(received[0].rects[i].y, int16_t(192 * i));
    }
    ASSERT_EQ(received[1].rects.size(), 1u);
    EXPECT_EQ(received[1].rects[0].encoding, regions::QNScreenEncodingMouseCursor);
}

TEST_F(ScreenServerFrameAnswer, HeartbeatsByVersionAndOneLoopAfterAQuickStopAndStart) {
    open({cg::CGRectMake(0, 0, 800, 600)});
    net::QNProtocolVersionInfo v2{};
    v2.majorversion = 2;
    session->setProtocolVersionInfo(v2);
    session->startMouseUpdates();
    EXPECT_TRUE(session->mouseRunning());
    // The loops are counted as they are started: a heartbeat loop for 2.x would make two.
    EXPECT_EQ(session->liveMouseLoops(), 1) << "a heartbeat loop was started for a 2.x client";
    dispatch::runUntilIdle();
    EXPECT_TRUE(socket->streamNow().empty()); // no heartbeat for 2.x
    session->stopMouseUpdates();
    EXPECT_TRUE(capture::testing::eventually([&] {
        m_clock->advance(platform::seconds(0.1));
        return session->liveMouseLoops() == 0;
    }));

    net::QNProtocolVersionInfo v3{};
    v3.majorversion = 3;
    v3.subversion = 1;
    session->setProtocolVersionInfo(v3);
    session->startMouseUpdates();
    const std::vector<uint8_t> beat{0x20, 0, 0};
    ASSERT_TRUE(capture::testing::eventually([&] { return socket->streamNow().size() >= 3; })); // at once
    EXPECT_EQ(socket->streamNow(), beat);
    // Stop and start within one sleep: the old loops end at their next turn, the new heartbeat
    // loop beats at once; one cursor loop and one heartbeat loop are left.
    session->stopMouseUpdates();
    session->startMouseUpdates();
    ASSERT_TRUE(capture::testing::eventually([&] { return socket->streamNow().size() >= 6; }));
    EXPECT_TRUE(capture::testing::eventually([&] {
        m_clock->advance(platform::seconds(0.25));
        return session->liveMouseLoops() == 2;
    })) << session->liveMouseLoops()
        << " loops";
    session->stopMouseUpdates();
    EXPECT_TRUE(capture::testing::eventually([&] {
        m_clock->advance(platform::seconds(0.25));
        return session->liveMouseLoops() == 0;
    }));
}

TEST_F(ScreenServerFrameAnswer, HiddenCursorDatagramIsDisplayRelativeAndAReturnSendsNothing) {
    open({cg::CGRectMake(1440, 0, 800, 600)});
    mediator->visible = false;
    mediator->location = cg::CGPointMake(1740, 200);
    session->mouseTick();
    ASSERT_EQ(sideband->datagrams.size(), 1u);
    EXPECT_EQ(sideband->datagrams[0].bytes,
              (std::vector<uint8_t>{0x2C, 0x01, 0xC8, 0x00, 0, 0, 0, 0, 2, 0, 0, 0, 0}));
    EXPECT_EQ(sideband->datagrams[0].port, 6000);
    session->mouseTick(); // unchanged
    EXPECT_EQ(sideband->datagrams.size(), 1u);
}

// The window server's invisible cursor: 16 by 16 pixels, all transparent.
std::shared_ptr<appkit::NSCursor> invisibleCursor() {
    auto rep = appkit::NSBitmapImageRep::initWithBitmapDataPlanes(
        nullptr, 16, 16, 8, 4, true, false, appkit::NSCalibratedRGBColorSpace, 0, 64, 32);
    std::memset(rep->bitmapData(), 0, 64 * 16);
    auto image = appkit::NSImage::initWithSize(cg::CGSizeMake(16, 16));
    image->addRepresentation(rep);
    return appkit::NSCursor::initWithImage(image, cg::CGPointMake(0, 0));
}

TEST_F(ScreenServerFrameAnswer, AnInvisibleSystemCursorIsSentAsTheIBeam) {
    open({cg::CGRectMake(0, 0, 800, 600)});
    mediator->cursor = invisibleCursor();
    ASSERT_TRUE(display::NSCursorTSEPrivate::isInvisible(*mediator->cursor));
    mediator->changed = true;
    session->mouseTick();
    EXPECT_TRUE(session->clientNeedsCursorImageUpdate());
    EXPECT_TRUE(session->screenUpdate(nullptr));
    auto stream = socket->streamNow();
    ASSERT_GE(stream.size(), 16u);
    EXPECT_EQ(stream[3], 4); // the hot spot
    EXPECT_EQ(stream[5], 9);
    const auto ibeam = appkit::NSCursor::IBeamCursor()->image()->size();
    EXPECT_EQ(stream[7] | stream[8] << 8, int(ibeam.width));
    EXPECT_EQ(stream[3 + 8], regions::QNScreenEncodingMouseCursor);
    uint32_t length = 0;
    std::memcpy(&length, &stream[3 + 9], 4);
    EXPECT_GT(length, 0u);
    EXPECT_EQ(stream.size(), 16u + length);
    const uint8_t pngSignature[] = {0x89, 'P', 'N', 'G'};
    EXPECT_EQ(std::memcmp(&stream[16], pngSignature, 4), 0);

    // A change whose cursor cannot be read keeps the image the client has: nothing to send.
    mediator->cursor = nullptr;
    mediator->changed = true;
    session->mouseTick();
    EXPECT_FALSE(session->clientNeedsCursorImageUpdate());
}

TEST_F(ScreenServerCapture, RefreshesAreClippedInPointsThenHandedOnInPixels) {
    open({cg::CGRectMake(1440, 0, 1024, 768)});
    const cg::CGRect outside = cg::CGRectMake(100, 100, 50, 50);
    session->screenRefreshed(1, &outside);
    EXPECT_TRUE(encoder->dirty.empty());
    EXPECT_EQ(encoder->enqueues.load(), 0);

    const cg::CGRect rects[] = {cg::CGRectMake(1500, 10, 50, 50), cg::CGRectMake(std::nan(""), 0, 5, 5),
                                cg::CGRectMake(2400, 700, 100, 100)};
    session->screenRefreshed(3, rects);
    ASSERT_EQ(encoder->dirty.size(), 2u);
    EXPECT_TRUE(cg::CGRectEqualToRect(encoder->dirty[0], cg::CGRectMake(60, 10, 50, 50)));
    EXPECT_TRUE(cg::CGRectEqualToRect(encoder->dirty[1], cg::CGRectMake(960, 700, 64, 68)));
    EXPECT_EQ(encoder->enqueues.load(), 1); // one capture for the call

    // Not activated: nothing.
    session->setState(kServerStateActivatingScreen);
    session->screenRefreshed(1, rects);
    EXPECT_EQ(encoder->dirty.size(), 2u);
}

TEST_F(ScreenServerCapture, QueuedRefreshesAreFedOnce) {
    open({cg::CGRectMake(0, 0, 800, 600)});
    const cg::CGRect rects[] = {cg::CGRectMake(0, 0, 10, 10), cg::CGRectMake(20, 20, 10, 10)};
    session->enqueueRefreshes(2, rects);
    session->feedQueuedRefreshes();
    EXPECT_EQ(encoder->dirty.size(), 2u);
    session->feedQueuedRefreshes();
    EXPECT_EQ(encoder->dirty.size(), 2u);
}

class FakeStream final : public cg::CGDisplayStream {
  public:
    cg::CGError start() override { return cg::kCGErrorSuccess; }
    cg::CGError stop() override {
        ++stops;
        return cg::kCGErrorSuccess;
    }
    std::atomic<int> stops{0};
};

TEST_F(ScreenServerCapture, TheStreamHasTheSetsSizeAndItsFramesReachTheEncoder) {
    open({cg::CGRectMake(0, 0, 1024, 768)});
    session->setDisplayResolution(cg::CGSizeMake(640, 480)); // lagging behind the display
    size_t width = 0, height = 0;
    cg::CGDisplayStreamProperties seen;
    pixels.provider->streamMaker = [&](cg::CGDirectDisplayID, size_t w, size_t h,
                                       const cg::CGDisplayStreamProperties& properties,
                                       cg::CGDisplayStreamFrameAvailableHandler) -> cg::CGDisplayStreamRef {
        width = w;
        height = h;
        seen = properties;
        return std::make_shared<FakeStream>();
    };
    mediator->activeCount = 2;
    session->startDisplayStream();
    EXPECT_FALSE(session->displayStreamRunning()); // two sessions: no stream
    mediator->activeCount = 1;
    session->startDisplayStream();
    ASSERT_TRUE(session->displayStreamRunning());
    EXPECT_EQ(width, 1024u);
    EXPECT_EQ(height, 768u);
    EXPECT_FALSE(seen.showCursor);
    EXPECT_EQ(seen.queueDepth, 1u);

    // While it runs the refresh road is ignored.
    const cg::CGRect refresh = cg::CGRectMake(0, 0, 10, 10);
    session->screenRefreshed(1, &refresh);
    EXPECT_TRUE(encoder->dirty.empty());

    auto surface = iosurface::IOSurface::create(1, 1024, 768);
    auto update = std::make_shared<cg::CGDisplayStreamUpdate>();
    update->reducedDirtyRects = {cg::CGRectMake(0, 0, 16, 16), cg::CGRectMake(32, 32, 16, 16)};
    session->displayStreamCompleted(cg::kCGDisplayStreamFrameStatusFrameIdle, 0, surface, update);
    EXPECT_TRUE(encoder->surfaces.empty()); // not complete: nothing
    // While the display is being activated (its new size not yet told): nothing.
    session->setState(kServerStateActivatingScreen);
    session->displayStreamCompleted(cg::kCGDisplayStreamFrameStatusFrameComplete, 0, surface, update);
    EXPECT_TRUE(encoder->surfaces.empty());
    EXPECT_TRUE(encoder->dirty.empty());
    session->setState(kServerStateActivated);
    session->displayStreamCompleted(cg::kCGDisplayStreamFrameStatusFrameComplete, 0, surface, update);
    EXPECT_EQ(encoder->dirty.size(), 2u);
    EXPECT_EQ(encoder->surfaces.size(), 1u);

    // Hostile pushes: too many or non-finite rectangles are refused, and the whole display
    // goes out with the surface instead, so the change they stood for is not lost.
    auto flood = std::make_shared<cg::CGDisplayStreamUpdate>();
    flood->reducedDirtyRects.assign(4097, cg::CGRectMake(0, 0, 1, 1));
    platform::LogCapture log(true);
    session->displayStreamCompleted(cg::kCGDisplayStreamFrameStatusFrameComplete, 0, surface, flood);
    auto nan = std::make_shared<cg::CGDisplayStreamUpdate>();
    nan->reducedDirtyRects = {cg::CGRectMake(0, 0, 1, 1), cg::CGRectMake(0, std::nan(""), 1, 1)};
    session->displayStreamCompleted(cg::kCGDisplayStreamFrameStatusFrameComplete, 0, surface, nan);
    ASSERT_EQ(encoder->dirty.size(), 4u);
    for (size_t i : {2, 3})
        EXPECT_TRUE(cg::CGRectEqualToRect(encoder->dirty[i], cg::CGRectMake(0, 0, 1024, 768))) << i;
    EXPECT_EQ(encoder->surfaces.size(), 3u);
    EXPECT_TRUE(log.contains("refused"));

    session->stopDisplayStream();
    EXPECT_FALSE(session->displayStreamRunning());
}

// ---- On the stand-in: the in-process window server's displays and streams --------------------

class ScreenServerOnTheStandIn : public ScreenServerFrames {
  protected:
    // A session in state 5 on the main display (64 x 48 points at the scale), with the JPEG
    // encoder or the recording one.
    void boot(uint32_t scale, bool jpeg) {
        iokit::InProcessKernelOptions options;
        options.windowServerConfig.mainDisplay.width = 64;
        options.windowServerConfig.mainDisplay.height = 48;
        options.windowServerConfig.mainDisplay.scale = scale;
        kernel = std::make_shared<iokit::InProcessKernel>(std::move(options));
        kernel->install();
        ws = kernel->windowServer();
        cid = ws->connect({4242, "Test", ""}, nullptr);
        blank();
        set = std::make_shared<display::QNBDisplaySet>();
        set->addDisplay(std::make_shared<display::QNBDisplay>(windowserver::WindowServer::kMainDisplayID));
        wire(jpeg ? capture::QNBJPEGVellEncoderClass()
                  : capture::QNBVellEncoderClass{"FrameEncoder", [e = recorder] { return e; }},
             windowserver::WindowServer::kMainDisplayID);
        session->encoder()->setEncoderInformation(set, socket, {});
    }
    void TearDown() override {
        if (session) {
            session->stopDisplayStream();
            if (auto jpeg = std::dynamic_pointer_cast<capture::QNBJPEGVellEncoder>(session->encoder())) {
                jpeg->stopSession();
                jpeg->drainQueues();
            }
        }
        session.reset();
        if (kernel) kernel->shutdown();
        display::setTransmitsRetinaGraphics(true);
        ScreenServerFrames::TearDown();
    }
    void blank() {
        m_clock->advance(platform::seconds(0.017));
        ws->sync();
    }
    bool draw(const char* name, double x, double y, double w, double h, int64_t colour) {
        return bool(ws->serveAndWait(cid, windowserver::op::draw,
                                     cf::Value(cf::Dictionary{{"name", name},
                                                              {"x", x},
                                                              {"y", y},
                                                              {"width", w},
                                                              {"height", h},
                                                              {"pattern", "solid"},
                                                              {"value", colour}})));
    }

    std::shared_ptr<iokit::InProcessKernel> kernel;
    windowserver::WindowServer* ws = nullptr;
    uint32_t cid = 0;
    std::shared_ptr<FrameEncoder>& recorder = encoder;
};
using ScreenServerCaptureOnTheStandIn = ScreenServerOnTheStandIn;
using ScreenServerFrameAnswerOnTheStandIn = ScreenServerOnTheStandIn;

// Damage beside a scale-2 display, within its size in pixels but not in points, is dropped;
// what lies on it is clipped in points, then made pixels.
TEST_F(ScreenServerCaptureOnTheStandIn, ScaleTwoRefreshesAreClippedInPointsThenMadePixels) {
    boot(2, false);
    ASSERT_EQ(display::QNBScreen::scaleForDisplayID(1), 2.0);
    const cg::CGRect beside = cg::CGRectMake(70, 10, 10, 10);
    session->screenRefreshed(1, &beside);
    EXPECT_TRUE(recorder->dirty.empty());
    EXPECT_EQ(recorder->enqueues.load(), 0);
    const cg::CGRect rects[] = {cg::CGRectMake(10, 10, 50, 50), cg::CGRectMake(60, 40, 10, 10)};
    session->screenRefreshed(2, rects);
    ASSERT_EQ(recorder->dirty.size(), 2u);
    EXPECT_TRUE(cg::CGRectEqualToRect(recorder->dirty[0], cg::CGRectMake(20, 20, 100, 76)));
    EXPECT_TRUE(cg::CGRectEqualToRect(recorder->dirty[1], cg::CGRectMake(120, 80, 8, 16)));
    EXPECT_EQ(recorder->enqueues.load(), 1);
}

// A resolution change under a running stream: the window server keeps the output size, the
// session's next frame sees the display set's new size and starts a stream at that size.
TEST_F(ScreenServerCaptureOnTheStandIn, AResolutionChangeRestartsTheStreamAtTheNewSize) {
    display::setTransmitsRetinaGraphics(false); // sizes in points: the twin's 64 x 48, the 1x mode's 128 x 96
    boot(2, false);
    session->startDisplayStream();
    ASSERT_TRUE(session->displayStreamRunning());
    auto lastWidth = [&] {
        std::lock_guard lock(recorder->m);
        return recorder->surfaces.empty() ? size_t(0)
                                          : iosurface::IOSurfaceGetWidth(recorder->surfaces.back());
    };
    ASSERT_TRUE(capture::testing::eventually([&] {
        blank();
        return lastWidth() == 64;
    }));
    cf::Value all = cf::Dictionary{{cg::kCGDisplayShowDuplicateLowResolutionModes, true}};
    auto modes = cg::CGDisplayCopyAllDisplayModes(1, &all);
    ASSERT_TRUE(modes);
    cg::CGDisplayModeRef wide;
    for (auto& mode : *modes)
        if (cg::CGDisplayModeGetWidth(mode) == 128) wide = mode;
    ASSERT_TRUE(wide);
    cg::CGDisplayConfigRef config;
    ASSERT_EQ(cg::CGBeginDisplayConfiguration(&config), cg::kCGErrorSuccess);
    ASSERT_EQ(cg::CGConfigureDisplayWithDisplayMode(config, 1, wide, nullptr), cg::kCGErrorSuccess);
    ASSERT_EQ(cg::CGCompleteDisplayConfiguration(config, cg::kCGConfigurePermanently), cg::kCGErrorSuccess);
    EXPECT_TRUE(capture::testing::eventually([&] {
        blank();
        return lastWidth() == 128;
    })) << "last surface "
        << lastWidth() << " wide";
    EXPECT_TRUE(session->displayStreamRunning());
    std::lock_guard lock(recorder->m);
    EXPECT_EQ(iosurface::IOSurfaceGetHeight(recorder->surfaces.back()), 96u);
}

namespace {
// Whether any decoded pixel of the frames' JPEG records is near the poison pattern (magenta).
bool showsPoison(const std::vector<uint8_t>& stream) {
    bool poison = false;
    size_t at = 0;
    auto u16 = [&](size_t o) { return size_t(stream[o] | stream[o + 1] << 8); };
    while (at + 3 <= stream.size() && !poison) {
        size_t count = u16(at + 1);
        at += 3;
        for (size_t i = 0; i < count && at + 13 <= stream.size(); ++i) {
            uint32_t length;
            std::memcpy(&length, &stream[at + 9], 4);
            at += 13;
            if (at + length > stream.size()) return poison;
            tjhandle d = tjInitDecompress();
            int w = 0, h = 0, sub = 0, cs = 0;
            if (tjDecompressHeader3(d, &stream[at], length, &w, &h, &sub, &cs) == 0 && w > 0 && h > 0) {
                std::vector<uint8_t> rgb(size_t(w) * size_t(h) * 3);
                if (tjDecompress2(d, &stream[at], length, rgb.data(), w, 0, h, TJPF_RGB, 0) == 0)
                    for (size_t p = 0; p + 2 < rgb.size(); p += 3)
                        poison = poison || (rgb[p] > 200 && rgb[p + 1] < 60 && rgb[p + 2] > 200);
            }
            tjDestroy(d);
            at += length;
        }
    }
    return poison;
}
} // namespace

// With poison on and two frames in flight, the picture waiting for a slot keeps its surface
// from reuse: what finally goes out is the display, never the poison pattern.
TEST_F(ScreenServerFrameAnswerOnTheStandIn, PoisonWithTwoFramesInFlightNeverReachesTheClient) {
    boot(1, true);
    auto encoder = std::dynamic_pointer_cast<capture::QNBJPEGVellEncoder>(session->encoder());
    ASSERT_TRUE(encoder);
    ws->setPoison(true);
    session->startDisplayStream();
    ASSERT_TRUE(session->displayStreamRunning());
    auto frames = [&] { return capture::testing::parseFrames(socket->streamNow()).size(); };
    EXPECT_TRUE(session->screenUpdate(nullptr)); // starts the encoder's session: frame 1
    ASSERT_TRUE(capture::testing::eventually([&] {
        blank();
        return frames() >= 2 && encoder->encoderFrames() == 2;
    })) << frames()
        << " frames, " << encoder->encoderFrames() << " in flight";
    // Both slots taken: changes wait in the pending picture while blanks go by.
    ASSERT_TRUE(draw("green", 0, 0, 32, 24, 0x00FF00));
    for (int i = 0; i < 10; ++i)
        blank();
    ASSERT_TRUE(draw("red", 32, 24, 32, 24, 0xFF0000));
    for (int i = 0; i < 10; ++i)
        blank();
    encoder->drainQueues();
    const size_t before = frames();
    EXPECT_GT(ws->pixelCounters(1)->streamSkipped, 0u); // the held surface was not rewritten
    // A request frees a slot: the waiting picture goes out.
    EXPECT_TRUE(session->screenUpdate(nullptr));
    ASSERT_TRUE(capture::testing::eventually([&] {
        blank();
        return frames() > before;
    }));
    encoder->drainQueues();
    EXPECT_FALSE(showsPoison(socket->streamNow()));
}

// A session answering requests for alternating display objects while stream frames flood in:
// each new display object restarts the encoder's session (ASan watches the surfaces).
TEST_F(ScreenServerFrameAnswerOnTheStandIn, AlternatingDisplayObjectsAgainstAStreamFlood) {
    boot(1, true);
    auto encoder = std::dynamic_pointer_cast<capture::QNBJPEGVellEncoder>(session->encoder());
    auto other = std::make_shared<display::QNBDisplaySet>();
    other->addDisplay(std::make_shared<display::QNBDisplay>(1));
    std::atomic<bool> done{false};
    std::thread flood([&] {
        auto update = std::make_shared<cg::CGDisplayStreamUpdate>();
        for (uint32_t i = 0; !done.load(); ++i) {
            update->reducedDirtyRects = {cg::CGRectMake(i % 48, i % 32, 16, 16)};
            session->displayStreamCompleted(cg::kCGDisplayStreamFrameStatusFrameComplete, i,
                                            iosurface::IOSurface::create(i, 64, 48), update);
        }
    });
    for (int i = 0; i < 200; ++i) {
        session->setScreen(i % 2 ? other : set);
        EXPECT_TRUE(session->screenUpdate(nullptr));
        EXPECT_LE(encoder->encoderFrames(), 2u);
    }
    done = true;
    flood.join();
    encoder->stopSession();
    encoder->drainQueues();
    for (const auto& frame : capture::testing::parseFrames(socket->streamNow()))
        for (const auto& r : frame.rects) {
            EXPECT_LE(r.x + r.width, 64);
            EXPECT_LE(r.y + r.height, 48);
        }
}

// The AppKit release is the system's own (the profile's), not one guessed from the system
// version: 10.12.6 with AppKit 1505 takes the refresh road.
TEST_F(ScreenServerCapture, TheStreamServesAppKitReleasesUpTo1504Only) {
    open({cg::CGRectMake(0, 0, 1024, 768)});
    pixels.provider->streamMaker = [](cg::CGDirectDisplayID, size_t, size_t,
                                      const cg::CGDisplayStreamProperties&,
                                      cg::CGDisplayStreamFrameAvailableHandler) -> cg::CGDisplayStreamRef {
        return std::make_shared<FakeStream>();
    };
    mediator->activeCount = 1;
    platform::Profile profile;
    profile.appKitVersion = 1505;
    platform::Profile::setCurrent(profile);
    session->startDisplayStream();
    EXPECT_FALSE(session->displayStreamRunning());
    profile.appKitVersion = 1504.9; // rounded down: 1504
    platform::Profile::setCurrent(profile);
    session->startDisplayStream();
    EXPECT_TRUE(session->displayStreamRunning());
    session->stopDisplayStream();
    platform::Profile::setCurrent(platform::Profile{});
}

} // namespace
} // namespace server
