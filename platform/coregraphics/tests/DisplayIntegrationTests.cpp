// The display side through a private platformd with both kexts: a screen-server process
// enabling framebuffer 2, platformctl listing its modes and configuring its twin and a
// mirror, and an app-only configuration reverted when its process dies.
#include "platform/core/Format.h"
#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/coregraphics/CGDisplayConfiguration.h"
#include "platform/coregraphics/CGDisplayImage.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "platform/coregraphics/CGWindowImage.h"
#include "platform/coregraphics/MappingSeedPage.h"
#include "platform/coregraphics/WindowServerRequest.h"
#include "platform/coregraphics/WindowServerTransport.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/PNG.h"
#include "platform/iokit/tests/FramebufferHelperProcess.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <thread>

namespace cg {

namespace {

using platformd::testing::ProgramResult;
using platformd::testing::runProgram;

constexpr uint32_t kSerial2 = 0x99730002;

std::optional<cf::Value> waitEvent(const std::string& kind, cf::Dictionary match, double timeout = 20) {
    return platformd::testing::waitForEvent(kind, std::move(match), timeout);
}

ProgramResult ctl(std::vector<std::string> args) {
    args.insert(args.begin(), platformd::testing::PrivatePlatformd::platformctlPath());
    return runProgram(args);
}

// The lines of the display whose line starts "id=0x<id> ", up to the next display.
std::vector<std::string> linesOf(const std::string& listing, uint32_t id) {
    std::vector<std::string> out;
    std::istringstream in(listing);
    std::string line;
    bool inside = false;
    std::string head = "id=0x" + platform::format("%x", id) + " ";
    while (std::getline(in, line)) {
        if (line.rfind("id=", 0) == 0) inside = line.rfind(head, 0) == 0;
        if (inside) out.push_back(line);
    }
    return out;
}

std::vector<std::pair<CGDirectDisplayID, CGDisplayChangeSummaryFlags>> gHeard;
void heard(CGDirectDisplayID display, CGDisplayChangeSummaryFlags flags, void*) {
    gHeard.emplace_back(display, flags);
}

} // namespace

class CoreGraphicsIntegration : public platformd::testing::PlatformdTest {
  protected:
    void SetUp() override {
        PlatformdTest::SetUp();
        CGSSetWindowServerTransport(nullptr);
        gHeard.clear();
    }
    void TearDown() override {
        CGDisplayRemoveReconfigurationCallback(heard, nullptr);
        PlatformdTest::TearDown();
    }
    // HiDPI twins on, as the stand-in's HiDPI tool would set it.
    void enableTwins() {
        auto r = ctl({"prefs", "write", "com.apple.windowserver", "DisplayResolutionEnabled", "bool", "true",
                      "--any-user", "--current-host"});
        ASSERT_EQ(r.status, 0) << r.err;
    }
};

TEST_F(CoreGraphicsIntegration, PlatformctlListsTheFourModesAndConfiguresTheTwinAndAMirror) {
    enableTwins();
    iokit::Helper helper(m_platformd->root(), 2, {"1", "34"});
    ASSERT_TRUE(helper.started);
    ASSERT_TRUE(waitEvent("display-added", {{"serial", std::to_string(kSerial2)}})) << helper.output();

    ProgramResult listing = ctl({"displays", "--modes"});
    ASSERT_EQ(listing.status, 0) << listing.err;
    auto lines = linesOf(listing.out, 0x102);
    ASSERT_EQ(lines.size(), 6u) << listing.out;
    EXPECT_EQ(lines[1], "  facade bounds=1440,0,1024,768 pixels=1024x768 scale=1");
    EXPECT_EQ(lines[2], "  mode 0 1024x768 pixels=1024x768 scale=1 io=1 refresh=60 current");
    EXPECT_EQ(lines[3], "  mode 1 512x384 pixels=1024x768 scale=2 io=1 refresh=60");
    EXPECT_EQ(lines[4], "  mode 2 2048x1536 pixels=2048x1536 scale=1 io=34 refresh=60");
    EXPECT_EQ(lines[5], "  mode 3 1024x768 pixels=2048x1536 scale=2 io=34 refresh=60");

    // platformd's shared seed page, as the facade reads it: read-only, moving with every change.
    ipc::Reply pageReply = ipc::Connection::shared()->request(windowserver::op::seedPage);
    ASSERT_TRUE(pageReply.ok);
    ASSERT_EQ(pageReply.fds.size(), 1u);
    EXPECT_EQ(::fcntl(pageReply.fds[0].get(), F_GETFL) & O_ACCMODE, O_RDONLY);
    auto page = MappingSeedPage::adopt(pageReply.fds[0].get());
    ASSERT_TRUE(page);
    const uint32_t seedBefore = page->seed();
    EXPECT_EQ(CGSDisplayMappingChangedSeed(), seedBefore);

    // The twin of mode 34: same points as before, twice the pixels.
    ProgramResult configured = ctl({"configure", "0x102", "mode", "3"});
    ASSERT_EQ(configured.status, 0) << configured.err;
    EXPECT_NE(page->seed(), seedBefore);
    EXPECT_EQ(CGSDisplayMappingChangedSeed(), page->seed());
    EXPECT_EQ(CGSReplyInteger(CGSRequest(windowserver::op::seed), "seed"), int64_t(page->seed()));
    EXPECT_TRUE(CGRectEqualToRect(CGDisplayBounds(0x102), CGRectMake(1440, 0, 1024, 768)));
    EXPECT_EQ(CGDisplayPixelsWide(0x102), 2048u);
    lines = linesOf(ctl({"displays", "--modes"}).out, 0x102);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[1], "  facade bounds=1440,0,1024,768 pixels=2048x1536 scale=2");
    EXPECT_EQ(lines[5], "  mode 3 1024x768 pixels=2048x1536 scale=2 io=34 refresh=60 current");

    // A mirror of the main display, in decimal, then dissolved.
    ASSERT_EQ(ctl({"configure", "258", "mirror", "1"}).status, 0);
    EXPECT_EQ(CGDisplayMirrorsDisplay(0x102), 1u);
    EXPECT_EQ(CGDisplayBounds(0x102).origin.x, 0);
    ASSERT_EQ(ctl({"configure", "0x102", "unmirror"}).status, 0);
    EXPECT_EQ(CGDisplayMirrorsDisplay(0x102), kCGNullDirectDisplay);

    // Refusals: exit 1 naming the CGError; usage errors exit 2.
    ProgramResult refused = ctl({"configure", "0x777", "mirror", "1"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("CGError 1001"), std::string::npos) << refused.err;
    EXPECT_EQ(ctl({"configure", "0x102", "mode", "4"}).status, 1);
    EXPECT_EQ(ctl({"configure", "0x102", "mirror", "0x102"}).status, 1);
    EXPECT_EQ(ctl({"configure", "zebra", "unmirror"}).status, 2);
    EXPECT_EQ(ctl({"damage", "0", "0", "NaN", "4"}).status, 2);
    EXPECT_EQ(ctl({"cursor", "image", "hand"}).status, 2);

    // Cursor hooks and damage.
    uint32_t seed = CGSCurrentCursorSeed();
    ASSERT_EQ(ctl({"cursor", "image", "ibeam"}).status, 0);
    EXPECT_NE(CGSCurrentCursorSeed(), seed);
    ASSERT_EQ(ctl({"cursor", "move", "1500", "20"}).status, 0);
    EXPECT_EQ(CGSCurrentInputPointerPosition().x, 1500);
    ASSERT_EQ(ctl({"cursor", "hide"}).status, 0);
    ASSERT_EQ(ctl({"cursor", "show"}).status, 0);
    ASSERT_EQ(ctl({"damage", "0", "0", "10", "10"}).status, 0);
    helper.send("exit");
    EXPECT_EQ(helper.process().wait(20), 0);
}

TEST_F(CoreGraphicsIntegration, AnAppOnlyTwinIsRevertedWhenItsProcessDies) {
    enableTwins();
    iokit::Helper screenServer(m_platformd->root(), 2, {"1", "34"});
    ASSERT_TRUE(screenServer.started);
    ASSERT_TRUE(waitEvent("display-added", {{"serial", std::to_string(kSerial2)}}));
    ASSERT_EQ(CGDisplayRegisterReconfigurationCallback(heard, nullptr), kCGErrorSuccess);

    platformd::testing::ChildProcess configurer;
    ASSERT_TRUE(
        configurer.start({CG_HELPER_PATH, "0x102", "34", "2"}, m_platformd->root() + "/cg-helper.out"));
    auto configured = waitEvent("cg-helper", {{"step", "configured"}});
    ASSERT_TRUE(configured);
    EXPECT_EQ(configured->find("status")->intValue(), 0);
    EXPECT_EQ(CGDisplayCopyDisplayMode(0x102)->resolution, 2.0);

    configurer.signal(SIGKILL);
    configurer.wait(20);
    // This process hears the revert: pass 2 of a mode change on 0x102.
    auto loop = dispatch::RunLoop::main();
    auto deadline = platform::now() + platform::seconds(20);
    auto reverted = [] {
        return std::count(gHeard.begin(), gHeard.end(), std::make_pair(0x102u, 0x8u | 0x1000u)) >= 2;
    };
    while (!reverted() && platform::now() < deadline)
        loop->runInMode(dispatch::kDefaultRunLoopMode, platform::now() + platform::seconds(0.1), true);
    EXPECT_TRUE(reverted()) << gHeard.size();
    auto mode = CGDisplayCopyDisplayMode(0x102);
    ASSERT_TRUE(mode);
    EXPECT_EQ(mode->ioDisplayModeID, 1);
    EXPECT_EQ(mode->resolution, 1.0);
    // The removal pass, heard here too.
    screenServer.send("disable");
    auto removed = [] {
        return std::count(gHeard.begin(), gHeard.end(), std::make_pair(0x102u, 0x20u | 0x200u | 0x1000u)) ==
               1;
    };
    deadline = platform::now() + platform::seconds(20);
    while (!removed() && platform::now() < deadline)
        loop->runInMode(dispatch::kDefaultRunLoopMode, platform::now() + platform::seconds(0.1), true);
    EXPECT_TRUE(removed());
    EXPECT_EQ(CGDisplaySerialNumber(0x102), kSerial2);
    screenServer.send("exit");
    screenServer.process().wait(20);
}

namespace {
// The main display's composition count, from platformctl's counters line.
long long compositions() {
    ProgramResult r = ctl({"counters", "1"});
    auto at = r.out.find("compositions=");
    return r.status == 0 && at != std::string::npos ? std::atoll(r.out.c_str() + at + 13) : -1;
}
} // namespace

TEST_F(CoreGraphicsIntegration, PlatformctlDrawsBlocksThatReadDisplayGivesBack) {
    long long before = compositions();
    ASSERT_GE(before, 0);
    ProgramResult drawn = ctl({"draw", "display", "1", "blocks", "16"});
    ASSERT_EQ(drawn.status, 0) << drawn.err;
    // platformd composes at its next vertical blank, in its own process and on its own clock:
    // poll its counters since no event announces a composition. The bound is generous for a
    // loaded machine (5 s was not), and running out of it fails here, not as wrong pixels below.
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (compositions() <= before && std::chrono::steady_clock::now() < bound)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GT(compositions(), before) << "platformd composed no display after the draw";
    std::string path = m_platformd->root() + "/display.png";
    ProgramResult read = ctl({"read-display", "1", "--png", path});
    ASSERT_EQ(read.status, 0) << read.err;
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto image = png::decode(file);
    ASSERT_TRUE(image);
    ASSERT_EQ(image->width, 1440u);
    ASSERT_EQ(image->height, 900u);
    auto at = [&](uint32_t x, uint32_t y) {
        const uint8_t* p = image->rgba.data() + (size_t(y) * image->width + x) * 4;
        return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    };
    // Flat 16 × 16 blocks on the pixel grid, neighbours differing.
    for (uint32_t by = 0; by < 4; ++by)
        for (uint32_t bx = 0; bx < 4; ++bx) {
            uint32_t c = at(bx * 16, by * 16);
            EXPECT_EQ(at(bx * 16 + 15, by * 16 + 15), c);
            EXPECT_NE(at(bx * 16 + 16, by * 16), c);
        }
    EXPECT_NE(at(0, 0), 0x3A6EA5u);

    // Hostile hooks: platformctl exits 1 saying why.
    ProgramResult unknown = ctl({"draw", "display", "0x4242", "blocks", "16"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.err, "platformctl: no display 0x4242\n") << "the id as typed, no operation name";
    EXPECT_EQ(ctl({"draw", "display", "1", "blocks", "0"}).status, 1);
    EXPECT_EQ(ctl({"draw", "rect", "0", "0", "8", "8", "pixels", m_platformd->root() + "/none"}).status, 1);
    ProgramResult bad = ctl({"draw", "rect", "0", "0", "8", "8", "pixels", path}); // 1440 × 900, not 8 × 8
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("not 8 x 8"), std::string::npos) << bad.err;
    EXPECT_EQ(ctl({"move", "nothing", "1", "1"}).status, 1);
    EXPECT_EQ(ctl({"erase"}).status, 0);
}

// A display stream of the main display across processes: the pool's surfaces come as memfds,
// frames as pushes; poison reaches a surface given back; the counters count the frames; the
// display's composed pixels map read-only.
// Each window-server verb that changes something says what in one line on stdout.
TEST_F(CoreGraphicsIntegration, PlatformctlSaysInOneLineWhatEachVerbChanged) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> verbs = {
        {{"poison", "on"}, "poison on"},
        {{"poison", "off"}, "poison off"},
        {{"text-sink", "--clear"}, "text sink cleared"},
        {{"pasteboard", "--set", "hello"}, "pasteboard set: 5 bytes of text"},
        {{"cursor", "hide"}, "cursor hidden"},
        {{"cursor", "show"}, "cursor shown"},
        {{"cursor", "move", "10", "20.5"}, "cursor moved to 10,20.5"},
        {{"cursor", "image", "ibeam"}, "cursor image ibeam"},
        {{"damage", "1", "2", "30", "40"}, "damaged 1,2 30x40"},
        {{"draw", "display", "1", "blocks", "16"}, "drew window test over display 1: blocks 16"},
        {{"draw", "--window", "box", "rect", "0", "0", "64", "32", "solid", "FF0000"},
         "drew window box over rect 0 0 64 32: solid FF0000"},
        {{"move", "box", "100", "50"}, "moved window box to 100,50"},
        {{"erase", "box"}, "erased window box"},
        {{"erase"}, "erased every drawn window"},
        {{"configure", "1", "mode", "0"}, "display 1 in mode 0"},
    };
    for (const auto& [args, line] : verbs) {
        ProgramResult r = ctl(args);
        ASSERT_EQ(r.status, 0) << args[0] << ": " << r.err;
        EXPECT_EQ(r.out, line + "\n") << args[0];
    }
    ProgramResult refused = ctl({"move", "nobody", "1", "1"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "") << "a refusal says why on stderr only";
}

TEST_F(CoreGraphicsIntegration, AStreamAcrossProcessesDeliversFramesPoisonAndCounters) {
    std::mutex m;
    std::condition_variable cv;
    std::vector<int32_t> statuses;
    std::vector<uint32_t> corners; // the pixel at (0, 0) of each frame
    iosurface::IOSurfaceRef held;
    CGDisplayStreamProperties properties;
    properties.queueDepth = 1;
    auto queue = dispatch::dispatch_queue_create("display stream", dispatch::DISPATCH_QUEUE_SERIAL);
    auto stream = CGDisplayStreamCreateWithDispatchQueue(
        1, 720, 450, kCGDisplayStreamPixelFormatBGRA, properties, queue,
        [&](CGDisplayStreamFrameStatus status, uint64_t, const iosurface::IOSurfaceRef& surface,
            const CGDisplayStreamUpdateRef&) {
            std::lock_guard lock(m);
            statuses.push_back(status);
            if (surface) {
                uint32_t p;
                std::memcpy(&p, iosurface::IOSurfaceGetBaseAddress(surface), 4);
                corners.push_back(p);
                if (!held) {
                    held = surface; // kept past the handler
                    iosurface::IOSurfaceIncrementUseCount(surface);
                }
            }
            cv.notify_all();
        });
    ASSERT_TRUE(stream);
    ASSERT_EQ(CGDisplayStreamStart(stream), kCGErrorSuccess);
    auto waitUntil = [&](auto done) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, std::chrono::seconds(20), [&] { return done(); });
    };
    ASSERT_TRUE(waitUntil([&] { return !corners.empty(); }));
    EXPECT_EQ(corners[0], 0xFF3A6EA5u);

    // Held: a change waits, counted as skipped; given back, it arrives.
    ASSERT_EQ(ctl({"draw", "rect", "0", "0", "100", "100", "solid", "FF0000"}).status, 0);
    bool skipped = false;
    for (int i = 0; i < 200 && !skipped; ++i)
        skipped = ctl({"counters", "1"}).out.find("stream-skipped=0 ") == std::string::npos;
    EXPECT_TRUE(skipped);
    {
        std::lock_guard lock(m);
        EXPECT_EQ(corners.size(), 1u);
    }
    iosurface::IOSurfaceDecrementUseCount(held);
    ASSERT_TRUE(waitUntil([&] { return corners.size() >= 2; }));
    EXPECT_EQ(corners[1], 0xFFFF0000u);
    ProgramResult counters = ctl({"counters", "1"});
    ASSERT_EQ(counters.status, 0) << counters.err;
    EXPECT_EQ(counters.out.find("stream-frames=0 "), std::string::npos) << counters.out;

    // Poison: once the frame's count returns to 0 the surface shows the pattern.
    ASSERT_EQ(ctl({"poison", "on"}).status, 0);
    EXPECT_EQ(ctl({"poison", "maybe"}).status, 2);
    bool poisoned = false;
    for (int i = 0; i < 400 && !poisoned; ++i) {
        uint32_t p;
        std::memcpy(&p, iosurface::IOSurfaceGetBaseAddress(held), 4);
        poisoned = p == 0xFFFF00FFu;
        if (!poisoned) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(poisoned);
    ASSERT_EQ(ctl({"poison", "off"}).status, 0);

    // The composed pixels, read-only, at the display's pitch.
    const auto* base = static_cast<const uint8_t*>(CGDisplayBaseAddress(1));
    ASSERT_TRUE(base);
    EXPECT_EQ(CGDisplayBytesPerRow(1), 1440u * 4);
    uint32_t first;
    std::memcpy(&first, base, 4);
    EXPECT_EQ(first, 0xFFFF0000u);
    EXPECT_FALSE(CGDisplayBaseAddress(0x4242));

    EXPECT_EQ(CGDisplayStreamStop(stream), kCGErrorSuccess);
    ASSERT_TRUE(waitUntil([&] { return !statuses.empty() && statuses.back() == 3; }));
    EXPECT_EQ(ctl({"erase"}).status, 0);
}

// A window's backing store across processes: the memfd comes with platformd's answer, a flush
// reaches the window server's copy (answered by the window image at once) and the composed
// display, at the window's place over the desktop.
class WindowBackingStoreRoad : public CoreGraphicsIntegration {};

TEST_F(WindowBackingStoreRoad, AStoreDrawnAndFlushedShowsInTheWindowImageAndOnTheDisplay) {
    CGSWindowRecord record;
    record.title = "Road";
    record.frame = CGRectMake(100, 50, 40, 30);
    record.onScreen = true;
    CGSWindowStoreRef store;
    CGWindowID window = CGSNewWindow(record, &store);
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(store);
    ASSERT_EQ(store->width, 40u);
    ASSERT_EQ(store->height, 30u);
    const uint32_t red = 0xFFFF0000;
    for (size_t y = 0; y < store->height; ++y)
        for (size_t x = 0; x < store->width; ++x)
            std::memcpy(store->bytes + y * store->bytesPerRow + x * 4, &red, 4);
    long long before = compositions();
    ASSERT_EQ(CGSFlushWindow(window, {CGRectMake(0, 0, 40, 30)}), kCGErrorSuccess);
    auto image = CGWindowListCreateImage(CGRectNull, kCGWindowListOptionIncludingWindow, window,
                                         kCGWindowImageBoundsIgnoreFraming);
    ASSERT_TRUE(image);
    uint32_t first;
    std::memcpy(&first, CGImageGetBytePtr(image), 4);
    EXPECT_EQ(first, red);

    for (int i = 0; i < 500 && compositions() <= before; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::string path = m_platformd->root() + "/windows.png";
    ProgramResult read = ctl({"read-display", "1", "--png", path});
    ASSERT_EQ(read.status, 0) << read.err;
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto picture = png::decode(file);
    ASSERT_TRUE(picture);
    auto at = [&](uint32_t x, uint32_t y) {
        const uint8_t* p = picture->rgba.data() + (size_t(y) * picture->width + x) * 4;
        return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    };
    EXPECT_EQ(at(110, 60), 0xFF0000u);
    EXPECT_EQ(at(90, 60), 0x3A6EA5u);
    EXPECT_EQ(CGSReleaseWindow(window), kCGErrorSuccess);
}

} // namespace cg
