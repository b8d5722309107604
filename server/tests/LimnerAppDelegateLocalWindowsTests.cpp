// The application delegate's care of the local mirror windows: counting them, watching them,
// and the periodic check that brings one back from a display that is gone.
#include "server/LimnerAppDelegate.h"

#include "input/QNDesktopReflectorPanel.h"
#include "input/QNDesktopReflectorPanelWindow.h"

#include "server/tests/MediatorTestSupport.h"

#include "platform/appkit/NSEvent.h"
#include "platform/appkit/NSScreen.h"
#include "platform/appkit/tests/WindowTestSupport.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/NSThread.h"

#include <chrono>
#include <thread>

namespace {

// A mirror window as the session makes it: a titled window that can become main, showing the
// display while it is marked updating.
class TestPanel : public appkit::NSWindow, public input::QNDesktopReflectorPanel {
  public:
    explicit TestPanel(cg::CGRect frame = cg::CGRectMake(100, 100, 400, 300))
        : appkit::NSWindow(frame, appkit::NSWindowStyleMaskTitled | appkit::NSWindowStyleMaskClosable) {}
    void setDelegate(std::weak_ptr<input::QNDesktopReflectorDelegate>) override {}
    void setReflectorDelegate(std::weak_ptr<input::QNDesktopReflectorDelegate>) override {}
    void showWithAnimation() override { makeKeyAndOrderFront(); }
    void hideWithAnimation() override { orderOut(); }
    void close() override { appkit::NSWindow::close(); }
    bool updating() const override { return isUpdating; }
    std::atomic<bool> isUpdating{true};
};

class LimnerAppDelegateLocalWindowsTest : public appkit::testing::WindowTest {
  protected:
    void SetUp() override {
        WindowTest::SetUp();
        delegate = server::LimnerAppDelegate::make({});
    }
    void TearDown() override {
        delegate.reset();
        input::QNDesktopReflectorPanel::setMaker(nullptr);
        fixture.reset();
        WindowTest::TearDown();
    }
    static std::shared_ptr<TestPanel> makePanel(cg::CGRect frame = cg::CGRectMake(100, 100, 400, 300)) {
        return appkit::NSWindow::make<TestPanel>(frame);
    }

    // A mediator whose first session mirrors its display locally in a panel of ours: one
    // session in the background while the panel is updating.
    std::shared_ptr<TestPanel> backgroundSession() {
        fixture = std::make_unique<server::testing::MediatorFixture>();
        delegate->setScreenServerMediator(fixture->mediator);
        auto panel = makePanel();
        input::QNDesktopReflectorPanel::setMaker([panel](const auto&) { return panel; });
        EXPECT_EQ(fixture->servers.at(0)->displayReflector().get(), panel.get());
        EXPECT_EQ(fixture->mediator->backgroundServerCount(), 1u);
        return panel;
    }
    // Waits (real time, bounded) for something another thread does; the fake clock stands still.
    template <typename Pred> static bool eventually(Pred pred) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!pred()) {
            if (std::chrono::steady_clock::now() > limit) return false;
            std::this_thread::yield();
        }
        return true;
    }
    // A panel becoming main starts the check thread; answers it once its timer is scheduled.
    std::shared_ptr<ns::NSThread> startCheck(const std::shared_ptr<TestPanel>& panel) {
        delegate->registerNotificationsForWindow(panel);
        panel->makeKeyAndOrderFront();
        panel->makeMainWindow();
        auto thread = delegate->clientWindowThread();
        EXPECT_TRUE(thread);
        EXPECT_TRUE(eventually([&] { return delegate->clientWindowTimer() != nullptr; }));
        return thread;
    }
    // One tick of the check thread's 2 s timer.
    static void tick() { platform::installFakeClock().advance(platform::seconds(2.0)); }
    // Serves the main loop until the window's frame differs from before.
    static bool mainLoopUntilMoved(const appkit::NSWindow& window, cg::CGRect before) {
        for (int turns = 0; turns < 1000; ++turns) {
            if (!cg::CGRectEqualToRect(window.frame(), before)) return true;
            ns::NSRunLoop::mainRunLoop()->runModeBeforeDate(ns::NSDefaultRunLoopMode,
                                                            platform::now() + platform::seconds(1));
        }
        return false;
    }

    std::unique_ptr<server::testing::MediatorFixture> fixture;
    std::shared_ptr<server::LimnerAppDelegate> delegate;
};

// The main display carries no product name: its screen is an unknown display.
class LimnerAppDelegateLocalWindowsUnknownDisplayTest : public LimnerAppDelegateLocalWindowsTest {
  protected:
    void SetUp() override {
        platform::installFakeClock();
        iokit::InProcessKernelOptions options;
        options.windowServerConfig.mainDisplay.name = "Unknown Display";
        m_kernel = std::make_shared<iokit::InProcessKernel>(options);
        m_kernel->install();
        delegate = server::LimnerAppDelegate::make({});
    }
};

TEST_F(LimnerAppDelegateLocalWindowsTest, CountsOnlyVisibleMirrorWindows) {
    EXPECT_EQ(delegate->localWindowCount(), 0);
    auto first = makePanel();
    auto second = makePanel();
    auto plain = appkit::NSWindow::make<appkit::NSWindow>(cg::CGRectMake(0, 0, 200, 200),
                                                          appkit::NSWindowStyleMaskTitled);
    plain->makeKeyAndOrderFront();
    EXPECT_EQ(delegate->localWindowCount(), 0) << "a panel not yet shown and other windows do not count";
    first->makeKeyAndOrderFront();
    second->orderFront();
    EXPECT_EQ(delegate->localWindowCount(), 2);
    second->orderOut();
    EXPECT_EQ(delegate->localWindowCount(), 1);
}

TEST_F(LimnerAppDelegateLocalWindowsTest, CountsAndWatchesTheProgramsOwnPanels) {
    auto panel = appkit::NSWindow::make<input::QNDesktopReflectorPanelWindow>(
        cg::CGRectMake(200, 200, 512, 384), input::QNDesktopReflectorEnvironment{});
    delegate->registerNotificationsForWindow(panel);
    panel->makeKeyAndOrderFront();
    EXPECT_EQ(delegate->localWindowCount(), 1);
    panel->makeMainWindow();
    EXPECT_TRUE(m_log.contains("Local client window did become main"));
    EXPECT_TRUE(delegate->clientWindowThread()) << "the check starts";
    // Without a mediator there is no background session: the first tick ends the check.
    ASSERT_TRUE(eventually([&] { return delegate->clientWindowTimer() != nullptr; }));
    auto thread = delegate->clientWindowThread();
    tick();
    EXPECT_TRUE(eventually([&] { return thread->isFinished(); }));
    panel->orderOut();
    EXPECT_EQ(delegate->localWindowCount(), 0);
}

TEST_F(LimnerAppDelegateLocalWindowsTest, WatchesAWindowOnceHoweverOftenItsSessionConnects) {
    auto panel = makePanel();
    const size_t before = ns::NSNotificationCenter::defaultCenter().observationCount();
    delegate->registerNotificationsForWindow(nullptr);
    EXPECT_EQ(ns::NSNotificationCenter::defaultCenter().observationCount(), before) << "null is ignored";
    for (int connection = 0; connection < 3; ++connection)
        delegate->registerNotificationsForWindow(panel);
    EXPECT_EQ(ns::NSNotificationCenter::defaultCenter().observationCount(), before + 2);

    panel->makeKeyAndOrderFront();
    panel->makeMainWindow();
    EXPECT_EQ(m_log.count("Local client window did become main"), 1u);
}

TEST_F(LimnerAppDelegateLocalWindowsTest, AWindowBecomingMainIsNoticedOnlyOnceWatched) {
    auto panel = makePanel();
    panel->makeKeyAndOrderFront();
    panel->makeMainWindow();
    EXPECT_FALSE(m_log.contains("Local client window did become main"));
    auto other = makePanel();
    delegate->registerNotificationsForWindow(other);
    other->makeKeyAndOrderFront();
    other->makeMainWindow();
    EXPECT_TRUE(m_log.contains("Local client window did become main"));
}

TEST_F(LimnerAppDelegateLocalWindowsTest, AGoneDelegateLeavesNoObservation) {
    auto panel = makePanel();
    const size_t before = ns::NSNotificationCenter::defaultCenter().observationCount();
    delegate->registerNotificationsForWindow(panel);
    delegate.reset();
    EXPECT_EQ(ns::NSNotificationCenter::defaultCenter().observationCount(), before);
}

TEST_F(LimnerAppDelegateLocalWindowsTest, TheCheckThreadEndsAtTheFirstTickWithoutABackgroundSession) {
    auto panel = backgroundSession();
    auto thread = startCheck(panel);
    ASSERT_TRUE(thread);
    panel->makeMainWindow();
    EXPECT_EQ(delegate->clientWindowThread(), thread) << "one thread however often a panel becomes main";

    tick();
    tick();
    EXPECT_FALSE(thread->isFinished());
    panel->isUpdating = false; // the device came back
    tick();
    ASSERT_TRUE(eventually([&] { return thread->isFinished(); }));
    EXPECT_FALSE(delegate->clientWindowThread());
    EXPECT_FALSE(delegate->clientWindowTimer());
}

TEST_F(LimnerAppDelegateLocalWindowsTest, APanelBecomingMainWhileTheThreadStopsStartsANewOne) {
    auto panel = backgroundSession();
    // The moment after the tick decided to stop and before the thread is gone (observed ahead
    // of the delegate's own exit handler): a panel becomes main again.
    std::atomic<const void*> stopping{nullptr};
    std::shared_ptr<ns::NSThread> second;
    auto token = ns::NSNotificationCenter::defaultCenter().addObserverForName(
        ns::NSThreadWillExitNotification, nullptr, [&](const ns::NSNotification& n) {
            if (n.objectIdentity() != stopping.load()) return;
            delegate->launchPeriodicClientWindowCheck();
            second = delegate->clientWindowThread();
        });
    auto first = startCheck(panel);
    ASSERT_TRUE(first);
    stopping = first.get();
    panel->isUpdating = false;
    tick();
    ASSERT_TRUE(eventually([&] { return first->isFinished(); }));
    ns::NSNotificationCenter::defaultCenter().removeObserver(token);
    ASSERT_TRUE(second) << "the stopping thread must not stand in for a new one";
    EXPECT_NE(second, first);
    EXPECT_EQ(delegate->clientWindowThread(), second);

    ASSERT_TRUE(eventually([&] { return delegate->clientWindowTimer() != nullptr; }));
    tick();
    ASSERT_TRUE(eventually([&] { return second->isFinished(); }));
    EXPECT_FALSE(delegate->clientWindowThread());
}

TEST_F(LimnerAppDelegateLocalWindowsTest, AGoneDelegateEndsItsCheckThread) {
    auto panel = backgroundSession();
    auto thread = startCheck(panel);
    ASSERT_TRUE(thread);
    delegate.reset();
    EXPECT_TRUE(eventually([&] { return thread->isFinished(); }));
}

TEST_F(LimnerAppDelegateLocalWindowsTest, APanelOnAKnownDisplayStaysWhereItIs) {
    auto panel = backgroundSession();
    const cg::CGRect before = panel->frame();
    startCheck(panel);
    delegate->checkAllClientWindows();
    tick();
    for (int turn = 0; turn < 3; ++turn)
        this->turn();
    EXPECT_TRUE(cg::CGRectEqualToRect(panel->frame(), before));
    panel->isUpdating = false;
    tick();
    EXPECT_TRUE(eventually([&] { return !delegate->clientWindowThread(); }));
}

TEST_F(LimnerAppDelegateLocalWindowsTest, AWindowOffItsScreensVisibleFrameComesBack) {
    // A strip in the menu bar: on the main display, outside its visible frame (0, 0, 1440, 878).
    auto window = appkit::NSWindow::make<appkit::NSWindow>(cg::CGRectMake(100, 880, 200, 15),
                                                           appkit::NSWindowStyleMaskBorderless);
    window->orderFront();
    ASSERT_TRUE(window->screen());
    delegate->checkScreenLocationForWindow(window);
    EXPECT_TRUE(cg::CGRectEqualToRect(window->frame(), cg::CGRectMake(50, 878 - 65, 200, 15)));
    delegate->checkScreenLocationForWindow(window);
    EXPECT_TRUE(cg::CGRectEqualToRect(window->frame(), cg::CGRectMake(50, 813, 200, 15))) << "left alone";
}

TEST_F(LimnerAppDelegateLocalWindowsUnknownDisplayTest, APanelOnAnUnknownDisplayMovesAfterALeftMouseUp) {
    auto panel = backgroundSession();
    auto plain = appkit::NSWindow::make<appkit::NSWindow>(cg::CGRectMake(300, 300, 200, 100),
                                                          appkit::NSWindowStyleMaskTitled);
    plain->orderFront();
    const cg::CGRect plainFrame = plain->frame();
    const cg::CGRect before = panel->frame();
    // Where the pointer is when the panel moves: the left-mouse-up has put it there already.
    std::optional<cg::CGPoint> pointerAtMove;
    auto token = ns::NSNotificationCenter::defaultCenter().addObserverForName(
        appkit::NSWindowDidMoveNotification, static_cast<appkit::NSWindow*>(panel.get()),
        [&](const ns::NSNotification&) { pointerAtMove = appkit::NSEvent::mouseLocation(); });
    startCheck(panel);
    tick();
    ASSERT_TRUE(mainLoopUntilMoved(*panel, before));
    ns::NSNotificationCenter::defaultCenter().removeObserver(token);
    ASSERT_TRUE(pointerAtMove);
    // (50 + 80, 82) in Core Graphics space is (130, 900 - 82) in Cocoa space.
    EXPECT_EQ(pointerAtMove->x, 130);
    EXPECT_EQ(pointerAtMove->y, 818);
    // Top-left of the first screen's visible frame (0, 0, 1440, 878), 50 points in.
    EXPECT_TRUE(cg::CGRectEqualToRect(panel->frame(), cg::CGRectMake(50, 878 - (before.size.height + 50),
                                                                     before.size.width, before.size.height)));
    EXPECT_TRUE(cg::CGRectEqualToRect(plain->frame(), plainFrame)) << "only mirror windows are moved";

    panel->isUpdating = false;
    tick();
    EXPECT_TRUE(eventually([&] { return !delegate->clientWindowThread(); }));
}

TEST_F(LimnerAppDelegateLocalWindowsUnknownDisplayTest, APanelArrivingOnAnUnknownDisplayIsMovedAtOnce) {
    auto panel = backgroundSession();
    delegate->registerNotificationsForWindow(panel);
    panel->orderFront();
    panel->setFrameOrigin(cg::CGPointMake(-5000, -5000)); // off every screen: nothing to do
    EXPECT_FALSE(panel->screen());
    turn();
    EXPECT_EQ(panel->frame().origin.x, -5000);
    const cg::CGRect back = cg::CGRectMake(300, 200, panel->frame().size.width, panel->frame().size.height);
    panel->setFrame(back, true);
    ASSERT_TRUE(mainLoopUntilMoved(*panel, back));
    EXPECT_EQ(panel->frame().origin.x, 50);
    EXPECT_FALSE(delegate->clientWindowThread()) << "no check thread needed for that";
}

} // namespace
