// Where windows sit: their screen, centring, the constraint on showing, miniaturize and zoom,
// and the move, resize and change-screen notifications.
#include "platform/appkit/NSScreen.h"
#include "platform/appkit/tests/WindowTestSupport.h"
#include "platform/foundation/NSNotificationCenter.h"

namespace appkit::testing {
namespace {

class NSWindowPlacementTest : public WindowTest {
  protected:
    ns::NSNotificationCenter::ObserverToken watch(const std::shared_ptr<NSWindow>& window) {
        return ns::NSNotificationCenter::defaultCenter().addObserverForName(
            std::nullopt, window.get(),
            [this](const ns::NSNotification& note) { posted.push_back(note.name); });
    }
    std::vector<std::string> posted;
};

TEST_F(NSWindowPlacementTest, CentringUsesTheVisibleFrameAndTheScreenIsTheOneOverlapped) {
    auto window = NSWindow::make(cg::CGRectMake(3000, 3000, 200, 100), NSWindowStyleMaskTitled);
    EXPECT_FALSE(window->screen()) << "off every screen";
    window->center();
    const cg::CGRect visible = NSScreen::mainScreen()->visibleFrame();
    EXPECT_EQ(window->frame().origin.x, (visible.size.width - 200) / 2);
    EXPECT_EQ(window->frame().origin.y, visible.origin.y + (visible.size.height - 122) / 2);
    ASSERT_TRUE(window->screen());
    EXPECT_EQ(window->screen()->displayID(), NSScreen::mainScreen()->displayID());
}

TEST_F(NSWindowPlacementTest, ATitledWindowShownAboveTheMenuBarComesDownBorderlessOnesDoNot) {
    auto titled = NSWindow::make(cg::CGRectMake(100, 850, 200, 100), NSWindowStyleMaskTitled);
    auto borderless = NSWindow::make(cg::CGRectMake(100, 850, 200, 100), NSWindowStyleMaskBorderless);
    titled->orderFront();
    borderless->orderFront();
    const cg::CGRect visible = NSScreen::mainScreen()->visibleFrame();
    EXPECT_EQ(titled->frame().origin.y + titled->frame().size.height, visible.origin.y + visible.size.height);
    EXPECT_EQ(borderless->frame().origin.y, 850);
    // A visible titled window is kept within the visible frame wherever it is put.
    titled->setFrameOrigin(cg::CGPointMake(100, 880));
    EXPECT_EQ(titled->frame().origin.y + titled->frame().size.height, visible.origin.y + visible.size.height);
    borderless->setFrameOrigin(cg::CGPointMake(100, 880));
    EXPECT_EQ(borderless->frame().origin.y, 880);
}

TEST_F(NSWindowPlacementTest, ATitledWindowIsKeptWithinTheVisibleFrameOnEverySide) {
    const cg::CGRect visible = NSScreen::mainScreen()->visibleFrame();
    // Reaching below the screen's bottom and past its right edge: moved up and left.
    auto low =
        NSWindow::make(cg::CGRectMake(visible.size.width - 100, -50, 300, 400), NSWindowStyleMaskTitled);
    low->orderFront();
    EXPECT_EQ(low->frame().origin.y, visible.origin.y);
    EXPECT_EQ(low->frame().origin.x + low->frame().size.width, visible.origin.x + visible.size.width);
    // Shown, then given a frame that leaves the screen at the bottom (a panel put back where it
    // was after a picture taken off the screen): moved up again.
    auto shown = NSWindow::make(cg::CGRectMake(0, 100, 1024, 768), NSWindowStyleMaskTitled);
    shown->orderFront();
    shown->setFrameTopLeftPoint(cg::CGPointMake(0, 768));
    EXPECT_EQ(shown->frame().origin.y, visible.origin.y);
    EXPECT_EQ(shown->frame().size.height, 790);
    // Taller than the visible frame: its top (the title bar) stays reachable.
    auto tall = NSWindow::make(cg::CGRectMake(0, 0, 300, 2000), NSWindowStyleMaskTitled);
    tall->orderFront();
    EXPECT_EQ(tall->frame().origin.y + tall->frame().size.height, visible.origin.y + visible.size.height);
}

TEST_F(NSWindowPlacementTest, MiniaturizeLeavesTheScreenAndZoomToggles) {
    auto window = NSWindow::make(cg::CGRectMake(100, 100, 200, 100), NSWindowStyleMaskTitled);
    window->makeKeyAndOrderFront();
    auto token = watch(window);
    window->performZoom(nullptr);
    EXPECT_TRUE(cg::CGRectEqualToRect(window->frame(), NSScreen::mainScreen()->visibleFrame()));
    window->performZoom(nullptr);
    EXPECT_TRUE(cg::CGRectEqualToRect(window->frame(), cg::CGRectMake(100, 100, 200, 122)));
    window->performMiniaturize(nullptr);
    EXPECT_TRUE(window->isMiniaturized());
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->isKeyWindow());
    EXPECT_NE(std::find(posted.begin(), posted.end(), NSWindowDidMiniaturizeNotification), posted.end());
    ns::NSNotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(NSWindowPlacementTest, MovesResizesAndScreenChangesAreEachPostedOnce) {
    auto window = NSWindow::make(cg::CGRectMake(100, 100, 200, 100), NSWindowStyleMaskBorderless);
    auto token = watch(window);
    window->setFrameOrigin(cg::CGPointMake(120, 100));
    EXPECT_EQ(posted, (std::vector<std::string>{NSWindowDidMoveNotification}));
    posted.clear();
    window->setContentSize(cg::CGSizeMake(300, 100));
    EXPECT_EQ(posted, (std::vector<std::string>{NSWindowDidResizeNotification}));
    posted.clear();
    window->setFrameOrigin(cg::CGPointMake(5000, 0)); // off every screen
    EXPECT_EQ(posted,
              (std::vector<std::string>{NSWindowDidMoveNotification, NSWindowDidChangeScreenNotification}));
    posted.clear();
    window->setFrameOrigin(cg::CGPointMake(100, 100));
    EXPECT_EQ(posted,
              (std::vector<std::string>{NSWindowDidMoveNotification, NSWindowDidChangeScreenNotification}));
    ns::NSNotificationCenter::defaultCenter().removeObserver(token);
}

TEST(NSWindowPlacement, TheTitleSetsTheNarrowestFrameOfTitledWindows) {
    EXPECT_EQ(NSWindow::minFrameWidthWithTitle("Ref", NSWindowStyleMaskTitled), 91);
    EXPECT_EQ(NSWindow::minFrameWidthWithTitle("", 15), 70);
    EXPECT_EQ(NSWindow::minFrameWidthWithTitle("\xc3\xa9t\xc3\xa9", NSWindowStyleMaskTitled), 91)
        << "characters, not bytes";
    EXPECT_EQ(NSWindow::minFrameWidthWithTitle("Ref", NSWindowStyleMaskBorderless), 0);
}

} // namespace
} // namespace appkit::testing
