// Windows on an in-process window server: registration and the application's list, drawing
// before a window shows, key and main rules, frames with the title bar, resizing with a new
// backing store, and dirty views redrawn once per main-loop turn.
#include "platform/appkit/NSColor.h"
#include "platform/appkit/NSGraphicsContext.h"
#include "platform/appkit/NSScreen.h"
#include "platform/coregraphics/CGWindow.h"
#include "platform/foundation/NSNotificationCenter.h"

#include "WindowTestSupport.h"

#include <algorithm>

namespace appkit {

using testing::kRed;
using testing::kWindowGrey;
using testing::SolidView;

class NSWindowTest : public testing::WindowTest {};

TEST_F(NSWindowTest, WindowsRegisterAtCreationAndAreListedInCreationOrder) {
    auto first = NSWindow::make(cg::CGRectMake(100, 200, 300, 150), NSWindowStyleMaskTitled);
    auto second = NSWindow::make<NSPanel>(cg::CGRectMake(0, 0, 50, 40), NSWindowStyleMaskBorderless);
    ASSERT_NE(first->windowNumber(), 0u);
    EXPECT_NE(second->windowNumber(), first->windowNumber());
    auto windows = NSApp()->windows();
    ASSERT_EQ(windows.size(), 2u);
    EXPECT_EQ(windows[0], first);
    EXPECT_EQ(windows[1], std::static_pointer_cast<NSWindow>(second));

    // A titled window's frame holds its 22-point title bar above the content.
    EXPECT_TRUE(cg::CGRectEqualToRect(first->frame(), cg::CGRectMake(100, 200, 300, 172)));
    EXPECT_TRUE(cg::CGRectEqualToRect(first->contentView()->frame(), cg::CGRectMake(0, 0, 300, 150)));
    first->setTitle("Hello");
    auto list = cg::CGWindowListCopyWindowInfo(cg::kCGWindowListOptionIncludingWindow, first->windowNumber());
    ASSERT_TRUE(list && list->count() == 1);
    cg::CGRect bounds;
    ASSERT_TRUE(cg::CGRectMakeWithDictionaryRepresentation(list->at(0)->find(cg::kCGWindowBounds), &bounds));
    // Core Graphics space: y = H − (y + height).
    EXPECT_TRUE(cg::CGRectEqualToRect(bounds, cg::CGRectMake(100, 900 - 372, 300, 172)));
    EXPECT_EQ(*list->at(0)->find(cg::kCGWindowName)->asString(), "Hello");
    EXPECT_FALSE(list->at(0)->find(cg::kCGWindowIsOnscreen));

    second->close();
    EXPECT_EQ(NSApp()->windows().size(), 1u);

    // Kept by its owner and shown again, a closed panel is one of the windows once more.
    second->makeKeyAndOrderFront();
    windows = NSApp()->windows();
    ASSERT_EQ(windows.size(), 2u);
    EXPECT_EQ(windows[1], std::static_pointer_cast<NSWindow>(second));
    second->orderFront();
    EXPECT_EQ(NSApp()->windows().size(), 2u);
}

TEST_F(NSWindowTest, AWindowIsDrawnAndFlushedBeforeMakeKeyAndOrderFrontReturns) {
    auto window = NSWindow::make(cg::CGRectMake(10, 10, 40, 30), NSWindowStyleMaskTitled);
    window->contentView()->addSubview(std::make_shared<SolidView>(cg::CGRectMake(0, 0, 20, 30), 1, 0, 0));
    window->makeKeyAndOrderFront(); // no main-loop turn in between
    auto image = picture(*window);
    ASSERT_TRUE(image);
    EXPECT_EQ(cg::CGImageGetWidth(image), 40u);
    EXPECT_EQ(cg::CGImageGetHeight(image), 52u);
    EXPECT_EQ(pixel(image, 5, 40), kRed);         // the subview, at the content's bottom-left
    EXPECT_EQ(pixel(image, 30, 40), kWindowGrey); // the background beside it
    EXPECT_NE(pixel(image, 30, 5), kWindowGrey);  // the title bar
    EXPECT_TRUE(window->isVisible());
    auto list =
        cg::CGWindowListCopyWindowInfo(cg::kCGWindowListOptionIncludingWindow, window->windowNumber());
    ASSERT_TRUE(list && list->count() == 1);
    EXPECT_TRUE(list->at(0)->find(cg::kCGWindowIsOnscreen));
}

TEST_F(NSWindowTest, ATitledWindowDrawsItsStylesButtonsWhereTheTreeHasThemAndItsTitleCentred) {
    auto all = NSWindow::make(cg::CGRectMake(10, 10, 300, 60),
                              NSWindowStyleMaskTitled | NSWindowStyleMaskClosable |
                                  NSWindowStyleMaskMiniaturizable | NSWindowStyleMaskResizable);
    auto closable =
        NSWindow::make(cg::CGRectMake(10, 10, 300, 60), NSWindowStyleMaskTitled | NSWindowStyleMaskClosable);
    all->setTitle("Preferences");
    closable->setTitle("Preferences");
    all->orderFront();
    closable->orderFront();
    // Each button's centre, in points from the top-left: 7 points in, then 20 apart.
    auto centre = [](const NSWindow& w, int button) {
        return pixel(picture(w), size_t(kNSTitleBarButtonLeft + 7 + 20 * button),
                     size_t(kNSTitleBarHeight / 2));
    };
    auto coloured = [](uint32_t p) {
        const int r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
        return std::max({r, g, b}) - std::min({r, g, b}) > 60;
    };
    for (int button : {0, 1, 2})
        EXPECT_TRUE(coloured(centre(*all, button))) << button << std::hex << " " << centre(*all, button);
    EXPECT_TRUE(coloured(centre(*closable, 0)));
    EXPECT_FALSE(coloured(centre(*closable, 1))) << "no minimise button without its style bit";
    EXPECT_FALSE(coloured(centre(*closable, 2))) << "no zoom button without its style bit";
    // The title's ink lies about the bar's centre, none of it near the right end.
    auto image = picture(*all);
    double inkX = 0, inkCount = 0;
    for (size_t x = 70; x < 300; ++x)
        for (size_t y = 4; y < 18; ++y)
            if ((pixel(image, x, y) & 0xFF) < 0x80) inkX += double(x), ++inkCount;
    ASSERT_GT(inkCount, 10) << "the title is drawn";
    EXPECT_NEAR(inkX / inkCount, 150, 12);
}

// A view drawing with AppKit's own calls, which go through the current graphics context.
class AppKitFilledView : public NSView {
  public:
    using NSView::NSView;
    void drawRect(cg::CGRect) override {
        NSColor::colorWithCalibratedRed(1, 0, 0, 1)->set();
        NSRectFill(bounds());
    }
};

TEST_F(NSWindowTest, AViewsAppKitDrawingReachesTheWindowsStore) {
    auto window = NSWindow::make(cg::CGRectMake(10, 10, 40, 30), NSWindowStyleMaskTitled);
    window->contentView()->addSubview(std::make_shared<AppKitFilledView>(cg::CGRectMake(0, 0, 20, 30)));
    EXPECT_FALSE(NSGraphicsContext::currentContext());
    window->makeKeyAndOrderFront();
    EXPECT_FALSE(NSGraphicsContext::currentContext()) << "the drawing context is the view's only while it draws";
    auto image = picture(*window);
    ASSERT_TRUE(image);
    EXPECT_EQ(pixel(image, 5, 40), kRed);
    EXPECT_EQ(pixel(image, 30, 40), kWindowGrey);
}

TEST_F(NSWindowTest, KeyAndMainFollowTheStyleAndOrderingOutResignsBoth) {
    int becameKey = 0, resignedKey = 0;
    auto& centre = ns::NSNotificationCenter::defaultCenter();
    auto keyToken = centre.addObserverForName(NSWindowDidBecomeKeyNotification, nullptr,
                                              [&](const ns::NSNotification&) { ++becameKey; });
    auto resignToken = centre.addObserverForName(NSWindowDidResignKeyNotification, nullptr,
                                                 [&](const ns::NSNotification&) { ++resignedKey; });
    auto titled = NSWindow::make(cg::CGRectMake(0, 0, 100, 100), NSWindowStyleMaskTitled);
    auto panel = NSWindow::make<NSPanel>(cg::CGRectMake(0, 0, 100, 100), NSWindowStyleMaskTitled);
    auto borderless = NSWindow::make(cg::CGRectMake(0, 0, 100, 100), NSWindowStyleMaskBorderless);

    titled->makeKeyAndOrderFront();
    EXPECT_TRUE(titled->isKeyWindow());
    EXPECT_TRUE(titled->isMainWindow());
    panel->makeKeyAndOrderFront();
    EXPECT_TRUE(panel->isKeyWindow());
    EXPECT_FALSE(titled->isKeyWindow());
    EXPECT_FALSE(panel->isMainWindow()); // panels never become main
    EXPECT_TRUE(titled->isMainWindow());
    borderless->makeKeyAndOrderFront();
    EXPECT_TRUE(panel->isKeyWindow()); // borderless windows never become key
    EXPECT_TRUE(borderless->isVisible());
    EXPECT_EQ(becameKey, 2);
    EXPECT_EQ(resignedKey, 1);

    panel->orderOut();
    EXPECT_FALSE(NSApp()->keyWindow());
    EXPECT_EQ(resignedKey, 2);
    titled->orderOut();
    EXPECT_FALSE(NSApp()->mainWindow());
    centre.removeObserver(keyToken);
    centre.removeObserver(resignToken);
}

TEST_F(NSWindowTest, ResizingGivesANewStoreDrawnAgainAndKeepsTheTopLeftForContentSizes) {
    auto window = NSWindow::make(cg::CGRectMake(0, 0, 40, 40), NSWindowStyleMaskBorderless);
    auto view = std::make_shared<SolidView>(cg::CGRectMake(0, 0, 40, 40), 1, 0, 0);
    view->setAutoresizingMask(NSViewWidthSizable | NSViewHeightSizable);
    window->contentView()->addSubview(view);
    window->orderFront();
    window->setFrame(cg::CGRectMake(0, 0, 80, 60), true);
    EXPECT_TRUE(cg::CGRectEqualToRect(view->frame(), cg::CGRectMake(0, 0, 80, 60)));
    auto image = picture(*window);
    ASSERT_TRUE(image);
    EXPECT_EQ(cg::CGImageGetWidth(image), 80u);
    EXPECT_EQ(pixel(image, 79, 59), kRed); // drawn again before setFrame:display: returned

    window->setContentSize(cg::CGSizeMake(20, 20));
    EXPECT_TRUE(cg::CGRectEqualToRect(window->frame(), cg::CGRectMake(0, 40, 20, 20)));
    window->setFrameTopLeftPoint(cg::CGPointMake(5, 100));
    EXPECT_TRUE(cg::CGRectEqualToRect(window->frame(), cg::CGRectMake(5, 80, 20, 20)));
    // Not finite: refused, logged, nothing changes.
    window->setFrame(cg::CGRectMake(std::nan(""), 0, 10, 10), true);
    EXPECT_TRUE(cg::CGRectEqualToRect(window->frame(), cg::CGRectMake(5, 80, 20, 20)));
    EXPECT_TRUE(m_log.contains("not finite"));
}

TEST_F(NSWindowTest, DirtyViewsAreRedrawnOncePerMainLoopTurn) {
    auto window = NSWindow::make(cg::CGRectMake(0, 0, 40, 40), NSWindowStyleMaskBorderless);
    auto view = std::make_shared<SolidView>(cg::CGRectMake(0, 0, 40, 40), 0, 0, 1);
    window->contentView()->addSubview(view);
    window->orderFront();
    ASSERT_EQ(view->draws, 1);
    turn();
    EXPECT_EQ(view->draws, 1); // nothing dirty, nothing drawn

    view->fill = cg::CGRectMake(0, 0, 10, 10);
    view->setNeedsDisplay(true);
    view->setNeedsDisplayInRect(cg::CGRectMake(0, 0, 5, 5));
    view->setNeedsDisplay(true);
    EXPECT_EQ(view->draws, 1);
    EXPECT_TRUE(view->needsDisplay());
    turn();
    EXPECT_EQ(view->draws, 2);
    EXPECT_FALSE(view->needsDisplay());
    turn();
    EXPECT_EQ(view->draws, 2);

    // Only the dirty part is drawn again.
    view->setNeedsDisplayInRect(cg::CGRectMake(30, 30, 5, 5));
    turn();
    EXPECT_EQ(view->draws, 3);
    EXPECT_TRUE(cg::CGRectEqualToRect(view->lastDirty, cg::CGRectMake(30, 30, 5, 5)));

    // display redraws everything at once.
    window->display();
    EXPECT_EQ(view->draws, 4);
    EXPECT_TRUE(cg::CGRectEqualToRect(view->lastDirty, cg::CGRectMake(0, 0, 40, 40)));
}

} // namespace appkit
