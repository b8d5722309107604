// Windows' backing stores through the Core Graphics facade and an in-process window server on
// the fake clock: the owner draws into the memfd, only flushed rectangles reach the display at
// the window's level, a frame change replaces the store only when the pixel size changes, window
// images answer the flushed copy, and hostile flushes and stores are refused with a log line.
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGDisplayImage.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "platform/coregraphics/CGWindowImage.h"
#include "platform/iokit/InProcessKernel.h"
#include "platform/windowserver/WindowServer.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include "SmallDesktop.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace windowserver {

namespace {

constexpr uint32_t kRed = 0xFFFF0000;
constexpr uint32_t kGreen = 0xFF00FF00;

uint32_t pixel(const cg::CGImageRef& image, size_t x, size_t y) {
    uint32_t p;
    std::memcpy(&p, cg::CGImageGetBytePtr(image) + y * cg::CGImageGetBytesPerRow(image) + x * 4, 4);
    return p;
}

// Fills a rectangle of the store (store pixels) with one premultiplied colour.
void fill(const cg::CGSWindowStoreRef& store, size_t x, size_t y, size_t w, size_t h, uint32_t colour) {
    for (size_t row = y; row < y + h; ++row)
        for (size_t col = x; col < x + w; ++col)
            std::memcpy(store->bytes + row * store->bytesPerRow + col * 4, &colour, 4);
}

} // namespace

class WindowBackingStore : public ::testing::Test {
  protected:
    void SetUp() override { start(testing::smallMain()); }
    void start(WindowServerConfig config) {
        platform::installFakeClock();
        iokit::InProcessKernelOptions options;
        options.windowServerConfig = std::move(config);
        m_kernel = std::make_shared<iokit::InProcessKernel>(std::move(options));
        m_kernel->install();
    }
    void TearDown() override { stop(); }
    void stop() {
        if (m_kernel) m_kernel->shutdown();
        m_kernel.reset();
    }
    WindowServer& server() { return *m_kernel->windowServer(); }
    void blank() {
        platform::installFakeClock().advance(platform::seconds(0.017));
        server().sync();
    }
    uint32_t displayPixel(size_t x, size_t y) {
        auto image = cg::CGDisplayCreateImage(WindowServer::kMainDisplayID);
        return image ? pixel(image, x, y) : 0;
    }
    cg::CGWindowID newWindow(cg::CGRect frame, int32_t level, cg::CGSWindowStoreRef* store,
                             bool onScreen = true) {
        cg::CGSWindowRecord record;
        record.title = "Window";
        record.level = level;
        record.frame = frame;
        record.onScreen = onScreen;
        return cg::CGSNewWindow(record, store);
    }

    platform::LogCapture m_log{true};
    std::shared_ptr<iokit::InProcessKernel> m_kernel;
};

TEST_F(WindowBackingStore, OnlyFlushedRectanglesReachTheDisplayAtTheWindowsLevel) {
    cg::CGSWindowStoreRef store;
    cg::CGWindowID window = newWindow(cg::CGRectMake(8, 8, 16, 10), 0, &store);
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->width, 16u);
    EXPECT_EQ(store->height, 10u);
    EXPECT_GT(store->bytesPerRow, 16u * 4); // padded
    for (size_t y = 0; y < store->height; ++y)
        for (size_t x = 0; x < store->width * 4; ++x)
            ASSERT_EQ(store->bytes[y * store->bytesPerRow + x], 0);

    fill(store, 0, 0, 16, 10, kRed);
    blank();
    EXPECT_EQ(displayPixel(9, 9), testing::kBackground); // drawn, not flushed: transparent
    ASSERT_EQ(cg::CGSFlushWindow(window, {cg::CGRectMake(0, 0, 8, 10)}), cg::kCGErrorSuccess);
    blank();
    EXPECT_EQ(displayPixel(9, 9), kRed);
    EXPECT_EQ(displayPixel(20, 9), testing::kBackground); // the unflushed half
    EXPECT_EQ(displayPixel(7, 9), testing::kBackground);

    // A higher level stays in front of a window ordered front later.
    cg::CGSWindowStoreRef frontStore;
    cg::CGWindowID front = newWindow(cg::CGRectMake(4, 4, 8, 8), 3, &frontStore);
    fill(frontStore, 0, 0, 8, 8, kGreen);
    ASSERT_EQ(cg::CGSFlushWindow(front, {cg::CGRectMake(0, 0, 8, 8)}), cg::kCGErrorSuccess);
    ASSERT_EQ(cg::CGSOrderWindow(window, true), cg::kCGErrorSuccess);
    blank();
    EXPECT_EQ(displayPixel(9, 9), kGreen);
    EXPECT_EQ(displayPixel(13, 13), kRed);

    // Level, alpha and ignoring the mouse reach the window list; alpha reaches the composition.
    ASSERT_EQ(cg::CGSSetWindowLevel(front, -1), cg::kCGErrorSuccess);
    ASSERT_EQ(cg::CGSSetWindowIgnoresMouse(front, true), cg::kCGErrorSuccess);
    blank();
    EXPECT_EQ(displayPixel(9, 9), kRed);
    EXPECT_EQ(displayPixel(5, 5), kGreen);
    ASSERT_EQ(cg::CGSSetWindowAlpha(front, 0.0), cg::kCGErrorSuccess);
    blank();
    EXPECT_EQ(displayPixel(5, 5), testing::kBackground);
    auto list = cg::CGWindowListCopyWindowInfo(cg::kCGWindowListOptionIncludingWindow, front);
    ASSERT_TRUE(list && list->count() == 1);
    EXPECT_EQ(list->at(0)->find(cg::kCGWindowLayer)->integerValue(), -1);
    EXPECT_EQ(list->at(0)->find(cg::kCGWindowAlpha)->doubleValue(), 0.0);
}

TEST_F(WindowBackingStore, AFrameChangeReplacesTheStoreOnlyWhenThePixelSizeChanges) {
    cg::CGSWindowStoreRef store;
    cg::CGWindowID window = newWindow(cg::CGRectMake(0, 0, 10, 10), 0, &store);
    ASSERT_TRUE(store);
    fill(store, 0, 0, 10, 10, kRed);
    ASSERT_EQ(cg::CGSFlushWindow(window, {cg::CGRectMake(0, 0, 10, 10)}), cg::kCGErrorSuccess);

    auto kept = store;
    bool replaced = true;
    ASSERT_EQ(cg::CGSSetWindowFrame(window, cg::CGRectMake(20, 20, 10, 10), &store, &replaced),
              cg::kCGErrorSuccess);
    EXPECT_FALSE(replaced);
    EXPECT_EQ(store, kept);
    blank();
    EXPECT_EQ(displayPixel(25, 25), kRed); // moved with its pixels
    EXPECT_EQ(displayPixel(5, 5), testing::kBackground);

    ASSERT_EQ(cg::CGSSetWindowFrame(window, cg::CGRectMake(20, 20, 12, 6), &store, &replaced),
              cg::kCGErrorSuccess);
    EXPECT_TRUE(replaced);
    ASSERT_TRUE(store);
    EXPECT_NE(store, kept);
    EXPECT_EQ(store->width, 12u);
    EXPECT_EQ(store->height, 6u);
    blank();
    EXPECT_EQ(displayPixel(25, 22), testing::kBackground); // a new store starts transparent

    // A zero-size frame leaves no store; the window stays listed.
    ASSERT_EQ(cg::CGSSetWindowFrame(window, cg::CGRectMake(20, 20, 0, 6), &store, &replaced),
              cg::kCGErrorSuccess);
    EXPECT_TRUE(replaced);
    EXPECT_FALSE(store);
    EXPECT_FALSE(cg::CGWindowListCreateImage(cg::CGRectNull, cg::kCGWindowListOptionIncludingWindow, window,
                                             cg::kCGWindowImageDefault));
    auto list = cg::CGWindowListCopyWindowInfo(cg::kCGWindowListOptionIncludingWindow, window);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->count(), 1u);
}

TEST_F(WindowBackingStore, WindowImagesAnswerTheFlushedCopyOnScreenOrNot) {
    cg::CGSWindowStoreRef store;
    cg::CGWindowID window = newWindow(cg::CGRectMake(10, 10, 8, 6), 0, &store, false);
    ASSERT_TRUE(store);
    fill(store, 0, 0, 8, 6, kRed);
    fill(store, 4, 0, 4, 6, kGreen);
    ASSERT_EQ(cg::CGSFlushWindow(window, {cg::CGRectMake(0, 0, 8, 3)}), cg::kCGErrorSuccess);

    auto image = cg::CGWindowListCreateImage(cg::CGRectNull, cg::kCGWindowListOptionIncludingWindow, window,
                                             cg::kCGWindowImageBoundsIgnoreFraming);
    ASSERT_TRUE(image);
    EXPECT_EQ(cg::CGImageGetWidth(image), 8u);
    EXPECT_EQ(cg::CGImageGetHeight(image), 6u);
    EXPECT_GT(cg::CGImageGetBytesPerRow(image), 8u * 4);
    EXPECT_EQ(cg::CGImageGetBitmapInfo(image),
              cg::CGBitmapInfo(cg::kCGImageAlphaPremultipliedFirst) | cg::kCGBitmapByteOrder32Little);
    EXPECT_EQ(pixel(image, 1, 1), kRed);
    EXPECT_EQ(pixel(image, 5, 1), kGreen);
    EXPECT_EQ(pixel(image, 1, 4), 0u); // not flushed
    // Drawing after the image changes nothing in it: it is a copy.
    fill(store, 0, 0, 8, 6, kGreen);
    ASSERT_EQ(cg::CGSFlushWindow(window, {cg::CGRectMake(0, 0, 8, 6)}), cg::kCGErrorSuccess);
    EXPECT_EQ(pixel(image, 1, 1), kRed);

    // A part of the window (global points); the array form.
    auto part = cg::CGWindowListCreateImageFromArray(cg::CGRectMake(12, 11, 100, 2), {window},
                                                     cg::kCGWindowImageDefault);
    ASSERT_TRUE(part);
    EXPECT_EQ(cg::CGImageGetWidth(part), 6u);
    EXPECT_EQ(cg::CGImageGetHeight(part), 2u);
    EXPECT_EQ(pixel(part, 0, 0), kGreen);

    EXPECT_FALSE(cg::CGWindowListCreateImage(cg::CGRectNull, cg::kCGWindowListOptionIncludingWindow, 0x7777,
                                             cg::kCGWindowImageDefault));
    EXPECT_FALSE(cg::CGWindowListCreateImageFromArray(cg::CGRectMake(40, 40, 4, 4), {window},
                                                      cg::kCGWindowImageDefault)); // outside it
    cg::CGSWindowStoreRef none;
    cg::CGWindowID empty = newWindow(cg::CGRectMake(0, 0, 0, 0), 0, &none);
    ASSERT_NE(empty, 0u);
    EXPECT_FALSE(none);
    EXPECT_FALSE(cg::CGWindowListCreateImageFromArray(cg::CGRectNull, {empty}, cg::kCGWindowImageDefault));
}

TEST_F(WindowBackingStore, StoresFollowTheScreensScaleAndNominalImagesHaveAPixelAPoint) {
    stop();
    WindowServerConfig config;
    config.mainDisplay.scale = 2;
    config.hiDPIEnabled = [] { return false; };
    start(config);
    cg::CGSWindowStoreRef store;
    cg::CGWindowID window = newWindow(cg::CGRectMake(100, 100, 20, 10), 0, &store);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->width, 40u);
    EXPECT_EQ(store->height, 20u);
    EXPECT_EQ(store->scale, 2.0);
    fill(store, 0, 0, 40, 20, kRed);
    fill(store, 20, 0, 20, 20, kGreen);
    // Half a point rounds outward to whole store pixels.
    ASSERT_EQ(cg::CGSFlushWindow(window, {cg::CGRectMake(0.25, 0, 19.5, 10)}), cg::kCGErrorSuccess);
    auto full = cg::CGWindowListCreateImage(cg::CGRectNull, cg::kCGWindowListOptionIncludingWindow, window,
                                            cg::kCGWindowImageDefault);
    ASSERT_TRUE(full);
    EXPECT_EQ(cg::CGImageGetWidth(full), 40u);
    EXPECT_EQ(pixel(full, 0, 0), kRed);
    EXPECT_EQ(pixel(full, 39, 19), kGreen);
    auto nominal = cg::CGWindowListCreateImage(cg::CGRectNull, cg::kCGWindowListOptionIncludingWindow, window,
                                               cg::kCGWindowImageNominalResolution);
    ASSERT_TRUE(nominal);
    EXPECT_EQ(cg::CGImageGetWidth(nominal), 20u);
    EXPECT_EQ(cg::CGImageGetHeight(nominal), 10u);
    EXPECT_EQ(pixel(nominal, 2, 2), kRed);
    EXPECT_EQ(pixel(nominal, 15, 2), kGreen);
    blank();
    auto display = cg::CGDisplayCreateImage(WindowServer::kMainDisplayID);
    ASSERT_TRUE(display);
    EXPECT_EQ(pixel(display, 201, 201), kRed);
    EXPECT_EQ(pixel(display, 238, 218), kGreen);
}

TEST_F(WindowBackingStore, HostileFlushesAndStoresAreLoggedAndChangeNothing) {
    cg::CGSWindowStoreRef store;
    cg::CGWindowID window = newWindow(cg::CGRectMake(0, 0, 10, 10), 0, &store);
    ASSERT_TRUE(store);
    fill(store, 0, 0, 10, 10, kRed);
    // Another process's window.
    uint32_t other = server().connect({777, "Other", ""}, nullptr);
    m_log.clear();
    auto answer = server().serveAndWait(
        other, op::flushWindow,
        cf::Dictionary{{"window", int64_t(window)}, {"rects", cf::Array{cf::Array{0, 0, 10, 10}}}});
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->find("status")->integerValue(), cg::kCGErrorIllegalArgument);
    EXPECT_EQ(m_log.count("is not its own"), 1u);
    // NaN, huge, malformed, too many.
    auto flush = [&](cf::Value rects) {
        return server().serveAndWait(m_kernel->windowServerConnection()->cid(), op::flushWindow,
                                     cf::Dictionary{{"window", int64_t(window)}, {"rects", rects}});
    };
    m_log.clear();
    EXPECT_FALSE(flush(cf::Array{cf::Array{std::nan(""), 0, 10, 10}}));
    EXPECT_FALSE(flush(cf::Array{cf::Array{0, 0, 1e300, 10}}));
    EXPECT_FALSE(flush(cf::Array{cf::Array{0, 0, 10}}));
    EXPECT_FALSE(flush(cf::Array{cf::Array{0, 0, -4, 10}}));
    EXPECT_FALSE(flush(cf::Value("rects")));
    cf::Array many;
    for (int i = 0; i < 5000; ++i)
        many.push_back(cf::Array{0, 0, 1, 1});
    EXPECT_FALSE(flush(cf::Value(std::move(many))));
    EXPECT_EQ(m_log.count("refusing ws.flushWindow"), 6u);
    blank();
    EXPECT_EQ(displayPixel(5, 5), testing::kBackground); // nothing was flushed

    // A rectangle larger than the window is clipped to it.
    ASSERT_TRUE(flush(cf::Array{cf::Array{-100, -100, 1000, 1000}}));
    blank();
    EXPECT_EQ(displayPixel(5, 5), kRed);
    EXPECT_EQ(displayPixel(12, 5), testing::kBackground);

    // A store over 16384 pixels a side: the window is listed, undrawn, once logged.
    m_log.clear();
    cg::CGSWindowStoreRef huge;
    cg::CGWindowID big = newWindow(cg::CGRectMake(0, 0, 20000, 10), 0, &huge);
    ASSERT_NE(big, 0u);
    EXPECT_FALSE(huge);
    EXPECT_EQ(m_log.count("gets no backing store"), 1u);
    EXPECT_EQ(cg::CGSFlushWindow(big, {cg::CGRectMake(0, 0, 10, 10)}), cg::kCGErrorIllegalArgument);
    EXPECT_FALSE(cg::CGWindowListCreateImage(cg::CGRectNull, cg::kCGWindowListOptionIncludingWindow, big,
                                             cg::kCGWindowImageDefault));
    auto list = cg::CGWindowListCopyWindowInfo(cg::kCGWindowListOptionIncludingWindow, big);
    ASSERT_TRUE(list);
    EXPECT_EQ(list->count(), 1u);
    blank();
    EXPECT_EQ(displayPixel(5, 5), kRed);
    // Other list options than one window answer null.
    EXPECT_FALSE(cg::CGWindowListCreateImage(cg::CGRectNull, cg::kCGWindowListOptionOnScreenOnly, window,
                                             cg::kCGWindowImageDefault));
    EXPECT_FALSE(
        cg::CGWindowListCreateImageFromArray(cg::CGRectNull, {window, big}, cg::kCGWindowImageDefault));
}

} // namespace windowserver
