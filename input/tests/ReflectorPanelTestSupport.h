// What the reflector panel tests share: the in-process kernel with both kexts and a window
// server on the fake clock, one virtual display (1024 x 768 beside the main display), a session
// standing for the screen server, a delegate that records, and an environment of plain values.
#pragma once

#include "display/QNBDisplaySet.h"
#include "display/tests/DisplayTestSupport.h"
#include "input/QNDesktopReflectorPanelWindow.h"
#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSCursor.h"
#include "platform/dispatch/Dispatch.h"

#include <arpa/inet.h>

namespace input::testing {

class FakeSession : public QNDesktopReflectorSession {
  public:
    std::shared_ptr<display::QNBDisplaySet> screen() const override { return set; }
    std::optional<std::string> connectedHostName() const override { return hostName; }
    std::optional<std::string> connectedDisplayName() const override { return displayName; }
    net::SocketAddress connectedAddress() const override { return address; }
    bool isUSB() const override { return usb; }

    std::shared_ptr<display::QNBDisplaySet> set;
    std::optional<std::string> hostName = "Ref";
    std::optional<std::string> displayName = "Ref";
    net::SocketAddress address = *net::SocketAddress::fromNumericHost("127.0.0.2", 50000);
    bool usb = false;
};

class RecordingDelegate : public QNDesktopReflectorDelegate {
  public:
    void reflectorPanelClosed(QNDesktopReflectorPanel&) override { ++closes; }
    bool reflectorPanelShouldSuppressHelpSheet(QNDesktopReflectorPanel&) override { return suppress; }
    void pleaseDoSuppressHelpSheet(bool on) override {
        suppressRequests.push_back(on);
        suppress = on;
    }
    int closes = 0;
    bool suppress = false;
    std::vector<bool> suppressRequests;
};

class ReflectorPanelTest : public display::testing::DisplayTest {
  protected:
    void SetUp() override {
        DisplayTest::SetUp();
        boot(config());
        enable(0, {1}); // 1024 x 768 at x 1440
        session = std::make_shared<FakeSession>();
        session->set = virtualDisplaySet();
        delegate = std::make_shared<RecordingDelegate>();
        environment.localWindowCount = [this] { return visiblePanels; };
        environment.sendInvite = [this](const net::SocketAddress& address) {
            invitations.push_back(address);
        };
        environment.mouseHotspotOnDisplay = [this](const auto&) { return hotSpot; };
        environment.mouseCursorOnDisplay = [this](const auto&) { return cursor; };
    }
    void TearDown() override {
        for (auto& window : appkit::NSApp()->windows())
            window->close();
        dispatch::runUntilIdle();
        // A test that ends mid-animation must not leave the guard to the next one.
        input::LumoAnimationGuard::end();
        DisplayTest::TearDown();
    }
    virtual windowserver::WindowServerConfig config() { return {}; }

    static std::shared_ptr<display::QNBDisplaySet> virtualDisplaySet() {
        auto set = std::make_shared<display::QNBDisplaySet>();
        set->addDisplay(std::make_shared<display::QNBDisplay>(0x100));
        set->finalizeSet();
        return set;
    }
    std::shared_ptr<QNDesktopReflectorPanelWindow> makePanel() {
        auto panel = QNDesktopReflectorPanelWindow::initWithScreenServer(session, environment);
        if (panel) {
            panel->setDelegate(delegate);
            panel->setReflectorDelegate(delegate);
        }
        return panel;
    }
    // Runs what the panel queued through the global queue and the main queue.
    static void pump() {
        dispatch::drain(dispatch::dispatch_get_global_queue(dispatch::DISPATCH_QUEUE_PRIORITY_DEFAULT));
        dispatch::runUntilIdle();
    }
    static void settle(double seconds) {
        pump();
        dispatch::advanceAndRun(platform::seconds(seconds));
        pump();
    }
    static bool isListening(const QNDesktopReflectorPanelWindow& panel) {
        for (const auto& listener :
             display::QNBDisplayConfiguration::displayConfigurationManager()->registeredDisplays())
            if (listener.get() == static_cast<const display::QNBDisplayRefreshProtocol*>(&panel)) return true;
        return false;
    }
    static cg::CGRect topLeftAndSize(const appkit::NSWindow& window) {
        const cg::CGRect f = window.frame();
        return cg::CGRectMake(f.origin.x, f.origin.y + f.size.height, f.size.width, f.size.height);
    }

    std::shared_ptr<FakeSession> session;
    std::shared_ptr<RecordingDelegate> delegate;
    QNDesktopReflectorEnvironment environment;
    uint64_t visiblePanels = 0;
    std::vector<net::SocketAddress> invitations;
    cg::CGPoint hotSpot{2, 3};
    std::shared_ptr<appkit::NSCursor> cursor = appkit::NSCursor::arrowCursor();
};

} // namespace input::testing
