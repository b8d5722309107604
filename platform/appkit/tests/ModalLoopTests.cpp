// Modal loops and sessions: what runs inside them (the main queue, performs, common-mode timers)
// and what waits (default-mode timers and work), nesting, the stop calls, sessions and their
// null or ended handles, and the other windows refusing input meanwhile.
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSTimer.h"
#include "platform/foundation/PerformSelector.h"

#include "WindowTestSupport.h"

#include <string>
#include <vector>

namespace appkit {

namespace {

// Counts the mouse-downs and keys reaching it.
class PressView : public NSView {
  public:
    using NSView::NSView;
    bool acceptsFirstResponder() const override { return true; }
    void mouseDown(const NSEvent&) override { ++downs; }
    void keyDown(const NSEvent&) override { ++keys; }
    int downs = 0;
    int keys = 0;
};

} // namespace

class ModalLoopTest : public testing::WindowTest {
  protected:
    std::shared_ptr<NSWindow> titled(double x) {
        auto window = NSWindow::make(cg::CGRectMake(x, 0, 100, 100), NSWindowStyleMaskTitled);
        auto view = std::make_shared<PressView>(cg::CGRectMake(0, 0, 100, 100));
        window->contentView()->addSubview(view);
        views[window.get()] = view;
        return window;
    }
    static void onMainQueue(std::function<void()> block) {
        dispatch::dispatch_async(dispatch::dispatch_get_main_queue(), std::move(block));
    }
    static void click(const std::shared_ptr<NSWindow>& window) {
        NSApp()->sendEvent(NSEvent::mouseEvent(NSEventType::LeftMouseDown, cg::CGPointMake(10, 10), 0, 0,
                                               window->windowNumber(), 1, 1));
    }
    std::map<const NSWindow*, std::shared_ptr<PressView>> views;
    std::vector<std::string> journal;
};

TEST_F(ModalLoopTest, ADefaultModeTimerHeldWhileRunModalServesTheMainQueue) {
    auto window = titled(0);
    auto timer = ns::NSTimer::scheduledTimerWithTimeInterval(
        0.5, false, [&](ns::NSTimer&) { journal.push_back("timer"); });
    auto common =
        ns::NSTimer::timerWithTimeInterval(0.5, false, [&](ns::NSTimer&) { journal.push_back("common"); });
    dispatch::RunLoop::main()->addTimer(common, {std::string(dispatch::kCommonRunLoopModes)});
    // What distributed notifications, Bonjour and the updater hand the main loop.
    dispatch::RunLoop::main()->perform({std::string(dispatch::kDefaultRunLoopMode)},
                                       [&] { journal.push_back("default"); });
    platform::installFakeClock().advance(platform::seconds(1)); // both timers are due
    onMainQueue([&] {
        journal.push_back("queue");
        EXPECT_EQ(dispatch::RunLoop::main()->currentMode(), dispatch::kModalPanelRunLoopMode);
        EXPECT_EQ(NSApp()->modalWindow(), window);
    });
    ns::performSelectorOnMainThread([&] { journal.push_back("perform"); }, false);
    onMainQueue([] { NSApp()->stopModalWithCode(7); });

    EXPECT_EQ(NSApp()->runModalForWindow(window), 7);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isKeyWindow());
    EXPECT_EQ(NSApp()->modalWindow(), nullptr);
    std::sort(journal.begin(), journal.end());
    EXPECT_EQ(journal, (std::vector<std::string>{"common", "perform", "queue"}));
    journal.clear();
    // Back in the default mode, what waited runs, in the order it became ready.
    turn();
    EXPECT_EQ(journal, (std::vector<std::string>{"default", "timer"}));
}

TEST_F(ModalLoopTest, LoopsNestAndEachStopEndsTheInnermost) {
    auto outer = titled(0);
    auto inner = titled(200);
    onMainQueue([&] {
        EXPECT_EQ(NSApp()->modalWindow(), outer);
        onMainQueue([&] {
            EXPECT_EQ(NSApp()->modalWindow(), inner);
            NSApp()->stopModalWithCode(2);
        });
        journal.push_back("inner " + std::to_string(NSApp()->runModalForWindow(inner)));
        EXPECT_EQ(NSApp()->modalWindow(), outer);
        // Main-queue blocks run inside the innermost loop: this one ends the outer loop.
        onMainQueue([] { NSApp()->abortModal(); });
    });
    journal.push_back("outer " + std::to_string(NSApp()->runModalForWindow(outer)));
    EXPECT_EQ(journal,
              (std::vector<std::string>{"inner 2", "outer " + std::to_string(NSModalResponseAbort)}));
    // The application's stop ends a modal loop, not the main one.
    onMainQueue([] { NSApp()->stop(); });
    EXPECT_EQ(NSApp()->runModalForWindow(outer), NSModalResponseStop);
    onMainQueue([] { NSApp()->stopModal(); });
    EXPECT_EQ(NSApp()->runModalForWindow(outer), NSModalResponseStop);
    // With no loop under way a stop is refused, logged.
    NSApp()->stopModal();
    EXPECT_TRUE(m_log.contains("no modal loop or session under way"));
}

TEST_F(ModalLoopTest, TheOtherWindowsRefuseInputMeanwhile) {
    auto modal = titled(0);
    auto other = titled(200);
    other->makeKeyAndOrderFront();
    onMainQueue([&] {
        click(other);
        click(modal);
        EXPECT_FALSE(NSApp()->windowAcceptsInput(*other));
        EXPECT_TRUE(NSApp()->windowAcceptsInput(*modal));
        // Keys go to the key window, which is the modal one now.
        NSApp()->sendEvent(NSEvent::keyEvent(NSEventType::KeyDown, cg::CGPointZero, 0, 0, 0, "a", 0));
        // A menu above the modal window still takes input.
        auto menu = NSWindow::make(cg::CGRectMake(0, 0, 10, 10), NSWindowStyleMaskBorderless);
        menu->setLevel(NSPopUpMenuWindowLevel);
        EXPECT_TRUE(NSApp()->windowAcceptsInput(*menu));
        NSApp()->stopModal();
    });
    NSApp()->runModalForWindow(modal);
    EXPECT_EQ(views[other.get()]->downs, 0);
    EXPECT_EQ(views[modal.get()]->downs, 1);
    EXPECT_EQ(views[modal.get()]->keys, 1);
    EXPECT_TRUE(m_log.contains("refuses input while a modal window or sheet is up"));
    click(other); // the loop has ended
    EXPECT_EQ(views[other.get()]->downs, 1);
}

TEST_F(ModalLoopTest, ASessionShowsItsWindowAndAnswersContinueUntilStopped) {
    auto window = titled(0);
    auto other = titled(200);
    auto session = NSApp()->beginModalSessionForWindow(window);
    ASSERT_TRUE(session);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isKeyWindow());
    EXPECT_EQ(NSApp()->modalWindow(), window);
    click(other);
    EXPECT_EQ(views[other.get()]->downs, 0);
    onMainQueue([&] { journal.push_back("queue"); });
    EXPECT_EQ(NSApp()->runModalSession(session), NSModalResponseContinue);
    EXPECT_EQ(journal, (std::vector<std::string>{"queue"}));
    NSApp()->stopModalWithCode(5);
    EXPECT_EQ(NSApp()->runModalSession(session), 5);
    NSApp()->endModalSession(session);
    EXPECT_EQ(NSApp()->modalWindow(), nullptr);
    click(other);
    EXPECT_EQ(views[other.get()]->downs, 1);
}

// Ending a null or ended handle must not end another session still under way.
TEST_F(ModalLoopTest, EndingANullOrEndedSessionIsALoggedNoOp) {
    auto outerWindow = titled(0);
    auto innerWindow = titled(200);
    auto outer = NSApp()->beginModalSessionForWindow(outerWindow);
    auto inner = NSApp()->beginModalSessionForWindow(innerWindow);
    EXPECT_EQ(NSApp()->modalWindow(), innerWindow);
    NSApp()->endModalSession(inner);
    EXPECT_EQ(NSApp()->modalWindow(), outerWindow);
    NSApp()->endModalSession(inner);
    NSApp()->endModalSession(nullptr);
    EXPECT_EQ(NSApp()->modalWindow(), outerWindow);
    EXPECT_EQ(m_log.count("endModalSession: on an ended session; nothing to end"), 1u);
    EXPECT_EQ(m_log.count("endModalSession: on a null session; nothing to end"), 1u);
    EXPECT_EQ(NSApp()->runModalSession(inner), NSModalResponseStop);
    EXPECT_EQ(NSApp()->runModalSession(nullptr), NSModalResponseStop);
    EXPECT_EQ(NSApp()->modalWindow(), outerWindow);
    EXPECT_EQ(NSApp()->beginModalSessionForWindow(nullptr), nullptr);
    NSApp()->endModalSession(outer);
    EXPECT_EQ(NSApp()->modalWindow(), nullptr);
}

} // namespace appkit
