// Popovers: the window against its anchor on each edge, kept inside the visible frame, the
// content controller's view in it (key, "AXPopover"), closing with and without the delegate's
// consent, the recorded behaviour and animation.
#include "platform/appkit/NSPopover.h"
#include "platform/appkit/NSStatusBar.h"
#include "platform/foundation/NSNotificationCenter.h"

#include "WindowTestSupport.h"

namespace appkit {

namespace {

class Journal : public NSPopoverDelegate {
  public:
    bool popoverShouldClose(NSPopover&) override {
        entries.push_back("should close");
        return allowClose;
    }
    void popoverWillShow(NSPopover&) override { entries.push_back("will show"); }
    void popoverDidShow(NSPopover& p) override {
        entries.push_back(p.isShown() ? "did show" : "did show, not shown");
    }
    void popoverWillClose(NSPopover&) override { entries.push_back("will close"); }
    void popoverDidClose(NSPopover& p) override {
        entries.push_back(p.isShown() ? "did close, shown" : "did close");
    }
    std::vector<std::string> entries;
    bool allowClose = true;
};

} // namespace

class NSPopovers : public testing::WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        controller = std::make_shared<NSViewController>();
        controller->setView(std::make_shared<NSView>(cg::CGRectMake(0, 0, 300, 200)));
        popover = std::make_shared<NSPopover>();
        popover->setContentViewController(controller);
        anchorWindow = NSWindow::make(cg::CGRectMake(0, 0, 1440, 900), NSWindowStyleMaskBorderless);
        anchor = std::make_shared<NSView>(cg::CGRectMake(600, 400, 40, 20));
        anchorWindow->contentView()->addSubview(anchor);
        anchorWindow->orderFront();
    }
    void TearDown() override {
        popover.reset();
        WindowTest::TearDown();
    }
    cg::CGRect shownAt(cg::CGRect anchorFrame, NSRectEdge edge) {
        anchor->setFrame(anchorFrame);
        popover->showRelativeToRect(anchor->bounds(), anchor, edge);
        return popover->window() ? popover->window()->frame() : cg::CGRectNull;
    }
    static bool same(cg::CGRect a, cg::CGRect b) {
        EXPECT_TRUE(cg::CGRectEqualToRect(a, b))
            << a.origin.x << "," << a.origin.y << " " << a.size.width << "x" << a.size.height;
        return cg::CGRectEqualToRect(a, b);
    }

    std::shared_ptr<NSViewController> controller;
    std::shared_ptr<NSPopover> popover;
    std::shared_ptr<NSWindow> anchorWindow;
    std::shared_ptr<NSView> anchor;
};

TEST_F(NSPopovers, EachEdgePlacesTheWindowAgainstTheAnchorCentredOnIt) {
    // The anchor (600, 400, 40, 20): centre x 620, centre y 410.
    EXPECT_TRUE(
        same(shownAt(cg::CGRectMake(600, 400, 40, 20), NSMinYEdge), cg::CGRectMake(470, 200, 300, 200)));
    EXPECT_TRUE(
        same(shownAt(cg::CGRectMake(600, 400, 40, 20), NSMaxYEdge), cg::CGRectMake(470, 420, 300, 200)));
    EXPECT_TRUE(
        same(shownAt(cg::CGRectMake(600, 400, 40, 20), NSMinXEdge), cg::CGRectMake(300, 310, 300, 200)));
    EXPECT_TRUE(
        same(shownAt(cg::CGRectMake(600, 400, 40, 20), NSMaxXEdge), cg::CGRectMake(640, 310, 300, 200)));
}

TEST_F(NSPopovers, TheWindowStaysInsideTheVisibleFrameOfTheAnchorsScreen) {
    // Near the right edge and the menu bar: moved left to end at 1440, down below 878.
    EXPECT_TRUE(
        same(shownAt(cg::CGRectMake(1400, 800, 40, 20), NSMaxYEdge), cg::CGRectMake(1140, 678, 300, 200)));
    // Near the bottom-left corner: not left of 0, not below 0.
    EXPECT_TRUE(same(shownAt(cg::CGRectMake(10, 30, 40, 20), NSMinYEdge), cg::CGRectMake(0, 0, 300, 200)));
}

TEST_F(NSPopovers, AStatusItemsPopoverHangsBelowTheMenuBarAsAKeyBorderlessWindowOfTheContentSize) {
    auto status = NSStatusBar::systemStatusBar()->statusItemWithLength(NSVariableStatusItemLength);
    status->setTitle("Tessel"); // (1290, 878, 50, 22)
    popover->setBehavior(NSPopoverBehaviorTransient);
    popover->setAnimates(false);
    auto button = status->button();
    popover->showRelativeToRect(button->frame(), button, NSMinYEdge);
    auto window = popover->window();
    ASSERT_TRUE(window);
    // Centred on the item (1315 − 150 = 1165), then kept inside the screen: 1440 − 300.
    EXPECT_TRUE(same(window->frame(), cg::CGRectMake(1140, 678, 300, 200)));
    EXPECT_EQ(controller->view()->window(), window);
    EXPECT_EQ(window->styleMask(), NSWindowStyleMaskBorderless);
    EXPECT_TRUE(window->isKeyWindow());
    EXPECT_FALSE(window->isMainWindow());
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->accessibilityRole(), "AXPopover");
    EXPECT_TRUE(popover->isShown());
    // Recorded only: the application still closes it.
    EXPECT_EQ(popover->behavior(), NSPopoverBehaviorTransient);
    EXPECT_FALSE(popover->animates());
    // What the host does to the popover's window after showing it: recorded.
    window->setLevel(NSNormalWindowLevel);
    window->setCollectionBehavior(9);
    EXPECT_EQ(window->collectionBehavior(), 9u);
    popover->close();
    EXPECT_FALSE(window->isVisible());
    NSStatusBar::systemStatusBar()->removeStatusItem(status);
}

TEST_F(NSPopovers, ClosingAsksTheDelegateOnlyForPerformCloseAndAnnouncesItself) {
    auto journal = std::make_shared<Journal>();
    popover->setDelegate(journal);
    std::vector<std::string> notes;
    auto token = ns::NSNotificationCenter::defaultCenter().addObserverForName(
        std::nullopt, popover.get(), [&](const ns::NSNotification& n) { notes.push_back(n.name); });
    popover->showRelativeToRect(cg::CGRectZero, anchor, NSMinYEdge);
    popover->showRelativeToRect(cg::CGRectZero, anchor, NSMaxYEdge); // moves, no second show
    journal->allowClose = false;
    popover->performClose();
    EXPECT_TRUE(popover->isShown());
    journal->allowClose = true;
    popover->performClose();
    popover->close(); // not shown: nothing
    EXPECT_FALSE(popover->isShown());
    EXPECT_EQ(journal->entries, (std::vector<std::string>{"will show", "did show", "should close",
                                                          "should close", "will close", "did close"}));
    EXPECT_EQ(notes,
              (std::vector<std::string>{NSPopoverWillShowNotification, NSPopoverDidShowNotification,
                                        NSPopoverWillCloseNotification, NSPopoverDidCloseNotification}));
    ns::NSNotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(NSPopovers, WithoutContentOrAnAnchorInAWindowNothingShows) {
    auto empty = std::make_shared<NSPopover>();
    empty->showRelativeToRect(cg::CGRectZero, anchor, NSMinYEdge);
    EXPECT_FALSE(empty->isShown());
    EXPECT_FALSE(empty->window());
    auto loose = std::make_shared<NSView>(cg::CGRectMake(0, 0, 10, 10));
    popover->showRelativeToRect(cg::CGRectZero, loose, NSMinYEdge);
    EXPECT_FALSE(popover->isShown());
    EXPECT_TRUE(m_log.contains("a popover needs a content view"));
    // A set content size wins over the view's.
    popover->setContentSize(cg::CGSizeMake(100, 50));
    popover->showRelativeToRect(cg::CGRectZero, anchor, NSMinYEdge);
    EXPECT_TRUE(same(popover->window()->frame(), cg::CGRectMake(570, 350, 100, 50)));
    EXPECT_TRUE(same(controller->view()->frame(), cg::CGRectMake(0, 0, 100, 50)));
}

} // namespace appkit
