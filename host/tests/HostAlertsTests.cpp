// The program's alerts: an NSAlert run modally in an in-process window server on the fake clock,
// answered with the button the user pressed.
#include "host/HostAlerts.h"

#include "platform/appkit/NSAlert.h"
#include "platform/appkit/NSApplication.h"
#include "platform/core/Clock.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/iokit/InProcessKernel.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace host {
namespace {

class NSAlertHostAlertsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::installFakeClock();
        m_kernel = std::make_shared<iokit::InProcessKernel>(iokit::InProcessKernelOptions{});
        m_kernel->install();
    }
    void TearDown() override {
        for (auto& window : appkit::NSApp()->windows())
            window->close();
        dispatch::RunLoop::main()->serveReady(dispatch::kDefaultRunLoopMode);
        m_kernel->shutdown();
        m_kernel.reset();
    }
    // Runs block on the next main-loop turn, that is inside the alert's modal loop.
    static void whileShown(std::function<void()> block) {
        dispatch::dispatch_async(dispatch::dispatch_get_main_queue(), std::move(block));
    }

  private:
    std::shared_ptr<iokit::InProcessKernel> m_kernel;
};

TEST_F(NSAlertHostAlertsTest, ShowsTheTextsAndButtonsAndAnswersTheButtonPressed) {
    NSAlertHostAlerts alerts;
    std::string title;
    std::vector<std::string> buttons;
    whileShown([&] {
        cf::Value open = cg::CGSCopyOpenAlerts();
        ASSERT_EQ(open.count(), 1u);
        title = *open.at(0)->find("message")->asString();
        auto window = appkit::NSApp()->modalWindow();
        ASSERT_TRUE(window);
        // The second button, "Cancel", is the one the user chooses.
        for (auto& button : window->contentView()->subviews())
            if (auto b = std::dynamic_pointer_cast<appkit::NSButton>(button)) {
                buttons.push_back(b->title());
                if (b->title() == "Cancel") b->performClick();
            }
    });
    EXPECT_EQ(alerts.runModal("Logout required", "Log out now?", {"Log Out Now", "Cancel"}), 1001);
    EXPECT_EQ(title, "Logout required");
    EXPECT_NE(std::find(buttons.begin(), buttons.end(), "Log Out Now"), buttons.end());
    EXPECT_EQ(appkit::NSApp()->modalWindow(), nullptr);
    EXPECT_EQ(cg::CGSCopyOpenAlerts().count(), 0u);
}

TEST_F(NSAlertHostAlertsTest, WithoutButtonsTheAlertHasItsOwnOKAnsweringFirst) {
    NSAlertHostAlerts alerts;
    size_t count = 0;
    whileShown([&] {
        cf::Value open = cg::CGSCopyOpenAlerts();
        ASSERT_EQ(open.count(), 1u);
        count = open.at(0)->find("buttons")->count();
        appkit::NSApp()->stopModalWithCode(NSAlertFirstButtonReturn);
    });
    EXPECT_EQ(alerts.runModal("Could not connect", "Tessel could not communicate with the display device."),
              NSAlertFirstButtonReturn);
    EXPECT_EQ(count, 1u);
}

TEST_F(NSAlertHostAlertsTest, ActivationMakesTheHostActive) {
    NSAlertHostAlerts alerts;
    alerts.activateIgnoringOtherApps();
    EXPECT_EQ(cg::CGSActiveApplicationPID(), ::getpid());
    for (int i = 0; i < 8; ++i) // the window server's become-active push
        dispatch::RunLoop::main()->serveReady(dispatch::kDefaultRunLoopMode);
    EXPECT_TRUE(appkit::NSApp()->isActive());
}

} // namespace
} // namespace host
