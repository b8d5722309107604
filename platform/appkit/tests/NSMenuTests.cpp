// Menus: items and their bindings, and pop-up tracking (the window and its rows, choosing by a
// press or a click, every way of cancelling, a tracking menu taking all input, the tracking mode).
#include "platform/appkit/NSMenu.h"
#include "platform/appkit/NSMenuWindow.h"
#include "platform/appkit/NSScreen.h"
#include "platform/foundation/NSTimer.h"

#include "MenuTestSupport.h"
#include "WindowTestSupport.h"

#include <thread>

namespace appkit {

namespace {

using testing::RecordingTarget;
using testing::whileTracking;

// A model whose "canQuit" and "quitTitle" the items bind to.
class Model : public ns::NSObject {
  public:
    static const ns::KeyTable& classKeys() {
        static const ns::KeyTable table = ns::KeyTable("Model", &ns::NSObject::classKeys())
                                              .property("canQuit", &Model::canQuit, &Model::setCanQuit)
                                              .property("quitTitle", &Model::quitTitle, &Model::setQuitTitle);
        return table;
    }
    const ns::KeyTable& keyTable() const override { return classKeys(); }
    bool canQuit() const { return m_canQuit; }
    void setCanQuit(bool v) { m_canQuit = v; }
    std::string quitTitle() const { return m_quitTitle; }
    void setQuitTitle(std::string v) { m_quitTitle = std::move(v); }

  private:
    bool m_canQuit = false;
    std::string m_quitTitle = "Quit";
};

} // namespace

class NSMenuTracking : public testing::WindowTest {
  protected:
    void SetUp() override {
        testing::WindowTest::SetUp();
        target = std::make_shared<RecordingTarget>();
        menu = NSMenu::make("Host");
        for (const char* title : {"About", "Preferences", "Quit"}) {
            auto item = menu->addItemWithTitle(title, std::string(title) == "Quit" ? "quit:" : "about:");
            item->setTarget(target);
        }
        menu->itemAtIndex(1)->setTag(7);
        window = NSWindow::make(cg::CGRectMake(100, 300, 400, 200), NSWindowStyleMaskTitled);
        window->orderFront();
    }
    std::shared_ptr<NSMenuWindow> openWindow() {
        return std::dynamic_pointer_cast<NSMenuWindow>(NSMenu::openMenuWindow());
    }
    // Pops the menu up with its first row's top-left at (500, 600) in Cocoa global space.
    bool popUp() { return menu->popUpMenuPositioningItem(nullptr, cg::CGPointMake(500, 600), nullptr); }
    static void click(const std::shared_ptr<NSWindow>& w, cg::CGPoint at) { testing::clickWindow(*w, at); }

    std::shared_ptr<RecordingTarget> target;
    std::shared_ptr<NSMenu> menu;
    std::shared_ptr<NSWindow> window;
};

TEST_F(NSMenuTracking, APressChoosesTheItemClosesTheMenuAndSendsItsActionWithTheItemAsSender) {
    cg::CGRect frame = cg::CGRectNull;
    NSWindowLevel level = 0;
    std::vector<std::string> roles;
    whileTracking([&] {
        auto open = openWindow();
        ASSERT_TRUE(open);
        frame = open->frame();
        level = open->level();
        EXPECT_TRUE(open->isVisible());
        EXPECT_EQ(open->accessibilityRole(), "AXMenu");
        EXPECT_EQ(open->accessibilityTitle(), "Host");
        EXPECT_EQ(NSMenu::openMenu(), menu);
        // Drawn before it shows: white rows.
        EXPECT_EQ(pixel(picture(*open), 235, 10), 0xFFFFFFFFu);
        auto row = open->rowForItem(*menu->itemAtIndex(2));
        ASSERT_TRUE(row);
        roles.push_back(row->accessibilityRole());
        EXPECT_EQ(row->accessibilityTitle(), "Quit");
        EXPECT_TRUE(target->actions.empty());
        EXPECT_TRUE(row->accessibilityPerformAction("AXPress"));
    });
    EXPECT_TRUE(popUp());
    EXPECT_TRUE(cg::CGRectEqualToRect(frame, cg::CGRectMake(500, 540, 240, 60)));
    EXPECT_EQ(level, NSPopUpMenuWindowLevel);
    EXPECT_EQ(roles, std::vector<std::string>{"AXMenuItem"});
    EXPECT_EQ(target->actions, std::vector<std::string>{"quit:"});
    EXPECT_EQ(target->senders, std::vector<NSActionTarget*>{menu->itemAtIndex(2).get()});
    EXPECT_EQ(menu->chosenItem(), menu->itemAtIndex(2));
    EXPECT_FALSE(NSMenu::openMenuWindow());
    EXPECT_FALSE(menu->isTracking());
}

TEST_F(NSMenuTracking, ThePositioningItemsTopLeftLiesAtTheLocationInTheViewsWindow) {
    auto view = std::make_shared<NSView>(cg::CGRectMake(50, 20, 100, 40));
    window->contentView()->addSubview(view);
    cg::CGRect frame = cg::CGRectNull;
    whileTracking([&] {
        frame = NSMenu::openMenuWindow()->frame();
        menu->cancelTracking();
    });
    EXPECT_FALSE(menu->popUpMenuPositioningItem(menu->itemAtIndex(1), cg::CGPointMake(10, 5), view));
    // Window at (100, 300); view at (50, 20): the point is (160, 325); row 1's top there.
    EXPECT_TRUE(cg::CGRectEqualToRect(frame, cg::CGRectMake(160, 285, 240, 60)));
}

TEST_F(NSMenuTracking, AMenuThatWouldLeaveTheScreenOpensLeftOrUpwardsInstead) {
    const cg::CGRect visible = NSScreen::mainScreen()->visibleFrame();
    auto frameAt = [&](cg::CGPoint location) {
        cg::CGRect frame = cg::CGRectNull;
        whileTracking([&] {
            frame = NSMenu::openMenuWindow()->frame();
            menu->cancelTracking();
        });
        EXPECT_FALSE(menu->popUpMenuPositioningItem(nullptr, location, nullptr));
        return frame;
    };
    // Near the right edge (the settings button of a popover under the menu bar): to the left.
    EXPECT_TRUE(cg::CGRectEqualToRect(frameAt(cg::CGPointMake(visible.size.width - 32, 600)),
                                      cg::CGRectMake(visible.size.width - 32 - 240, 540, 240, 60)));
    // Near the bottom: upwards from the point.
    EXPECT_TRUE(cg::CGRectEqualToRect(frameAt(cg::CGPointMake(500, 20)), cg::CGRectMake(500, 20, 240, 60)));
    // Where neither way fits: moved in, under the menu bar.
    const cg::CGRect corner = frameAt(cg::CGPointMake(visible.size.width - 100, visible.size.height + 50));
    EXPECT_LE(cg::CGRectGetMaxY(corner), cg::CGRectGetMaxY(visible));
    EXPECT_LE(cg::CGRectGetMaxX(corner), cg::CGRectGetMaxX(visible));
    EXPECT_GE(corner.origin.x, visible.origin.x);
}

TEST_F(NSMenuTracking, AClickOnARowChoosesIt) {
    whileTracking([&] {
        auto open = openWindow();
        // Row 0 is the top 20 points; (30, 50) lies in it, in the window's base space.
        click(open, cg::CGPointMake(30, 50));
    });
    EXPECT_TRUE(popUp());
    EXPECT_EQ(target->actions, std::vector<std::string>{"about:"});
    EXPECT_EQ(target->senders, std::vector<NSActionTarget*>{menu->itemAtIndex(0).get()});
}

TEST_F(NSMenuTracking, EveryCancelAnswersNoAndSendsNothing) {
    const std::vector<std::pair<std::string, std::function<void()>>> cancels = {
        {"cancelTracking", [&] { menu->cancelTracking(); }},
        {"AXCancel on the menu", [&] { EXPECT_TRUE(openWindow()->accessibilityPerformAction("AXCancel")); }},
        {"AXCancel on a row",
         [&] {
             EXPECT_TRUE(
                 openWindow()->rowForItem(*menu->itemAtIndex(0))->accessibilityPerformAction("AXCancel"));
         }},
        {"Escape",
         [&] {
             NSApp()->sendEvent(NSEvent::keyEvent(NSEventType::KeyDown, cg::CGPointZero, 0, 0,
                                                  openWindow()->windowNumber(), "\x1b", 53));
         }},
        {"resign active", [&] { NSApp()->resignActive(); }},
        {"a click in another window", [&] { click(window, cg::CGPointMake(10, 10)); }},
    };
    for (const auto& [name, cancel] : cancels) {
        SCOPED_TRACE(name);
        NSApp()->becomeActive();
        whileTracking(cancel);
        EXPECT_FALSE(popUp());
        EXPECT_FALSE(menu->chosenItem());
        EXPECT_FALSE(NSMenu::openMenuWindow());
    }
    EXPECT_TRUE(target->actions.empty());
}

// Records the mouse-downs that reach it.
class ClickCounter : public NSView {
  public:
    using NSView::NSView;
    void mouseDown(const NSEvent&) override { ++downs; }
    int downs = 0;
};

TEST_F(NSMenuTracking, AMenuPopsUpOnTheMainThreadOnlyAndOneAtATime) {
    bool answer = true;
    std::thread([&] { answer = popUp(); }).join();
    EXPECT_FALSE(answer);
    EXPECT_TRUE(m_log.contains("a menu pops up on the main thread only"));

    auto other = NSMenu::make();
    other->addItemWithTitle("Other", "about:");
    bool nested = true;
    whileTracking([&] {
        nested = other->popUpMenuPositioningItem(nullptr, cg::CGPointMake(0, 100), nullptr);
        EXPECT_EQ(NSMenu::openMenu(), menu);
        menu->cancelTracking();
    });
    EXPECT_FALSE(popUp());
    EXPECT_FALSE(nested);
}

TEST_F(NSMenuTracking, ATrackingMenuTakesAllInputAndTheClickThatCancelsItReachesNoView) {
    auto counter = std::make_shared<ClickCounter>(cg::CGRectMake(0, 0, 400, 200));
    window->contentView()->addSubview(counter);
    whileTracking([&] { click(window, cg::CGPointMake(10, 10)); });
    EXPECT_FALSE(popUp());
    EXPECT_EQ(counter->downs, 0);
    // Once the menu is closed the window gets its clicks again.
    click(window, cg::CGPointMake(10, 10));
    EXPECT_EQ(counter->downs, 1);
}

TEST_F(NSMenuTracking, ADisabledItemCannotBeChosenByAPressOrAClick) {
    auto quit = menu->itemAtIndex(2);
    quit->setEnabled(false);
    whileTracking([&] {
        auto open = openWindow();
        auto row = open->rowForItem(*quit);
        EXPECT_FALSE(row->accessibilityEnabled());
        EXPECT_FALSE(row->accessibilityPerformAction("AXPress"));
        click(open, cg::CGPointMake(30, 5)); // row 2, the bottom one
        EXPECT_TRUE(menu->isTracking());
        EXPECT_TRUE(open->isVisible());
        menu->cancelTracking();
    });
    EXPECT_FALSE(popUp());
    EXPECT_TRUE(target->actions.empty());
}

TEST_F(NSMenuTracking, TheEnabledAndTitleBindingsFollowTheModelWhileTheMenuIsOpen) {
    auto model = std::make_shared<Model>();
    auto quit = menu->itemAtIndex(2);
    quit->bind("enabled", model, "canQuit");
    quit->bind("title", model, "quitTitle");
    EXPECT_FALSE(quit->isEnabled()); // the push on binding
    whileTracking([&] {
        auto row = openWindow()->rowForItem(*quit);
        EXPECT_FALSE(row->accessibilityPerformAction("AXPress"));
        model->setValueForKey(ns::Id(true), "canQuit");
        model->setValueForKey(ns::Id(std::string("Quit Host")), "quitTitle");
        EXPECT_EQ(row->accessibilityTitle(), "Quit Host");
        EXPECT_TRUE(row->needsDisplay());
        EXPECT_TRUE(row->accessibilityPerformAction("AXPress"));
    });
    EXPECT_TRUE(popUp());
    EXPECT_EQ(target->actions, std::vector<std::string>{"quit:"});
}

TEST_F(NSMenuTracking, TrackingRunsInTheEventTrackingModeWhereDefaultModeTimersWait) {
    int fired = 0;
    auto timer = ns::NSTimer::scheduledTimerWithTimeInterval(0.5, false, [&](ns::NSTimer&) { ++fired; });
    platform::installFakeClock().advance(std::chrono::seconds(1));
    std::string mode;
    whileTracking([&] {
        mode = dispatch::RunLoop::main()->currentMode();
        // The default-mode timer is due and still waits.
        whileTracking([&] {
            EXPECT_EQ(fired, 0);
            menu->cancelTracking();
        });
    });
    EXPECT_FALSE(popUp());
    EXPECT_EQ(mode, dispatch::kEventTrackingRunLoopMode);
    EXPECT_EQ(fired, 0);
    turn();
    EXPECT_EQ(fired, 1);
}

TEST_F(NSMenuTracking, AViewsMenuOpensOnShowMenuAndTheRowsCarryTheItemsIdentifiers) {
    auto view = std::make_shared<NSView>(cg::CGRectMake(0, 0, 100, 40));
    view->setIdentifier("box");
    window->contentView()->addSubview(view);
    EXPECT_TRUE(view->accessibilityActionNames().empty());
    view->setMenu(menu);
    menu->itemAtIndex(0)->setIdentifier("aboutItem");
    EXPECT_EQ(view->accessibilityActionNames(), std::vector<std::string>{"AXShowMenu"});
    std::string identifier;
    whileTracking([&] {
        auto row = openWindow()->rowForItem(*menu->itemAtIndex(0));
        identifier = row->identifier();
        row->accessibilityPerformAction("AXPress");
    });
    EXPECT_TRUE(view->accessibilityPerformAction("AXShowMenu"));
    EXPECT_EQ(identifier, "aboutItem");
    EXPECT_EQ(target->actions, std::vector<std::string>{"about:"});
}

TEST(NSMenuItems, ItemsBelongToOneMenuAndAnswerByIndexTagAndTitle) {
    platform::LogCapture log(true);
    auto menu = NSMenu::make();
    auto a = menu->addItemWithTitle("A", "a:");
    auto separator = NSMenuItem::separatorItem();
    menu->addItem(separator);
    auto b = NSMenuItem::make("B");
    b->setTag(42);
    menu->insertItemAtIndex(b, 0);
    EXPECT_EQ(menu->numberOfItems(), 3);
    EXPECT_EQ(menu->itemAtIndex(0), b);
    EXPECT_EQ(menu->itemWithTag(42), b);
    EXPECT_EQ(menu->indexOfItemWithTag(99), -1);
    EXPECT_EQ(menu->itemWithTitle("A"), a);
    EXPECT_EQ(b->menu(), menu);
    EXPECT_FALSE(separator->isEnabled());
    EXPECT_TRUE(separator->isSeparatorItem());

    auto other = NSMenu::make();
    other->addItem(a); // refused: a belongs to menu
    EXPECT_EQ(other->numberOfItems(), 0);
    menu->insertItemAtIndex(NSMenuItem::make("C"), 9);
    EXPECT_EQ(menu->numberOfItems(), 3);
    menu->removeItem(a);
    EXPECT_FALSE(a->menu());
    other->addItem(a);
    EXPECT_EQ(other->itemAtIndex(0), a);
    EXPECT_FALSE(menu->itemAtIndex(5));

    // Key-value coding reaches the item's keys; the state marks it checked.
    a->setValueForKey(ns::Id(int64_t(1)), "state");
    EXPECT_EQ(a->state(), 1);
    a->setRepresentedObject(ns::Id(std::string("payload")));
    EXPECT_EQ(*a->valueForKey("representedObject").string(), "payload");
    EXPECT_EQ(a->exposedBindings().size(), 2u);
}

} // namespace appkit
