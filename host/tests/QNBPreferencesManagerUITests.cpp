// The preferences window operated through `platformctl ui`, as a person would, in an application
// of its own under a private platformd: a keystroke recorded for the bottom barrel button, and
// the HiDPI switch's log-out alert answered with Cancel, then with Log Out Now.
#include "platform/ctl/tests/UITestSupport.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr char kApp[] = "Preferences Window App";
constexpr char kDomain[] = "com.quenby.TesselHost2";
constexpr char kDidChange[] = "com.quenby.Tessel.TSEPrefsDidChangeNotification";

class QNBPreferencesManagerUITest : public uitest::UIAppTest {
  protected:
    QNBPreferencesManagerUITest() : UIAppTest(kApp) {}
    void SetUp() override {
        UIAppTest::SetUp();
        ASSERT_TRUE(m_app.start({PREFERENCESWINDOWAPP_BUNDLE "/Contents/MacOS/PreferencesWindowApp"},
                                m_platformd->root() + "/app.log"));
        ASSERT_EQ(run({"ui", "wait", kApp, "window \"Preferences\"", "--timeout", "60"}), 0)
            << m_err.str() << platformd::testing::readFile(m_platformd->root() + "/app.log");
    }
    std::string appLog() const { return platformd::testing::readFile(m_platformd->root() + "/app.log"); }
    // From here on, waits look only at what happens next.
    void mark() {
        auto reply =
            ipc::Connection::shared()->request(ipc::op::recordEvent, cf::Dictionary{{"kind", "test-mark"}});
        ASSERT_TRUE(reply.ok);
        m_mark = reply.result->find("sequence")->integerValue();
    }
    bool waitEvent(const std::string& kind, cf::Dictionary match = {}) {
        auto reply = ipc::Connection::shared()->request(ipc::op::waitEvent,
                                                        cf::Dictionary{{"kind", kind},
                                                                       {"match", cf::Value(std::move(match))},
                                                                       {"after", m_mark},
                                                                       {"timeout", 30.0}});
        return reply.ok && reply.result && reply.result->objectForKey("event");
    }
    // The application announced its preferences after the mark: what it stored is on disk.
    bool preferencesAnnounced() { return waitEvent("distributed-post", {{"name", kDidChange}}); }
    // A preference of the host (or, for the window server, of any user on this host), read
    // afresh from disk.
    std::string pref(const std::string& key, const std::string& domain = kDomain, bool windowServer = false) {
        return readPreference(domain, key, windowServer);
    }

    platformd::testing::ChildProcess m_app;
    int64_t m_mark = 0;
};

TEST_F(QNBPreferencesManagerUITest, AKeystrokeIsRecordedForTheBottomButton) {
    ASSERT_EQ(run({"ui", "press", kApp, "button \"Stylus\""}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "#button1Action"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "menu", kApp, "#button1Action", "--choose", "Keystroke…"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "#button1ShortCutEditor", "--enabled"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "click", kApp, "#button1ShortCutEditor"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "key", kApp, "cmd+shift+k"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "#button1ShortCutEditor/\"⇧⌘ K\""}), 0) << m_err.str() << appLog();

    EXPECT_EQ(pref("buttonAction4"), "10");
    EXPECT_EQ(pref("buttonShortcutKeyCode4"), "40");
    EXPECT_EQ(pref("buttonShortcutCharacter4"), "75");
    const long modifiers = std::stol(pref("buttonShortcutModifiers4"));
    EXPECT_EQ(modifiers & 0x120000, 0x120000) << modifiers;
}

TEST_F(QNBPreferencesManagerUITest, TheLogOutAlertCancelledChangesNothingAndLogOutNowRunsTheTool) {
    mark();
    ASSERT_EQ(run({"ui", "press", kApp, "#useHiDPISwitch"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "window \"Logout required\""}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "press", kApp, "window \"Logout required\"/button \"Cancel\""}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "window \"Logout required\"", "--gone"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "wait", kApp, "#useHiDPISwitch", "--value", "0"}), 0) << m_err.str();
    ASSERT_TRUE(preferencesAnnounced());
    EXPECT_EQ(pref("DisplayResolutionEnabled"), "NO");
    EXPECT_EQ(pref("enableRetinaDisplay"), "NO");
    ASSERT_EQ(run({"events", "--kind", "logout-requested"}), 0);
    EXPECT_EQ(m_out.str(), "");

    mark();
    ASSERT_EQ(run({"ui", "press", kApp, "#useHiDPISwitch"}), 0) << m_err.str();
    ASSERT_EQ(run({"ui", "press", kApp, "window \"Logout required\"/button \"Log Out Now\""}), 0)
        << m_err.str();
    ASSERT_TRUE(preferencesAnnounced());
    ASSERT_EQ(run({"wait-event", "logout-requested", "--timeout", "30"}), 0) << m_err.str() << appLog();
    EXPECT_NE(m_out.str().find("com.quenby.displayresolutionson"), std::string::npos) << m_out.str();
    ASSERT_EQ(run({"wait-event", "tool-exit", "--timeout", "30"}), 0) << m_err.str();
    EXPECT_EQ(pref("DisplayResolutionEnabled"), "YES");
    EXPECT_EQ(pref("DisplayResolutionEnabled", "com.apple.windowserver", true), "YES");
}

} // namespace
