// The screen server's own warnings with real processes: a private platformd with both kexts,
// TesselHelper.app launched by it, the warnings answered through platformctl's interface verbs
// as a user would, the reference client's library as the devices. Waits end on events.
#include "foundation/QNBPreferences.h"
#include "foundation/Vocabulary.h"
#include "platform/corefoundation/CFPreferences.h"
#include "server/tests/RoadTestSupport.h"
#include "tools/refclient/Client.h"

#include <gtest/gtest.h>

#include <csignal>

namespace {

using platformd::testing::PlatformdTest;
using platformd::testing::PrivatePlatformd;
using platformd::testing::runProgram;
using namespace server::testing;

const std::string kHelperApp = TESSEL_HELPER_APP;
constexpr char kGraphicsWarning[] = "Graphics Accelerator Warning";
constexpr char kPerformanceTip[] = "Performance Tip";

platformd::testing::ProgramResult platformctl(std::vector<std::string> args) {
    args.insert(args.begin(), PrivatePlatformd::platformctlPath());
    return runProgram(args);
}

// The helper's own preference, as `platformctl prefs read` prints it; nullopt when unset.
std::optional<std::string> helperPreference(const std::string& key) {
    auto r = platformctl({"prefs", "read", kHelperId, key});
    if (r.status != 0) return std::nullopt;
    return r.out;
}

class ShellAlertsRoad : public PlatformdTest {
  protected:
    std::string helperLog() const {
        return platformd::testing::readFile(m_platformd->root() + "/var/log/TesselHelper.log");
    }
    // Starts the helper without waiting for its launch to finish; its pid.
    pid_t startHelper() {
        int64_t since = lastSequence();
        if (!ns::NSWorkspace::sharedWorkspace().launchApplication(kHelperApp)) return 0;
        auto launched = waitEvent("launch", {{"bundleIdentifier", kHelperId}}, since, 60);
        return launched ? static_cast<pid_t>(launched->find("pid")->integerValue()) : 0;
    }
    // Asks the helper to quit and waits for it to be gone.
    bool quitHelper() {
        int64_t since = lastSequence();
        post(foundation::kTerminateScreenServer);
        return waitEvent("exit", {{"bundleIdentifier", kHelperId}}, since, 60).has_value();
    }
    // The next alert of that message the helper opens after `after`.
    std::optional<cf::Value> alertBegins(const std::string& message, int64_t after) {
        return waitEvent("alert-begin", {{"message", message}}, after, 60);
    }
    // How many alerts of that message opened after `after`.
    static size_t alertsSince(const std::string& message, int64_t after) {
        size_t count = 0;
        for (const auto& event : platformd::testing::eventsAfter(after, "alert-begin"))
            if (const cf::Value* m = event.find("message"); m && m->asString() && *m->asString() == message)
                ++count;
        return count;
    }
    // Everything the helper's main thread had to do before now is done: it has answered a
    // hosting query posted after it.
    bool helperCaughtUp() {
        int64_t since = lastSequence();
        post(foundation::kDisplayHostingMultiQuery);
        return waitEvent("distributed-post", {{"name", foundation::kDisplayHostingMultiResponse}}, since, 60)
            .has_value();
    }
    std::unique_ptr<refclient::Client> device(const std::string& address) {
        refclient::Config config;
        config.bindAddress = address;
        config.announce = false;
        auto client = std::make_unique<refclient::Client>(config);
        std::string error;
        EXPECT_TRUE(client->start(&error)) << error;
        return client;
    }
    // Invites a device as the host does; answers once the helper has posted its connection.
    bool invite(const std::string& host) {
        int64_t since = lastSequence();
        post(foundation::kConnectServerToHost,
             cf::Dictionary{{foundation::kConnectToHostName, host},
                            {foundation::kServiceKey, "local.~_qnexvscreen._udp~" + host},
                            {foundation::kDisplayNameKey, host}});
        return waitEvent("distributed-post",
                         {{"name", foundation::kServerConnectedToDevice}, {"userInfo.DeviceName", host}},
                         since)
            .has_value();
    }
};

// A notebook with switchable graphics of a model that freezes with it, on a system before the fix.
class ShellAlertsRoadOnAMultiplexerMac : public ShellAlertsRoad {
  protected:
    platform::Profile profile() const override {
        platform::Profile p;
        p.modelIdentifier = "MacBookPro6,2";
        p.productVersion = "10.6.4";
        p.graphicsMultiplexer = 4;
        return p;
    }
};

TEST_F(ShellAlertsRoadOnAMultiplexerMac, TheGraphicsWarningHoldsTheLaunchUntilOKAndThenNeverComesBack) {
    int64_t since = lastSequence();
    ASSERT_GT(startHelper(), 0);
    auto begun = alertBegins(kGraphicsWarning, since);
    ASSERT_TRUE(begun) << helperLog();
    EXPECT_NE(begun->find("informative")->asString()->find("For help, visit https://www.quenby.com/support."),
              std::string::npos);
    EXPECT_EQ(platformctl({"ui", "wait", "TesselHelper", "window \"Graphics Accelerator Warning\""}).status,
              0);
    EXPECT_TRUE(platformd::testing::eventsAfter(since, "finished-launching").empty())
        << "the launch waits for the answer";
    auto press =
        platformctl({"ui", "press", "TesselHelper", "window \"Graphics Accelerator Warning\"/button \"OK\""});
    ASSERT_EQ(press.status, 0) << press.err;
    ASSERT_TRUE(waitEvent("finished-launching", {{"bundleIdentifier", kHelperId}}, since, 60)) << helperLog();
    EXPECT_EQ(helperPreference("RunCount"), "1\n");

    ASSERT_TRUE(quitHelper());
    since = lastSequence();
    ASSERT_GT(launchHelper(kHelperApp), 0) << helperLog();
    EXPECT_EQ(alertsSince(kGraphicsWarning, since), 0u);
}

TEST_F(ShellAlertsRoadOnAMultiplexerMac, QuittingWhileTheWarningIsUpLeavesItForTheNextLaunch) {
    int64_t since = lastSequence();
    const pid_t pid = startHelper();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(alertBegins(kGraphicsWarning, since)) << helperLog();
    since = lastSequence();
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    ASSERT_TRUE(waitEvent("exit", {{"bundleIdentifier", kHelperId}}, since, 60));
    const auto runCount = helperPreference("RunCount");
    EXPECT_TRUE(!runCount || *runCount == "0\n") << *runCount;

    since = lastSequence();
    ASSERT_GT(startHelper(), 0);
    EXPECT_TRUE(alertBegins(kGraphicsWarning, since)) << "shown again";
    EXPECT_EQ(
        platformctl({"ui", "press", "TesselHelper", "window \"Graphics Accelerator Warning\"/button \"OK\""})
            .status,
        0);
    EXPECT_TRUE(waitEvent("finished-launching", {{"bundleIdentifier", kHelperId}}, since, 60));
}

// The application menu a person reaches: About TesselHelper opens the About window, and
// Disconnect All Displays asks the host to disconnect every display.
TEST_F(ShellAlertsRoad, TheApplicationMenuOpensAboutAndDisconnectsEveryDisplay) {
    ASSERT_GT(launchHelper(kHelperApp), 0) << helperLog();
    const std::string menu = "statusitem \"TesselHelper\"";
    auto about = platformctl({"ui", "menu", "TesselHelper", menu, "--choose", "About TesselHelper"});
    ASSERT_EQ(about.status, 0) << about.err << helperLog();
    EXPECT_NE(about.out.find("menuitem \"About TesselHelper\""), std::string::npos) << about.out;
    EXPECT_EQ(platformctl({"ui", "wait", "TesselHelper", "window \"About TesselHelper\"", "--timeout", "30"})
                  .status,
              0);

    const int64_t since = lastSequence();
    auto disconnect =
        platformctl({"ui", "menu", "TesselHelper", menu, "--choose", "Disconnect All Displays"});
    ASSERT_EQ(disconnect.status, 0) << disconnect.err;
    EXPECT_NE(disconnect.out.find("menuitem \"Disconnect All Displays\""), std::string::npos) << disconnect.out;
    EXPECT_TRUE(
        waitEvent("distributed-post", {{"name", foundation::kDisconnectAllConnectedDisplays}}, since, 60));
}

TEST_F(ShellAlertsRoad, RetinaSessionsBringOnePerformanceTipEachUntilTheBoxIsTicked) {
    cf::CFPreferencesSetAppValue(foundation::kEnableRetinaDisplayOption, cf::Value(true),
                                 foundation::kApplicationID);
    cf::CFPreferencesAppSynchronize(foundation::kApplicationID);
    ASSERT_GT(launchHelper(kHelperApp), 0) << helperLog();
    EXPECT_EQ(alertsSince(kGraphicsWarning, 0), 0u) << "no warning on a Mac without switchable graphics";

    auto first = device("127.0.0.2");
    int64_t since = lastSequence();
    ASSERT_TRUE(invite("127.0.0.2")) << helperLog();
    const std::string tip = "window \"Performance Tip\"";
    for (int turn = 0; turn < 4; ++turn) {
        auto begun = alertBegins(kPerformanceTip, since);
        ASSERT_TRUE(begun) << "tip " << turn << "\n" << helperLog();
        since = begun->find("sequence") ? begun->find("sequence")->integerValue() : lastSequence();
        ASSERT_EQ(platformctl({"ui", "wait", "TesselHelper", tip, "--timeout", "30"}).status, 0);
        if (turn == 0) {
            auto box = platformctl({"ui", "press", "TesselHelper", tip + "/checkbox"});
            ASSERT_EQ(box.status, 0) << box.err;
        }
        auto close = platformctl({"ui", "press", "TesselHelper", tip + "/button \"Close\""});
        ASSERT_EQ(close.status, 0) << close.err;
        ASSERT_TRUE(waitEvent("alert-end", {}, since, 60));
    }
    ASSERT_TRUE(helperCaughtUp());
    EXPECT_EQ(helperPreference("ShouldSupressRetinaPerformanceAlert"), "YES\n");

    auto second = device("127.0.0.3");
    since = lastSequence();
    ASSERT_TRUE(invite("127.0.0.3")) << helperLog();
    ASSERT_TRUE(helperCaughtUp());
    EXPECT_EQ(alertsSince(kPerformanceTip, since), 0u);
}

} // namespace
