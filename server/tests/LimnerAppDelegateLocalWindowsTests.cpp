// The application delegate's care of the local mirror windows: counting them, watching them,
// and the periodic check that brings one back from a display that is gone.
#include "server/LimnerAppDelegate.h"

#include "input/QNDesktopReflectorPanel.h"

#include "platform/appkit/tests/WindowTestSupport.h"
#include "platform/foundation/NSNotificationCenter.h"

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
        WindowTest::TearDown();
    }
    static std::shared_ptr<TestPanel> makePanel(cg::CGRect frame = cg::CGRectMake(100, 100, 400, 300)) {
        return appkit::NSWindow::make<TestPanel>(frame);
    }
    std::shared_ptr<server::LimnerAppDelegate> delegate;
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

} // namespace
