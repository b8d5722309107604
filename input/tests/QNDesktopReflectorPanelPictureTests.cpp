// The reflector panel's picture: which refreshes mark it stale, how often it is grabbed, the
// cursor drawn over it, and what stays when pictures are missing.
#include "input/tests/ReflectorPanelTestSupport.h"

#include "platform/coregraphics/CGEvent.h"

#include <cmath>
#include <limits>
#include <thread>

namespace {

using input::QNDesktopReflectorPanelWindow;

void movePointer(double x, double y) {
    cg::CGEventPost(cg::kCGHIDEventTap,
                    cg::CGEventCreateMouseEvent(nullptr, cg::kCGEventMouseMoved, cg::CGPointMake(x, y),
                                                cg::kCGMouseButtonLeft));
}

class QNDesktopReflectorPanelPictureTest : public input::testing::ReflectorPanelTest {
  protected:
    // A shown panel, registered, its first picture taken. It is moved onto the main display:
    // drawn on the virtual display, it would refresh what it mirrors.
    std::shared_ptr<QNDesktopReflectorPanelWindow> shownPanel() {
        auto panel = makePanel();
        panel->showWithoutAnimation();
        panel->setFrameOrigin(cg::CGPointMake(0, 0));
        settle(0.04);
        m_kernel->windowServer()->sync();
        settle(0.04);
        return panel;
    }
    // The picture changes over ticks while each millisecond brings refresh (or not).
    int picturesOver(QNDesktopReflectorPanelWindow& panel, double seconds, bool damage) {
        int pictures = 0;
        auto last = panel.imageView()->image();
        const cg::CGRect inside = cg::CGRectMake(1500, 10, 20, 20);
        for (int ms = 0; ms < int(seconds * 1000); ++ms) {
            if (damage) panel.screenRefreshed(1, &inside);
            dispatch::advanceAndRun(platform::seconds(0.001));
            if (panel.imageView()->image() != last) ++pictures;
            last = panel.imageView()->image();
        }
        return pictures;
    }
};

TEST_F(QNDesktopReflectorPanelPictureTest, OnlyRefreshesMeetingTheVirtualDisplayCount) {
    auto panel = shownPanel();
    ASSERT_FALSE(panel->screenRedrawNeeded());
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const cg::CGRect hostile[] = {cg::CGRectMake(nan, 0, 10, 10), cg::CGRectMake(1500, 0, inf, 10),
                                  cg::CGRectMake(1500, 10, 0, 0), cg::CGRectMake(10, 10, 100, 100)};
    panel->screenRefreshed(0, hostile);
    panel->screenRefreshed(4, hostile);
    panel->screenRefreshed(1, nullptr);
    EXPECT_FALSE(panel->screenRedrawNeeded()) << "none of these meets the display";

    const cg::CGRect mixed[] = {cg::CGRectMake(10, 10, 100, 100), cg::CGRectMake(2400, 700, 200, 200)};
    panel->screenRefreshed(2, mixed);
    EXPECT_TRUE(panel->screenRedrawNeeded()) << "every rectangle is visited";
}

TEST_F(QNDesktopReflectorPanelPictureTest, ThePictureIsTheWholeDisplayTakenAtMostThirtyTimesASecond) {
    auto panel = shownPanel();
    auto picture = panel->imageView()->image();
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->size().width, 1024);
    EXPECT_EQ(picture->size().height, 768);
    auto pixels = picture->CGImageForProposedRect(nullptr);
    ASSERT_TRUE(pixels);
    EXPECT_EQ(cg::CGImageGetWidth(pixels), 1024u);

    const int underDamage = picturesOver(*panel, 1.0, true);
    EXPECT_GT(underDamage, 0);
    EXPECT_LE(underDamage, 31);
    settle(0.04); // the last damage's picture
    EXPECT_EQ(picturesOver(*panel, 1.0, false), 0) << "no grab without damage";
}

TEST_F(QNDesktopReflectorPanelPictureTest, RefreshesFromAnotherThreadReachTheNextTick) {
    auto panel = shownPanel();
    auto before = panel->imageView()->image();
    std::thread refresher([panel] {
        const cg::CGRect inside = cg::CGRectMake(1600, 100, 8, 8);
        for (int i = 0; i < 200; ++i)
            panel->screenRefreshed(1, &inside);
    });
    for (int i = 0; i < 20; ++i)
        dispatch::advanceAndRun(platform::seconds(0.005));
    refresher.join();
    settle(0.04);
    EXPECT_NE(panel->imageView()->image(), before);
    EXPECT_FALSE(panel->screenRedrawNeeded());
}

TEST_F(QNDesktopReflectorPanelPictureTest, ACursorOutsideTheDisplayHidesTheCursorView) {
    auto panel = shownPanel();
    movePointer(700, 400); // on the main display
    settle(0.04);
    EXPECT_TRUE(panel->mouseView()->isHidden());

    movePointer(1440 + 512, 384);
    settle(0.04);
    EXPECT_FALSE(panel->mouseView()->isHidden()) << "back at the next tick";
    movePointer(100, 100);
    settle(0.04);
    EXPECT_TRUE(panel->mouseView()->isHidden());
}

TEST_F(QNDesktopReflectorPanelPictureTest, WithoutACursorTheCursorViewHides) {
    auto panel = shownPanel();
    movePointer(1440 + 100, 100);
    cursor.reset();
    settle(0.04);
    EXPECT_TRUE(panel->mouseView()->isHidden());
}

TEST_F(QNDesktopReflectorPanelPictureTest, ARemovedDisplayKeepsThePictureAndHidesTheCursor) {
    auto panel = shownPanel();
    movePointer(1440 + 100, 100);
    settle(0.04);
    ASSERT_FALSE(panel->mouseView()->isHidden());
    auto picture = panel->imageView()->image();
    ASSERT_TRUE(picture);

    disable(0);
    const cg::CGRect inside = cg::CGRectMake(1500, 10, 20, 20);
    panel->screenRefreshed(1, &inside);
    settle(0.1);
    EXPECT_EQ(panel->imageView()->image(), picture) << "the last picture stays";
    EXPECT_TRUE(panel->mouseView()->isHidden());
    EXPECT_TRUE(panel->isVisible());
}

class QNDesktopReflectorPanelRetinaMainTest : public QNDesktopReflectorPanelPictureTest {
  protected:
    windowserver::WindowServerConfig config() override {
        windowserver::WindowServerConfig scaled;
        scaled.mainDisplay.scale = 2;
        return scaled;
    }
};

TEST_F(QNDesktopReflectorPanelRetinaMainTest, TheCursorIsPlacedByTwiceAndFourTimesTheScaledHotSpot) {
    auto panel = shownPanel();
    // The panel keeps its half-size content: k = 512 / 1024.
    ASSERT_EQ(panel->contentView()->frame().size.width, 512);
    movePointer(1440 + 512, 384);
    settle(0.04);
    ASSERT_FALSE(panel->mouseView()->isHidden());
    const cg::CGRect frame = panel->mouseView()->frame();
    const cg::CGSize image = cursor->image()->size();
    // (512, 768 − 384) × 0.5, less (2 × 0.5 × 2, 4 × 0.5 × 3).
    EXPECT_DOUBLE_EQ(frame.origin.x, 256 - 2);
    EXPECT_DOUBLE_EQ(frame.origin.y, 192 - 6);
    EXPECT_DOUBLE_EQ(frame.size.width, image.width * 0.5);
    EXPECT_DOUBLE_EQ(frame.size.height, image.height * 0.5);
    EXPECT_EQ(panel->mouseView()->image(), cursor->image());
}

} // namespace
