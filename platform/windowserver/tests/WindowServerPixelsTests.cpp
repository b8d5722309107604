// The window server's pixels, in-process with the fake clock: composition order and alpha at
// the vertical blank, test windows owned by their connection, padded display images, and
// hostile hook arguments.
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGDisplayImage.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "platform/coregraphics/DisplayImageClient.h"
#include "platform/iokit/InProcessKernel.h"
#include "platform/kernel/Kernel.h"
#include "platform/windowserver/WindowServer.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include "SmallDesktop.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace windowserver {

using testing::kBackground;
using testing::smallMain;

class WindowServerPixels : public testing::SmallDesktopTest {
  protected:
    std::optional<cf::Value> ask(std::string_view op, cf::Dictionary args, uint32_t cid = 0) {
        return m_server->serveAndWait(cid ? cid : m_cid, op, cf::Value(std::move(args)));
    }
    std::optional<cf::Value> drawRect(const char* name, int layer, double x, double y, double w, double h,
                                      const char* pattern, int64_t value, uint32_t cid = 0) {
        return ask(op::draw,
                   {{"name", name},
                    {"layer", layer},
                    {"x", x},
                    {"y", y},
                    {"width", w},
                    {"height", h},
                    {"pattern", pattern},
                    {"value", value}},
                   cid);
    }
    static uint32_t pixel(const cg::CGImageRef& image, size_t x, size_t y) {
        uint32_t p;
        std::memcpy(&p, cg::CGImageGetBytePtr(image) + y * cg::CGImageGetBytesPerRow(image) + x * 4, 4);
        return p;
    }
};

TEST_F(WindowServerPixels, ADisplayIsComposedWholeWithTheBackgroundInPaddedRows) {
    blank();
    auto image = m_server->displayImage(WindowServer::kMainDisplayID, nullptr);
    ASSERT_TRUE(image);
    EXPECT_EQ(cg::CGImageGetWidth(image), 64u);
    EXPECT_EQ(cg::CGImageGetHeight(image), 48u);
    EXPECT_EQ(cg::CGImageGetBytesPerRow(image), 256u + 64u); // round_up(4w, 64) + 64: always padded
    EXPECT_EQ(pixel(image, 0, 0), kBackground);
    EXPECT_EQ(pixel(image, 63, 47), kBackground);
    EXPECT_FALSE(m_server->displayImage(0x4242, nullptr));
    auto counters = m_server->pixelCounters(WindowServer::kMainDisplayID);
    ASSERT_TRUE(counters);
    EXPECT_EQ(counters->compositions, 1u);
    EXPECT_EQ(counters->grabs, 1u);
    EXPECT_GT(counters->composedAt, 0);
}

TEST_F(WindowServerPixels, WindowsAreComposedBackToFrontWithTheirAlphaAtTheNextBlank) {
    blank();
    ASSERT_TRUE(drawRect("back", 0, 0, 0, 32, 24, "solid", 0xFF0000));
    ASSERT_TRUE(drawRect("front", 1, 16, 12, 32, 24, "solid", 0x0000FF));
    // Nothing is composed before the vertical blank.
    auto before = m_server->displayImage(WindowServer::kMainDisplayID, nullptr);
    EXPECT_EQ(pixel(before, 5, 5), kBackground);
    blank();
    auto image = m_server->displayImage(WindowServer::kMainDisplayID, nullptr);
    EXPECT_EQ(pixel(image, 5, 5), 0xFFFF0000u);
    EXPECT_EQ(pixel(image, 20, 15), 0xFF0000FFu); // the front window covers the back one
    EXPECT_EQ(pixel(image, 60, 40), kBackground);

    // Premultiplied pixels at half alpha blend over the red window (source-over).
    cf::Bytes half;
    for (int i = 0; i < 8 * 8; ++i)
        half.insert(half.end(), {0x80, 0x00, 0x00, 0x80}); // half-covering blue
    auto glass = [&](const cf::Bytes& pixels) {
        return ask(op::draw, {{"name", "glass"},
                              {"layer", 2},
                              {"x", 0},
                              {"y", 0},
                              {"width", 8},
                              {"height", 8},
                              {"pattern", "pixels"},
                              {"value", 0},
                              {"pixels", cf::Value(pixels)}});
    };
    ASSERT_TRUE(glass(half));
    EXPECT_FALSE(glass(cf::Bytes(half.begin(), half.end() - 1))); // wrongly sized
    cf::Bytes straight(8 * 8 * 4, 0xFF);
    straight[3] = 0x10; // a component above its alpha
    EXPECT_FALSE(glass(straight));
    blank();
    image = m_server->displayImage(WindowServer::kMainDisplayID, nullptr);
    uint32_t p = pixel(image, 4, 4);
    EXPECT_EQ(p >> 24, 0xFFu);
    EXPECT_NEAR(double((p >> 16) & 0xFF), 127, 2);
    EXPECT_NEAR(double(p & 0xFF), 128, 2);
    EXPECT_EQ(pixel(image, 20, 15), 0xFF0000FFu);
    // A part image: display-local points, clipped at the display's end.
    cg::CGRect r = cg::CGRectMake(60, 44, 10, 10);
    auto part = m_server->displayImage(WindowServer::kMainDisplayID, &r);
    ASSERT_TRUE(part);
    EXPECT_EQ(cg::CGImageGetWidth(part), 4u);
    EXPECT_EQ(cg::CGImageGetHeight(part), 4u);
    r = cg::CGRectMake(100, 100, 4, 4);
    EXPECT_FALSE(m_server->displayImage(WindowServer::kMainDisplayID, &r));
}

// Opaque windows are copied and hide what lies behind them; the result must be what blending
// every window back to front gives.
TEST_F(WindowServerPixels, OpaqueWindowsHideWhatIsBehindThemAsBlendingWould) {
    blank();
    ASSERT_TRUE(drawRect("back", 0, 0, 0, 64, 48, "photo", 7));
    cf::Bytes half;
    for (int i = 0; i < 32 * 24; ++i)
        half.insert(half.end(), {0x80, 0x00, 0x00, 0x80}); // half-covering blue
    ASSERT_TRUE(ask(op::draw, {{"name", "glass"},
                               {"layer", 1},
                               {"x", 8},
                               {"y", 8},
                               {"width", 32},
                               {"height", 24},
                               {"pattern", "pixels"},
                               {"value", 0},
                               {"pixels", cf::Value(half)}}));
    ASSERT_TRUE(drawRect("front", 2, 24, 16, 32, 24, "solid", 0x00FF00));
    blank();
    auto all = m_server->displayImage(WindowServer::kMainDisplayID, nullptr);
    // The photo alone, as the reference for the glass's blend.
    ASSERT_TRUE(ask(op::erase, {{"name", "glass"}}));
    ASSERT_TRUE(ask(op::erase, {{"name", "front"}}));
    blank();
    auto photo = m_server->displayImage(WindowServer::kMainDisplayID, nullptr);
    for (size_t y = 0; y < 48; y += 3)
        for (size_t x = 0; x < 64; x += 3) {
            uint32_t p = pixel(all, x, y), under = pixel(photo, x, y);
            EXPECT_EQ(p >> 24, 0xFFu);
            if (x >= 24 && x < 56 && y >= 16 && y < 40) {
                EXPECT_EQ(p, 0xFF00FF00u) << x << "," << y;
            } else if (x >= 8 && x < 40 && y >= 8 && y < 32) {
                auto over = [&](int shift, int add) {
                    return (int((under >> shift) & 0xFF) * 0x7F + 127) / 255 + add;
                };
                EXPECT_NEAR(double((p >> 16) & 0xFF), over(16, 0), 1) << x << "," << y;
                EXPECT_NEAR(double(p & 0xFF), over(0, 0x80), 1) << x << "," << y;
            } else {
                EXPECT_EQ(p, under) << x << "," << y;
            }
        }
    // Nothing of the desktop shows under the display-sized photo.
    EXPECT_NE(pixel(photo, 0, 0), kBackground);
}

TEST_F(WindowServerPixels, BlocksLieOnThePixelGridAndEraseRestoresTheBackground) {
    ASSERT_TRUE(
        ask(op::draw,
            {{"display", int64_t(WindowServer::kMainDisplayID)}, {"pattern", "blocks"}, {"value", 16}}));
    blank();
    auto image = m_server->displayImage(WindowServer::kMainDisplayID, nullptr);
    for (size_t by = 0; by < 3; ++by)
        for (size_t bx = 0; bx < 4; ++bx) {
            uint32_t c = pixel(image, bx * 16, by * 16);
            for (size_t y = 0; y < 16; y += 5)
                for (size_t x = 0; x < 16; x += 5)
                    EXPECT_EQ(pixel(image, bx * 16 + x, by * 16 + y), c);
        }
    EXPECT_NE(pixel(image, 0, 0), pixel(image, 16, 0));
    ASSERT_TRUE(ask(op::erase, {}));
    blank();
    EXPECT_EQ(pixel(m_server->displayImage(WindowServer::kMainDisplayID, nullptr), 20, 20), kBackground);
}

TEST_F(WindowServerPixels, TestWindowsDieWithTheirConnection) {
    uint32_t other = m_server->connect({4343, "Other", "com.example.other"}, [](const cf::Value&) {});
    ASSERT_TRUE(drawRect("test", 0, 0, 0, 64, 48, "solid", 0x00FF00, other));
    blank();
    EXPECT_EQ(pixel(m_server->displayImage(WindowServer::kMainDisplayID, nullptr), 1, 1), 0xFF00FF00u);
    // Another connection's erase leaves it alone.
    ASSERT_TRUE(ask(op::erase, {}));
    blank();
    EXPECT_EQ(pixel(m_server->displayImage(WindowServer::kMainDisplayID, nullptr), 1, 1), 0xFF00FF00u);
    m_server->disconnect(other);
    blank();
    EXPECT_EQ(pixel(m_server->displayImage(WindowServer::kMainDisplayID, nullptr), 1, 1), kBackground);
}

TEST_F(WindowServerPixels, HostileHooksAreRefusedAndChangeNothing) {
    blank();
    EXPECT_FALSE(ask(op::draw, {{"display", 0x4242}, {"pattern", "solid"}, {"value", 0}}));
    EXPECT_FALSE(drawRect("t", 0, NAN, 0, 4, 4, "solid", 0));
    EXPECT_FALSE(drawRect("t", 0, 0, 0, -4, 4, "solid", 0));
    EXPECT_FALSE(drawRect("t", 0, 0, 0, 1e5, 4, "solid", 0));
    EXPECT_FALSE(drawRect("t", 0, 500, 500, 4, 4, "solid", 0)); // on no display
    EXPECT_FALSE(drawRect("t", 0, 0, 0, 4, 4, "blocks", 0));
    EXPECT_FALSE(drawRect("t", 0, 0, 0, 4, 4, "sparkles", 1));
    blank();
    auto counters = m_server->pixelCounters(WindowServer::kMainDisplayID);
    EXPECT_EQ(counters->compositions, 1u);
    EXPECT_EQ(pixel(m_server->displayImage(WindowServer::kMainDisplayID, nullptr), 1, 1), kBackground);
}

// The facade's display images answer the in-process window server's composed pixels, through
// the provider the in-process kernel installs with the window server.
TEST(WindowServerPixelsInProcess, CGDisplayCreateImageAnswersTheComposedDisplay) {
    platform::installFakeClock();
    platform::LogCapture log{true};
    iokit::InProcessKernelOptions options;
    options.windowServerConfig = smallMain();
    auto kernel = std::make_shared<iokit::InProcessKernel>(std::move(options));
    kernel->install();
    WindowServer& server = *kernel->windowServer();
    auto cid = server.connect({4242, "Test", ""}, [](const cf::Value&) {});
    ASSERT_TRUE(server.serveAndWait(
        cid, op::draw,
        cf::Value(cf::Dictionary{
            {"x", 8}, {"y", 8}, {"width", 8}, {"height", 8}, {"pattern", "solid"}, {"value", 0x102030}})));
    platform::installFakeClock().advance(platform::seconds(0.017));
    server.sync();
    auto image = cg::CGDisplayCreateImage(WindowServer::kMainDisplayID);
    ASSERT_TRUE(image);
    EXPECT_EQ(cg::CGImageGetWidth(image), 64u);
    uint32_t p;
    std::memcpy(&p, cg::CGImageGetBytePtr(image) + 9 * cg::CGImageGetBytesPerRow(image) + 9 * 4, 4);
    EXPECT_EQ(p, 0xFF102030u);
    auto part = cg::CGDisplayCreateImageForRect(WindowServer::kMainDisplayID, cg::CGRectMake(8, 8, 8, 8));
    ASSERT_TRUE(part);
    std::memcpy(&p, cg::CGImageGetBytePtr(part), 4);
    EXPECT_EQ(p, 0xFF102030u);
    EXPECT_FALSE(cg::CGDisplayCreateImage(0x4242));
    kernel->shutdown();
    EXPECT_FALSE(cg::CGDisplayCreateImage(WindowServer::kMainDisplayID)); // no window server answers
}

// Memory that can still be written, or is shorter than it claims, is never taken for an image.
TEST(WindowServerPixelsInProcess, UnsealedOrShortMemoryIsRefused) {
    platform::LogCapture log{true};
    int fd = ::memfd_create("test", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 320 * 4), 0);
    EXPECT_FALSE(cg::CGImageCreateWithSealedMemory(fd, 64, 4, 320)); // writable
    ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE);
    EXPECT_TRUE(cg::CGImageCreateWithSealedMemory(fd, 64, 4, 320));
    EXPECT_FALSE(cg::CGImageCreateWithSealedMemory(fd, 64, 5, 320)); // short
    EXPECT_FALSE(cg::CGImageCreateWithSealedMemory(fd, 64, 4, 200)); // rows under 4 x width
    ::close(fd);
}

} // namespace windowserver
