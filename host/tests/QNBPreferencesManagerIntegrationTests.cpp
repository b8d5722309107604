// The HiDPI switch under a private platformd, with a bundle carrying the two helper tools: "Log Out
// Now" runs the "on" tool with the log-out argument and the window server's setting becomes YES;
// "Cancel" runs nothing.
#include "host/QNBPreferencesManager.h"
#include "host/QNBTesselPreferencesViewController.h"

#include "foundation/QNBPreferences.h"

#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSButton.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"

#include <gtest/gtest.h>

namespace host {
namespace {

const std::string kToolBundle = HIDPI_TEST_BUNDLE;

class QNBPreferencesManagerHiDPITest : public platformd::testing::PlatformdTest {
  protected:
    void SetUp() override {
        PlatformdTest::SetUp();
        ns::NSBundle::setMainBundle(ns::NSBundle::bundleWithPath(kToolBundle));
        m_preferences = std::make_shared<foundation::QNBPreferences>([](const std::string&, uint64_t) {});
        m_manager = QNBPreferencesManager::make(*m_preferences);
    }
    void TearDown() override {
        if (m_manager && m_manager->preferencesPanel) m_manager->preferencesPanel->close();
        m_manager.reset();
        ns::NSBundle::setMainBundle(nullptr);
        PlatformdTest::TearDown();
    }
    std::shared_ptr<ipc::Connection> connection() { return ipc::Connection::shared(); }
    void mark() {
        auto reply = connection()->request(ipc::op::recordEvent, cf::Dictionary{{"kind", "test-mark"}});
        ASSERT_TRUE(reply.ok);
        m_mark = reply.result->find("sequence")->integerValue();
    }
    std::optional<cf::Value> waitEvent(const std::string& kind, double timeout = 20) {
        auto reply = connection()->request(ipc::op::waitEvent, cf::Dictionary{{"kind", kind},
                                                                              {"match", cf::Dictionary{}},
                                                                              {"after", m_mark},
                                                                              {"timeout", timeout}});
        if (!reply.ok || !reply.result) return std::nullopt;
        return reply.result->objectForKey("event");
    }
    size_t eventCount(const std::string& kind) {
        auto reply =
            connection()->request(ipc::op::events, cf::Dictionary{{"kind", kind}, {"after", m_mark}});
        const cf::Value* list = reply.ok && reply.result ? reply.result->find("events") : nullptr;
        return list ? list->count() : 0;
    }
    // Clicks the HiDPI switch and presses the alert's button titled answer.
    bool clickHiDPIAnswering(const std::string& answer) {
        bool answered = false;
        dispatch::dispatch_async(dispatch::dispatch_get_main_queue(), [answer, &answered] {
            auto window = appkit::NSApp()->modalWindow();
            if (!window) return;
            for (auto& view : window->contentView()->subviews())
                if (auto button = std::dynamic_pointer_cast<appkit::NSButton>(view);
                    button && button->title() == answer) {
                    answered = true;
                    button->performClick();
                }
        });
        auto hidpi = m_manager->tesselPreferencesViewController->useHiDPISwitch.lock();
        if (!hidpi) return false;
        hidpi->performClick();
        return answered;
    }

    int64_t m_mark = 0;
    std::shared_ptr<foundation::QNBPreferences> m_preferences;
    std::shared_ptr<QNBPreferencesManager> m_manager;
};

TEST_F(QNBPreferencesManagerHiDPITest, LogOutNowRunsTheOnToolWithTheLogoutArgument) {
    mark();
    ASSERT_TRUE(clickHiDPIAnswering("Log Out Now"));
    auto run = waitEvent("tool-run");
    ASSERT_TRUE(run);
    EXPECT_TRUE(run->find("path")->asString()->ends_with("/Resources/com.quenby.displayresolutionson"));
    EXPECT_EQ(*run->find("arguments"), cf::Value(cf::Array{"1\n"}));
    ASSERT_TRUE(waitEvent("tool-exit"));
    EXPECT_EQ(eventCount("logout-requested"), 1u);
    m_preferences->synchronizeWindowServer();
    EXPECT_TRUE(m_preferences->displayResolutionEnabled());
}

TEST_F(QNBPreferencesManagerHiDPITest, CancelRunsNoTool) {
    mark();
    ASSERT_TRUE(clickHiDPIAnswering("Cancel"));
    // The tool would have been started before the click returned: the request is answered.
    EXPECT_EQ(eventCount("tool-run"), 0u);
    EXPECT_EQ(eventCount("authorization"), 0u);
    EXPECT_FALSE(m_preferences->enableHiDPIResolutions());
}

} // namespace
} // namespace host
