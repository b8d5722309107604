// Screens over the in-process window server: the cached list and its rebuilds, virtual display
// recognition, names, bounds, backing scale and the HiDPI mode searches.
#include "display/QNBScreen.h"

#include "display/tests/DisplayTestSupport.h"
#include "platform/appkit/NSScreen.h"
#include "platform/coregraphics/testing/FakeWindowServer.h"

#include <atomic>
#include <thread>

namespace display {

namespace {

class QNBScreenTest : public testing::DisplayTest {};

std::vector<CGDirectDisplayID> idsOf(const std::vector<std::shared_ptr<QNBScreen>>& screens) {
    std::vector<CGDirectDisplayID> ids;
    for (const auto& screen : screens)
        ids.push_back(screen->displayID());
    return ids;
}

} // namespace

TEST_F(QNBScreenTest, MainDisplayFirstEvenWhenListedLast) {
    windowserver::WindowServerConfig config;
    config.mainDisplayLast = true;
    boot(config);
    enable(0, {19});
    uint32_t count = 0;
    std::vector<cg::CGDirectDisplayID> listed(4);
    cg::CGGetActiveDisplayList(4, listed.data(), &count);
    ASSERT_EQ(count, 2u);
    ASSERT_EQ(listed[0], 0x100u); // the window server lists the main display last
    EXPECT_EQ(idsOf(QNBScreen::screens()), (std::vector<CGDirectDisplayID>{1, 0x100}));
    EXPECT_EQ(QNBScreen::zeroScreenHeight(), 900);
}

TEST_F(QNBScreenTest, IdentityAcrossAnUnplug) {
    enable(0, {19});
    enable(1, {1});
    enable(2, {34});
    const auto before = QNBScreen::screens();
    ASSERT_EQ(idsOf(before), (std::vector<CGDirectDisplayID>{1, 0x100, 0x101, 0x102}));
    EXPECT_EQ(before[3]->framebufferIndex(), 2);
    EXPECT_EQ(before[0]->framebufferIndex(), -1);

    disable(1);
    const auto after = QNBScreen::screens();
    ASSERT_EQ(idsOf(after), (std::vector<CGDirectDisplayID>{1, 0x100, 0x102}));
    EXPECT_EQ(after[0], before[0]);
    EXPECT_EQ(after[1], before[1]);
    EXPECT_EQ(after[2], before[3]);
    EXPECT_EQ(after[2]->framebufferIndex(), 2);

    // Back again: a new object at the end, the others kept.
    enable(1, {1});
    const auto again = QNBScreen::screens();
    ASSERT_EQ(again.size(), 4u);
    EXPECT_EQ(again[2], before[3]);
    EXPECT_EQ(again[3]->displayID(), 0x101u);
    EXPECT_EQ(again[3]->framebufferIndex(), 1);
}

// Every caller gets its own copy of the list, so a rebuild on another thread never pulls the
// array from under it.
TEST_F(QNBScreenTest, FourThreadsWhileDisplaysComeAndGo) {
    enable(0, {19});
    std::atomic<bool> stop{false};
    std::atomic<int> rounds{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t)
        readers.emplace_back([&] {
            while (!stop) {
                for (const auto& screen : QNBScreen::screens()) {
                    EXPECT_NE(screen->displayID(), 0u);
                    screen->framebufferIndex();
                }
                ++rounds;
            }
        });
    for (int i = 0; i < 12; ++i) {
        enable(1 + i % 3, {1});
        if (i > 0) disable(1 + (i + 2) % 3); // the one enabled a round before
    }
    while (rounds < 40)
        std::this_thread::yield();
    stop = true;
    for (auto& reader : readers)
        reader.join();
    EXPECT_GE(QNBScreen::screens().size(), 2u);
}

TEST_F(QNBScreenTest, VirtualDisplaysAndTheirNames) {
    enable(2, {19});
    EXPECT_EQ(QNBScreen::framebufferIndexForDisplayID(0x102), 2);
    EXPECT_EQ(QNBScreen::framebufferIndexForDisplayID(1), -1);
    EXPECT_EQ(QNBScreen::framebufferIndexForDisplayID(0x999), -1);
    EXPECT_EQ(QNBScreen::userDescriptionForDisplayID(0x102), "Tessel");
    EXPECT_EQ(QNBScreen::userDescriptionForDisplayID(1), "Built-in Display");
    EXPECT_EQ(QNBScreen::userDescriptionForDisplayID(0x999), "Unknown Display");
    EXPECT_EQ(QNBScreen::copyDisplayNameForDisplayID(0x102), "Tessel");
    EXPECT_FALSE(QNBScreen::copyDisplayNameForDisplayID(0x999));
    QNBScreen screen(0x102);
    EXPECT_EQ(screen.userDescription(), "Tessel");
    EXPECT_EQ(QNBScreen(0x999).userDescription(), "Unknown Display");
    EXPECT_EQ(QNBScreen().framebufferIndex(), -1);
    EXPECT_EQ(QNBScreen::classFramebufferIndex(), -1);
    const std::string text = screen.description();
    EXPECT_EQ(text.rfind("<QNBScreen: 0x", 0), 0u) << text;
    EXPECT_NE(
        text.find("; framebuffer-index=2; display-id=258 frame={{1440, 100}, {1280, 800}}; scale=1.000000>"),
        std::string::npos)
        << text;

    auto description = QNBScreen::deviceDescriptionForDisplayID(0x102);
    ASSERT_TRUE(description);
    EXPECT_EQ(description->find("NSScreenNumber")->intValue(), 0x102);
    EXPECT_FALSE(QNBScreen::deviceDescriptionForDisplayID(0x999));
    for (const auto& nsScreen : appkit::NSScreen::screens()) {
        if (nsScreen->displayID() == 0x102) {
            EXPECT_EQ(QNBScreen::userDescriptionForScreen(nsScreen), "Tessel");
        }
    }
    EXPECT_FALSE(QNBScreen::userDescriptionForScreen(nullptr));

    // A display that left keeps its identity: the remove pass still names it.
    disable(2);
    EXPECT_EQ(QNBScreen::userDescriptionForDisplayID(0x102), "Tessel");
}

TEST_F(QNBScreenTest, BoundsAndFrames) {
    enable(0, {19});
    QNBScreen screen(0x100);
    EXPECT_TRUE(cg::CGRectEqualToRect(screen.normalizedDisplayBounds(), cg::CGRectMake(1440, 0, 1280, 800)));
    // Cocoa space: 900 − (0 + 800).
    EXPECT_TRUE(cg::CGRectEqualToRect(screen.frame(), cg::CGRectMake(1440, 100, 1280, 800)));
    EXPECT_TRUE(cg::CGRectEqualToRect(QNBScreen(1).frame(), cg::CGRectMake(0, 0, 1440, 900)));
    EXPECT_EQ(screen.displaySizeInPixels().width, 1280);
    EXPECT_EQ(screen.scale(), 1.0);
    ASSERT_EQ(screen.arrayOfScreenBounds().size(), 1u);
    EXPECT_TRUE(cg::CGRectEqualToRect(screen.arrayOfScreenBounds()[0], cg::CGRectMake(0, 0, 1280, 800)));
    EXPECT_TRUE(cg::CGRectEqualToRect(QNBScreen::scaleCorrectedDisplayBoundsForDisplayID(0), cg::CGRectZero));
    cg::CGRect bounds = cg::CGRectMake(1, 2, 3, 4);
    GetCGSScreenBounds(0x999, &bounds);
    EXPECT_TRUE(cg::CGRectEqualToRect(bounds, cg::CGRectZero));
}

TEST_F(QNBScreenTest, ScaleFollowsTheTwinAndTheRetinaSwitch) {
    boot(hiDPIOn());
    enable(0, {38});
    ASSERT_TRUE(configureMode(0x100, 1280, 800, 2.0));
    EXPECT_EQ(QNBScreen::scaleForDisplayID(0x100), 2.0);
    EXPECT_TRUE(cg::CGRectEqualToRect(QNBScreen::scaleCorrectedDisplayBoundsForDisplayID(0x100),
                                      cg::CGRectMake(1440, 0, 2560, 1600)));
    EXPECT_TRUE(QNBScreen::hiDPIForDevice(0x100));

    setTransmitsRetinaGraphics(false);
    EXPECT_EQ(QNBScreen::scaleForDisplayID(0x100), 1.0);
    EXPECT_TRUE(cg::CGRectEqualToRect(QNBScreen::scaleCorrectedDisplayBoundsForDisplayID(0x100),
                                      cg::CGRectMake(1440, 0, 1280, 800)));
    setTransmitsRetinaGraphics(true);
    EXPECT_EQ(QNBScreen::scaleForDisplayID(0x999), 1.0);
}

// A 1x mode whose point size has a twin elsewhere in the list is not HiDPI: the pixel size
// decides.
TEST_F(QNBScreenTest, HiDPIModesAndTheCurrentPixelSize) {
    boot(hiDPIOn());
    enable(0, {19, 38});
    auto modes = QNBScreen::modesForDisplayID(0x100, true, true);
    ASSERT_TRUE(modes);
    std::vector<std::tuple<int, int, double>> listed;
    for (const auto& mode : *modes)
        listed.emplace_back(mode.find(kModeWidthKey)->intValue(), mode.find(kModeHeightKey)->intValue(),
                            mode.find(kModeResolutionKey)->doubleValue());
    // The 1x 1280 by 800 is listed once, as the twin of 2560 by 1600.
    EXPECT_EQ(listed, (std::vector<std::tuple<int, int, double>>{
                          {2560, 1600, 1.0}, {1280, 800, 2.0}, {640, 400, 2.0}}));

    EXPECT_FALSE(QNBScreen::isHiDPIDisplay(0x100)); // current: the 1x 1280 by 800
    EXPECT_FALSE(QNBScreen::hiDPIForDevice(0x100));
    EXPECT_EQ(QNBScreen::findBestModeForDisplayID(0x100)->find(kModeWidthKey)->intValue(), 2560);
    auto best = QNBScreen::findBestHiDPIModeForDisplayID(0x100);
    ASSERT_TRUE(best);
    EXPECT_EQ(best->find(kModeWidthKey)->intValue(), 1280);
    EXPECT_EQ(best->find(kModePixelsWideKey)->intValue(), 2560);

    ASSERT_TRUE(configureMode(0x100, 1280, 800, 2.0));
    EXPECT_TRUE(QNBScreen::isHiDPIDisplay(0x100));
    EXPECT_FALSE(QNBScreen::isHiDPIDisplay(0));
    EXPECT_FALSE(QNBScreen::modesForDisplayID(0x999, true, true));
    EXPECT_FALSE(QNBScreen::findBestModeForDisplayID(0x999));
}

// Bounds and scale are read again only when the display-mapping seed moved: the refresh road
// asks for them at every refresh of every session. An unreadable seed (0) and another window
// server are never trusted.
TEST(QNBScreenGeometry, ReadAgainOnlyWhenTheSeedMovesOrTheWindowServerChanges) {
    auto serveDisplay = [](cg::testing::ScopedFakeWindowServer& fake, uint32_t* seed, double* x) {
        fake->answer("ws.seed", [seed](const cf::Value&) {
            return std::optional<cf::Value>(cf::Dictionary{{"seed", int64_t(*seed)}});
        });
        fake->answer("ws.display", [x](const cf::Value&) {
            return std::optional<cf::Value>(cf::Dictionary{
                {"display",
                 cf::Dictionary{
                     {"online", true}, {"x", *x}, {"y", 0.0}, {"width", 800.0}, {"height", 600.0}}}});
        });
    };
    uint32_t seed = 5;
    double x = 1440;
    {
        cg::testing::ScopedFakeWindowServer fake;
        serveDisplay(fake, &seed, &x);
        EXPECT_EQ(QNBScreen::normalizedDisplayBoundsForDisplayID(0x100).origin.x, 1440);
        EXPECT_EQ(QNBScreen::scaleCorrectedDisplayBoundsForDisplayID(0x100).size.width, 800);
        EXPECT_EQ(QNBScreen::scaleForDisplayID(0x100), 1.0);
        EXPECT_EQ(fake->requests("ws.display"), 1u);

        x = 2000, seed = 6; // a reconfiguration moved the display
        EXPECT_EQ(QNBScreen::normalizedDisplayBoundsForDisplayID(0x100).origin.x, 2000);
        EXPECT_EQ(fake->requests("ws.display"), 2u);

        seed = 0; // unreadable: every call reads
        QNBScreen::normalizedDisplayBoundsForDisplayID(0x100);
        QNBScreen::normalizedDisplayBoundsForDisplayID(0x100);
        EXPECT_EQ(fake->requests("ws.display"), 4u);
        seed = 6;
    }
    cg::testing::ScopedFakeWindowServer other; // the same seed from another window server
    x = 3000;
    serveDisplay(other, &seed, &x);
    EXPECT_EQ(QNBScreen::normalizedDisplayBoundsForDisplayID(0x100).origin.x, 3000);
}

} // namespace display
