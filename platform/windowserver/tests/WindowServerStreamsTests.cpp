// Display streams of the in-process window server on the fake clock: the first frame whole,
// dirty rectangles in output pixels accumulated across skipped frames, the use-count gate,
// poison, client death, refused properties, and the facade's side (queue, use counts given
// back, asynchronous stop, hostile events).
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGDisplayImage.h"
#include "platform/coregraphics/DisplayStreamClient.h"
#include "platform/iokit/InProcessKernel.h"
#include "platform/iosurface/IOSurface.h"
#include "platform/kernel/Kernel.h"
#include "platform/windowserver/WindowServer.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include "SmallDesktop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>

namespace windowserver {

namespace {

using testing::kBackground;
using testing::smallMain;
constexpr uint32_t kPoison = 0xFFFF00FF;

uint32_t pixelAt(const iosurface::IOSurfaceRef& s, size_t x, size_t y) {
    uint32_t p;
    std::memcpy(&p,
                static_cast<const uint8_t*>(iosurface::IOSurfaceGetBaseAddress(s)) +
                    y * iosurface::IOSurfaceGetBytesPerRow(s) + x * 4,
                4);
    return p;
}

bool sameRects(const std::vector<cg::CGRect>& a, const std::vector<cg::CGRect>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!cg::CGRectEqualToRect(a[i], b[i])) return false;
    return true;
}

} // namespace

class WindowServerPixelsStreams : public testing::SmallDesktopTest {
  protected:
    void SetUp() override {
        SmallDesktopTest::SetUp();
        blank();
    }
    bool draw(double x, double y, double w, double h, int64_t colour) {
        return bool(
            m_server->serveAndWait(m_cid, op::draw,
                                   cf::Value(cf::Dictionary{{"name", "w" + std::to_string(m_windows++)},
                                                            {"x", x},
                                                            {"y", y},
                                                            {"width", w},
                                                            {"height", h},
                                                            {"pattern", "solid"},
                                                            {"value", colour}})));
    }
    // A stream of the main display whose events are kept; its pool mapped as a reader maps it.
    uint64_t open(uint32_t width, uint32_t height, uint32_t depth, double minimum = 0, uint32_t cid = 0) {
        auto pool = m_server->createStream(
            cid ? cid : m_cid,
            cf::Dictionary{{"display", int64_t(WindowServer::kMainDisplayID)},
                           {"width", int64_t(width)},
                           {"height", int64_t(height)},
                           {"format", int64_t(iosurface::kIOSurfacePixelFormatBGRA)},
                           {"minimumFrameTime", minimum},
                           {"queueDepth", int64_t(depth)}},
            [this](const WindowServer::StreamEvent& e) {
                m_events.push_back(e);
                if (m_onEvent) m_onEvent(e);
            },
            nullptr);
        EXPECT_TRUE(pool);
        if (!pool) return 0;
        m_pool.clear();
        for (auto& fd : pool->surfaces)
            m_pool.push_back(iosurface::IOSurface::createWithDescriptor(fd.get()));
        return pool->stream;
    }
    WindowServer::PixelCounters counters() { return *m_server->pixelCounters(WindowServer::kMainDisplayID); }
    const iosurface::IOSurfaceRef& surfaceOf(const WindowServer::StreamEvent& e) {
        return m_pool.at(size_t(e.surface));
    }

    int m_windows = 0;
    std::vector<WindowServer::StreamEvent> m_events; // written on the window-server thread, read after sync
    std::function<void(const WindowServer::StreamEvent&)> m_onEvent; // runs as a frame goes out
    std::vector<iosurface::IOSurfaceRef> m_pool;
};

TEST_F(WindowServerPixelsStreams, TheFirstFrameIsWholeThenChangesComeScaledToTheOutput) {
    uint64_t stream = open(32, 24, 2);
    blank();
    EXPECT_TRUE(m_events.empty()); // not started
    ASSERT_TRUE(m_server->startStream(m_cid, stream));
    blank();
    ASSERT_EQ(m_events.size(), 1u);
    EXPECT_EQ(m_events[0].status, 0);
    EXPECT_TRUE(sameRects(m_events[0].rects, {cg::CGRectMake(0, 0, 32, 24)}));
    auto& first = surfaceOf(m_events[0]);
    EXPECT_EQ(iosurface::IOSurfaceGetUseCount(first), 1); // set before the push
    EXPECT_EQ(pixelAt(first, 31, 23), kBackground);
    EXPECT_EQ(iosurface::IOSurfaceGetBytesPerRow(first) % 64, 0u); // padded rows
    iosurface::IOSurfaceDecrementUseCount(first);

    blank();
    EXPECT_EQ(m_events.size(), 1u);            // nothing changed, nothing sent
    ASSERT_TRUE(draw(10, 10, 7, 5, 0xFF0000)); // display pixels 10..17 x 10..15: output 5..9 x 5..8
    blank();
    ASSERT_EQ(m_events.size(), 2u);
    EXPECT_TRUE(sameRects(m_events[1].rects, {cg::CGRectMake(5, 5, 4, 3)}));
    auto& second = surfaceOf(m_events[1]);
    EXPECT_EQ(pixelAt(second, 6, 6), 0xFFFF0000u);
    EXPECT_EQ(pixelAt(second, 0, 0), kBackground) << "a surface not yet written gets all it missed";
    EXPECT_EQ(counters().streamFrames, 2u);
    EXPECT_EQ(counters().streamSkipped, 0u);
}

TEST_F(WindowServerPixelsStreams, AHeldSurfaceIsNeverWrittenAndItsFramesChangesWaitForIt) {
    uint64_t stream = open(64, 48, 1);
    ASSERT_TRUE(m_server->startStream(m_cid, stream));
    blank();
    ASSERT_EQ(m_events.size(), 1u);
    auto& only = m_pool[0];
    const uint32_t seed = only->header().seed.load();
    // Held: changes neither write it nor get lost.
    ASSERT_TRUE(draw(0, 0, 8, 8, 0x00FF00));
    blank();
    ASSERT_TRUE(draw(40, 30, 8, 8, 0x0000FF));
    blank();
    EXPECT_EQ(m_events.size(), 1u);
    EXPECT_EQ(counters().streamSkipped, 2u);
    EXPECT_EQ(only->header().seed.load(), seed);
    EXPECT_EQ(pixelAt(only, 1, 1), kBackground);
    iosurface::IOSurfaceDecrementUseCount(only);
    blank();
    ASSERT_EQ(m_events.size(), 2u);
    EXPECT_TRUE(sameRects(m_events[1].rects, {cg::CGRectMake(0, 0, 8, 8), cg::CGRectMake(40, 30, 8, 8)}));
    EXPECT_EQ(m_events[1].dropCount, 2u);
    EXPECT_EQ(pixelAt(only, 1, 1), 0xFF00FF00u);
    EXPECT_EQ(pixelAt(only, 41, 31), 0xFF0000FFu);
    EXPECT_EQ(counters().streamFrames, 2u);
}

TEST_F(WindowServerPixelsStreams, AtTheDisplaysOwnSizeTheFrameGoesOutBeforeTheDisplaysPixelsAreWritten) {
    auto displayAt = [&](size_t x, size_t y) {
        auto image = m_server->displayImage(WindowServer::kMainDisplayID, nullptr);
        uint32_t p = 0;
        if (image)
            std::memcpy(&p, cg::CGImageGetBytePtr(image) + y * cg::CGImageGetBytesPerRow(image) + x * 4, 4);
        return p;
    };
    // What the display showed at (20, 20) as each frame went out.
    std::vector<uint32_t> displayAtFrame;
    m_onEvent = [&](const WindowServer::StreamEvent&) { displayAtFrame.push_back(displayAt(20, 20)); };
    uint64_t stream = open(64, 48, 2);
    ASSERT_TRUE(m_server->startStream(m_cid, stream));
    blank();
    ASSERT_EQ(m_events.size(), 1u);

    ASSERT_TRUE(draw(16, 16, 8, 8, 0xFF0000));
    blank();
    ASSERT_EQ(m_events.size(), 2u);
    auto& second = surfaceOf(m_events[1]);
    EXPECT_EQ(pixelAt(second, 20, 20), 0xFFFF0000u); // composed into the surface
    EXPECT_EQ(pixelAt(second, 40, 40), kBackground); // the rest copied from the display
    ASSERT_EQ(displayAtFrame.size(), 2u);
    EXPECT_EQ(displayAtFrame[1], kBackground); // the frame did not wait for the display's copy
    EXPECT_EQ(displayAt(20, 20), 0xFFFF0000u); // which the blank still made
    EXPECT_EQ(counters().compositions, 2u);

    // The first surface, given back, is stale where the second frame changed and gets that
    // from the display, now caught up, around the third frame's change.
    iosurface::IOSurfaceDecrementUseCount(surfaceOf(m_events[0]));
    ASSERT_TRUE(draw(40, 30, 4, 4, 0x00FF00));
    blank();
    ASSERT_EQ(m_events.size(), 3u);
    auto& third = surfaceOf(m_events[2]);
    EXPECT_EQ(&third, &surfaceOf(m_events[0]));
    EXPECT_EQ(pixelAt(third, 20, 20), 0xFFFF0000u);
    EXPECT_EQ(pixelAt(third, 41, 31), 0xFF00FF00u);
    EXPECT_EQ(pixelAt(third, 5, 5), kBackground);
    EXPECT_EQ(displayAt(41, 31), 0xFF00FF00u);
}

TEST_F(WindowServerPixelsStreams, AStreamOfAnotherSizeBesideOneAtTheDisplaysSizeGetsEveryChange) {
    // Two streams of one display: both copy from the display's pixels, both see each change.
    uint64_t half = open(32, 24, 2);
    auto halfPool = m_pool;
    uint64_t full = open(64, 48, 2);
    ASSERT_TRUE(m_server->startStream(m_cid, full));
    ASSERT_TRUE(m_server->startStream(m_cid, half));
    blank();
    ASSERT_EQ(m_events.size(), 2u);
    ASSERT_TRUE(draw(16, 16, 8, 8, 0xFF0000));
    blank();
    ASSERT_EQ(m_events.size(), 4u);
    for (size_t i = 2; i < 4; ++i) {
        const bool isHalf = m_events[i].rects.size() == 1 && m_events[i].rects[0].size.width == 4;
        const auto& surface =
            isHalf ? halfPool.at(size_t(m_events[i].surface)) : m_pool.at(size_t(m_events[i].surface));
        EXPECT_EQ(pixelAt(surface, isHalf ? 10 : 20, isHalf ? 10 : 20), 0xFFFF0000u) << i;
    }
}

TEST_F(WindowServerPixelsStreams, TheMinimumFrameTimeDefersWithoutLosingChanges) {
    uint64_t stream = open(64, 48, 2, 0.1);
    ASSERT_TRUE(m_server->startStream(m_cid, stream));
    blank();
    ASSERT_EQ(m_events.size(), 1u);
    ASSERT_TRUE(draw(0, 0, 4, 4, 0x00FF00));
    blank();
    EXPECT_EQ(m_events.size(), 1u);
    blank(0.1);
    ASSERT_EQ(m_events.size(), 2u);
    EXPECT_TRUE(sameRects(m_events[1].rects, {cg::CGRectMake(0, 0, 4, 4)}));
}

TEST_F(WindowServerPixelsStreams, PoisonOverwritesSurfacesOnlyOnceGivenBack) {
    uint64_t stream = open(64, 48, 1);
    m_server->setPoison(true);
    ASSERT_TRUE(m_server->startStream(m_cid, stream));
    blank();
    ASSERT_EQ(m_events.size(), 1u);
    blank();
    EXPECT_EQ(pixelAt(m_pool[0], 5, 5), kBackground); // still held
    iosurface::IOSurfaceDecrementUseCount(m_pool[0]);
    blank();
    EXPECT_EQ(pixelAt(m_pool[0], 5, 5), kPoison);
    // The next frame rewrites all of it, though only its change is dirty.
    ASSERT_TRUE(draw(0, 0, 4, 4, 0x00FF00));
    blank();
    ASSERT_EQ(m_events.size(), 2u);
    EXPECT_TRUE(sameRects(m_events[1].rects, {cg::CGRectMake(0, 0, 4, 4)}));
    EXPECT_EQ(pixelAt(m_pool[0], 5, 5), kBackground);
    EXPECT_EQ(pixelAt(m_pool[0], 1, 1), 0xFF00FF00u);
    // Off: a surface given back keeps its picture.
    ASSERT_TRUE(m_server->serveAndWait(m_cid, op::poison, cf::Value(cf::Dictionary{{"on", false}})));
    iosurface::IOSurfaceDecrementUseCount(m_pool[0]);
    blank();
    EXPECT_EQ(pixelAt(m_pool[0], 5, 5), kBackground);
}

TEST_F(WindowServerPixelsStreams, AStreamDiesWithItsConnectionAndItsUseCountsClear) {
    uint32_t other = m_server->connect({4343, "Other", ""}, [](const cf::Value&) {});
    uint64_t stream = open(64, 48, 2, 0, other);
    ASSERT_TRUE(m_server->startStream(other, stream));
    EXPECT_FALSE(m_server->startStream(m_cid, stream)); // only its owner runs it
    blank();
    ASSERT_EQ(m_events.size(), 1u);
    EXPECT_EQ(iosurface::IOSurfaceGetUseCount(surfaceOf(m_events[0])), 1);
    m_server->disconnect(other);
    EXPECT_EQ(iosurface::IOSurfaceGetUseCount(surfaceOf(m_events[0])), 0);
    ASSERT_TRUE(draw(0, 0, 4, 4, 0x00FF00));
    blank();
    EXPECT_EQ(m_events.size(), 1u);
    EXPECT_FALSE(m_server->stopStream(other, stream));
}

TEST_F(WindowServerPixelsStreams, RefusedPropertiesMakeNoStream) {
    auto refused = [&](cf::Dictionary changes) {
        cf::Dictionary args{{"display", int64_t(WindowServer::kMainDisplayID)},
                            {"width", 64},
                            {"height", 48},
                            {"format", int64_t(iosurface::kIOSurfacePixelFormatBGRA)}};
        for (auto& [k, v] : changes)
            args.insert_or_assign(k, v);
        std::string why;
        bool none = !m_server->createStream(
            m_cid, cf::Value(std::move(args)), [](const auto&) {}, &why);
        return none && !why.empty();
    };
    EXPECT_TRUE(refused({{"display", 0x4242}}));
    EXPECT_TRUE(refused({{"format", 0x34323076}}));
    EXPECT_TRUE(refused({{"width", 0}}));
    EXPECT_TRUE(refused({{"height", "48"}}));
    EXPECT_TRUE(refused({{"minimumFrameTime", -1.0}}));
    EXPECT_TRUE(refused({{"minimumFrameTime", "soon"}}));
    EXPECT_TRUE(refused({{"showCursor", true}}));
    EXPECT_TRUE(refused({{"showCursor", 0}}));
    EXPECT_FALSE(refused({{"showCursor", false}, {"queueDepth", 99}})); // clamped
    EXPECT_EQ(m_pool.size(), 0u);
    EXPECT_TRUE(m_log.contains("refusing a display stream"));
}

// The facade over the in-process window server: frames on the stream's queue in order, use
// counts given back after the handler, an asynchronous stop answered by one Stopped call.
TEST(WindowServerPixelsStreamFacade, FramesReachTheQueueAndStopIsAnsweredOnce) {
    platform::installFakeClock();
    platform::LogCapture log{true};
    iokit::InProcessKernelOptions options;
    options.windowServerConfig = smallMain();
    auto kernel = std::make_shared<iokit::InProcessKernel>(std::move(options));
    kernel->install();
    WindowServer& server = *kernel->windowServer();
    auto blank = [&] {
        platform::installFakeClock().advance(platform::seconds(0.017));
        server.sync();
    };
    blank();

    std::mutex m;
    std::condition_variable cv;
    std::vector<int32_t> statuses;
    std::vector<iosurface::IOSurfaceRef> seen;
    cg::CGDisplayStreamProperties properties;
    properties.queueDepth = 2;
    auto queue = dispatch::dispatch_queue_create("display stream", dispatch::DISPATCH_QUEUE_SERIAL);
    EXPECT_FALSE(cg::CGDisplayStreamCreateWithDispatchQueue(WindowServer::kMainDisplayID, 64, 48, 0x34323076,
                                                            properties, queue, [](auto...) {}));
    cg::CGDisplayStreamProperties cursor = properties;
    cursor.showCursor = true;
    EXPECT_FALSE(cg::CGDisplayStreamCreateWithDispatchQueue(WindowServer::kMainDisplayID, 64, 48,
                                                            cg::kCGDisplayStreamPixelFormatBGRA, cursor,
                                                            queue, [](auto...) {}));
    cg::CGDisplayStreamRef stream = cg::CGDisplayStreamCreateWithDispatchQueue(
        WindowServer::kMainDisplayID, 64, 48, cg::kCGDisplayStreamPixelFormatBGRA, properties, queue,
        [&](cg::CGDisplayStreamFrameStatus status, uint64_t, const iosurface::IOSurfaceRef& surface,
            const cg::CGDisplayStreamUpdateRef& update) {
            size_t count = 0;
            cg::CGDisplayStreamUpdateGetRects(update, cg::kCGDisplayStreamUpdateReducedDirtyRects, &count);
            std::lock_guard lock(m);
            statuses.push_back(status);
            if (surface) {
                EXPECT_EQ(iosurface::IOSurfaceGetUseCount(surface), 1); // held during the handler
                EXPECT_GE(count, 1u);
                seen.push_back(surface);
            }
            cv.notify_all();
        });
    ASSERT_TRUE(stream);
    ASSERT_EQ(cg::CGDisplayStreamStart(stream), cg::kCGErrorSuccess);
    blank();
    auto waitFor = [&](size_t n) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, std::chrono::seconds(20), [&] { return statuses.size() >= n; });
    };
    ASSERT_TRUE(waitFor(1));
    dispatch::dispatch_sync(queue, [] {}); // the handler has returned
    EXPECT_EQ(iosurface::IOSurfaceGetUseCount(seen[0]), 0);
    // A frame still queued when stop comes is dropped, its count given back.
    std::promise<void> hold;
    dispatch::dispatch_async(queue, [held = hold.get_future().share()] { held.wait(); });
    server.serveAndWait(server.connect({1, "t", ""}, nullptr), op::damage,
                        cf::Value(cf::Dictionary{{"x", 0}, {"y", 0}, {"width", 4}, {"height", 4}}));
    blank();
    EXPECT_EQ(cg::CGDisplayStreamStop(stream), cg::kCGErrorSuccess);
    EXPECT_EQ(cg::CGDisplayStreamStop(stream), cg::kCGErrorSuccess);
    hold.set_value();
    ASSERT_TRUE(waitFor(2));
    dispatch::dispatch_sync(queue, [] {});
    {
        std::lock_guard lock(m);
        EXPECT_EQ(statuses, (std::vector<int32_t>{0, 3}));
        for (auto& s : seen)
            EXPECT_EQ(iosurface::IOSurfaceGetUseCount(s), 0);
    }
    EXPECT_EQ(server.pixelCounters(WindowServer::kMainDisplayID)->streamFrames, 2u);
    // The composed pixels where they lie, at their pitch.
    const auto* base = static_cast<const uint8_t*>(cg::CGDisplayBaseAddress(WindowServer::kMainDisplayID));
    ASSERT_TRUE(base);
    EXPECT_EQ(cg::CGDisplayBytesPerRow(WindowServer::kMainDisplayID), 64u * 4);
    uint32_t corner;
    std::memcpy(&corner, base + 47 * 64 * 4 + 63 * 4, 4);
    EXPECT_EQ(corner, kBackground);
    EXPECT_FALSE(cg::CGDisplayBaseAddress(0x4242));
    EXPECT_EQ(cg::CGDisplayBytesPerRow(0x4242), 0u);
    stream.reset();
    // A stream released after the kernel went finds nothing to stop.
    auto late = cg::CGDisplayStreamCreateWithDispatchQueue(WindowServer::kMainDisplayID, 64, 48,
                                                           cg::kCGDisplayStreamPixelFormatBGRA, properties,
                                                           queue, [](auto...) {});
    ASSERT_TRUE(late);
    kernel->shutdown();
    late.reset();
}

// Events naming a surface outside the pool, or with too many or non-finite rectangles, are
// refused; a refused frame's surface is given back.
TEST(WindowServerPixelsStreamFacade, HostileFramesAreRefusedAndGiveTheirSurfaceBack) {
    platform::LogCapture log{true};
    auto surface = iosurface::IOSurface::create(1, 8, 8);
    int calls = 0;
    auto queue = dispatch::dispatch_queue_create("hostile", dispatch::DISPATCH_QUEUE_SERIAL);
    int controls = 0;
    auto stream = std::make_shared<cg::DisplayStreamClient>(
        7, std::vector<iosurface::IOSurfaceRef>{surface}, queue, [&](auto...) { ++calls; },
        [&](bool) {
            ++controls;
            return cg::kCGErrorSuccess;
        });
    stream->deliver(0, 1, 1, {}, 0);  // no surface 1
    stream->deliver(0, 1, -1, {}, 0); // nor -1
    iosurface::IOSurfaceIncrementUseCount(surface);
    stream->deliver(0, 1, 0, std::vector<cg::CGRect>(4097, cg::CGRectMake(0, 0, 1, 1)), 0);
    EXPECT_EQ(iosurface::IOSurfaceGetUseCount(surface), 0);
    iosurface::IOSurfaceIncrementUseCount(surface);
    stream->deliver(0, 1, 0, {cg::CGRectMake(0, NAN, 1, 1)}, 0);
    EXPECT_EQ(iosurface::IOSurfaceGetUseCount(surface), 0);
    stream->deliver(9, 1, 0, {}, 0); // unknown status
    dispatch::dispatch_sync(queue, [] {});
    EXPECT_EQ(calls, 0);
    EXPECT_TRUE(log.contains("refused"));
    // Blank is heard once; released without a stop, the window server still hears it.
    stream->deliver(2, 1, -1, {}, 0);
    stream->deliver(2, 1, -1, {}, 0);
    dispatch::dispatch_sync(queue, [] {});
    EXPECT_EQ(calls, 1);
    stream.reset();
    EXPECT_EQ(controls, 1);
}

// A surface's memory is taken only when it holds what its header says: sealed against
// shrinking, long enough for its rows, rows of at least 4 x width bytes.
TEST(WindowServerPixelsStreamFacade, SurfaceMemoryShorterThanItsGeometryIsRefused) {
    platform::LogCapture log{true};
    int fd = -1;
    auto producer = iosurface::IOSurface::createShared(1, 16, 8, 128, &fd);
    ASSERT_TRUE(producer);
    auto reader = iosurface::IOSurface::createWithDescriptor(fd);
    ASSERT_TRUE(reader);
    EXPECT_EQ(iosurface::IOSurfaceGetWidth(reader), 16u);
    iosurface::IOSurfaceIncrementUseCount(reader); // shared: the producer sees it
    EXPECT_EQ(iosurface::IOSurfaceGetUseCount(producer), 1);
    // Rewritten headers: more rows than the memory holds, rows under 4 x width.
    producer->header().height = 9;
    EXPECT_FALSE(iosurface::IOSurface::createWithDescriptor(fd));
    producer->header().height = 8;
    producer->header().bytesPerRow = 60;
    EXPECT_FALSE(iosurface::IOSurface::createWithDescriptor(fd));
    EXPECT_EQ(iosurface::IOSurfaceGetBytesPerRow(reader), 128u); // the reader keeps what it checked
    ::close(fd);
    // Memory that could shrink under the mapping.
    int loose = ::memfd_create("loose", MFD_CLOEXEC);
    ASSERT_EQ(::ftruncate(loose, 8192), 0);
    EXPECT_FALSE(iosurface::IOSurface::createWithDescriptor(loose));
    ::close(loose);
    EXPECT_TRUE(log.contains("refused"));
}

} // namespace windowserver
