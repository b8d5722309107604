// The window server's requests as platformd hands them over: malformed, hostile or unknown
// arguments are refused (or answer the facade's error) and change nothing; profile values
// out of range keep their defaults.
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/CFPreferences.h"
#include "platform/corefoundation/Profile.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/kernel/Kernel.h"
#include "platform/windowserver/WindowServer.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace windowserver {

class WindowServerRequests : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::installFakeClock();
        m_kernel = std::make_unique<kernel::Kernel>();
        m_server = std::make_unique<WindowServer>(*m_kernel);
        m_server->boot();
        m_cid = m_server->connect({4242, "Test", "com.example.test"}, [this](const cf::Value& body) {
            std::lock_guard lock(m_mutex);
            m_pushes.push_back(body);
        });
    }
    void TearDown() override {
        m_server->stop();
        m_kernel->shutdown();
    }
    std::optional<cf::Value> ask(std::string_view op, cf::Dictionary args, uint32_t cid = 0) {
        return m_server->serveAndWait(cid ? cid : m_cid, op, cf::Value(std::move(args)));
    }
    int64_t status(std::string_view op, cf::Dictionary args) {
        auto r = ask(op, std::move(args));
        return r && r->find("status") ? r->find("status")->integerValue() : -1;
    }
    size_t pushes() {
        std::lock_guard lock(m_mutex);
        return m_pushes.size();
    }

    platform::LogCapture m_log{true};
    std::unique_ptr<kernel::Kernel> m_kernel;
    std::unique_ptr<WindowServer> m_server;
    uint32_t m_cid = 0;
    std::mutex m_mutex;
    std::vector<cf::Value> m_pushes;
};

TEST_F(WindowServerRequests, MalformedArgumentsAreRefusedAndChangeNothing) {
    ASSERT_NE(m_cid, 0u);
    EXPECT_FALSE(m_server->serveAndWait(m_cid + 100, op::seed, cf::Value::emptyDictionary())); // unknown cid
    EXPECT_FALSE(m_server->serveAndWait(m_cid, op::seed, cf::Value("not a dictionary")));
    EXPECT_FALSE(ask("ws.noSuchThing", {}));
    EXPECT_FALSE(ask(op::display, {{"display", "one"}}));
    EXPECT_FALSE(ask(op::display, {}));
    EXPECT_FALSE(ask(op::modes, {{"display", -1}}));
    EXPECT_FALSE(ask(op::damage, {{"x", NAN}, {"y", 0}, {"width", 1}, {"height", 1}}));
    EXPECT_FALSE(ask(op::damage, {{"x", 0}, {"y", 0}, {"width", -1}, {"height", 1}}));
    EXPECT_FALSE(ask(op::damage, {{"x", 0}, {"y", 0}, {"width", 1e12}, {"height", 1}}));
    EXPECT_FALSE(ask(op::cursorMove, {{"x", INFINITY}, {"y", 0}}));
    EXPECT_FALSE(ask(op::cursorHide, {{"hide", 1}}));
    uint32_t seed = m_server->cursor().seed;
    EXPECT_FALSE(ask(op::cursorImage, {{"system", 7}}));
    EXPECT_FALSE(
        ask(op::cursorImage,
            {{"width", 2}, {"height", 2}, {"hotX", 0}, {"hotY", 0}, {"pixels", cf::Value(cf::Bytes(15))}}));
    EXPECT_FALSE(
        ask(op::cursorImage,
            {{"width", 2}, {"height", 2}, {"hotX", 5}, {"hotY", 0}, {"pixels", cf::Value(cf::Bytes(16))}}));
    EXPECT_FALSE(ask(
        op::cursorImage,
        {{"width", 2000}, {"height", 2}, {"hotX", 0}, {"hotY", 0}, {"pixels", cf::Value(cf::Bytes(16000))}}));
    EXPECT_EQ(m_server->cursor().seed, seed);
    EXPECT_EQ(status(op::cursorData, {{"cid", 9999}}), 1001);
    // Configuration: wrong kinds and ranges refuse; unknown displays and modes answer 1001.
    EXPECT_FALSE(ask(op::configure, {{"option", 3}, {"modes", cf::Array{}}, {"mirrors", cf::Array{}}}));
    EXPECT_FALSE(ask(op::configure, {{"option", 0}, {"modes", "x"}, {"mirrors", cf::Array{}}}));
    cf::Dictionary badScale{{"display", 1}, {"modeDisplay", 1}, {"ioMode", 0}, {"resolution", 3.0}};
    EXPECT_FALSE(
        ask(op::configure, {{"option", 0}, {"modes", cf::Array{badScale}}, {"mirrors", cf::Array{}}}));
    cf::Dictionary unknownMode{{"display", 1}, {"modeDisplay", 1}, {"ioMode", 77}, {"resolution", 1.0}};
    EXPECT_EQ(
        status(op::configure, {{"option", 0}, {"modes", cf::Array{unknownMode}}, {"mirrors", cf::Array{}}}),
        1001);
    cf::Dictionary selfMirror{{"display", 1}, {"master", 1}};
    EXPECT_EQ(
        status(op::configure, {{"option", 2}, {"modes", cf::Array{}}, {"mirrors", cf::Array{selfMirror}}}),
        1001);
    EXPECT_EQ(pushes(), 0u);
    // Windows: over-long titles, NaN or huge frames, someone else's window.
    cf::Dictionary window{{"title", "T"}, {"level", 0},       {"x", 0},
                          {"y", 0},       {"width", 100},     {"height", 100},
                          {"alpha", 1.0}, {"onScreen", true}, {"ignoresMouse", false}};
    auto created = ask(op::newWindow, window);
    ASSERT_TRUE(created);
    int64_t number = created->find("window")->integerValue();
    auto longTitle = window;
    longTitle.insert_or_assign("title", std::string(1025, 'x'));
    EXPECT_FALSE(ask(op::newWindow, longTitle));
    auto nanFrame = window;
    nanFrame.insert_or_assign("width", NAN);
    EXPECT_FALSE(ask(op::newWindow, nanFrame));
    auto fakeOwner = window;
    fakeOwner.insert_or_assign("owner", 0x40000000);
    EXPECT_FALSE(ask(op::newWindow, fakeOwner));
    uint32_t other = m_server->connect({4343, "Other", ""}, nullptr);
    EXPECT_EQ(m_server->serveAndWait(other, op::setWindow, cf::Dictionary{{"window", number}, {"x", 5}})
                  ->find("status")
                  ->integerValue(),
              1001);
    EXPECT_FALSE(
        ask(op::setWindow, {{"window", number}, {"x", -1e9}, {"y", 0}, {"width", 1}, {"height", 1}}));
    auto list = ask(op::windowDescriptions, {{"windows", cf::Array{number, int64_t(999), "x"}}});
    ASSERT_TRUE(list);
    ASSERT_EQ(list->find("windows")->count(), 1u);
    EXPECT_EQ(list->find("windows")->at(0)->find("kCGWindowBounds")->find("X")->doubleValue(), 0);
    // Accessibility: unknown pids, answers nobody asked for, malformed answers.
    EXPECT_EQ(status(op::axRequest, {{"pid", 0x4FFFFFFF}, {"element", 0}, {"attribute", "AXWindows"}}),
              -25202);
    EXPECT_FALSE(ask(op::axRequest, {{"pid", 12}, {"element", 0}, {"attribute", std::string(300, 'a')}}));
    EXPECT_FALSE(ask(op::axAnswer, {{"request", 77}, {"status", 0}}));
    EXPECT_EQ(status(op::axRespond, {{"pid", 999}, {"responding", true}}), -25201); // not its own pid
    m_server->disconnect(other);
}

// A queued request does not hold its caller while the window server's thread is busy: the
// caller (a connection's reader) goes on, and the answer comes once the thread gets to it, in
// the order the requests came.
TEST_F(WindowServerRequests, QueuedRequestsAreAnsweredLaterInOrderWithoutHoldingTheCaller) {
    std::mutex mutex;
    std::condition_variable changed;
    bool busy = false, release = false;
    std::vector<int> answers;
    std::thread worker([&] {
        m_server->perform([&] {
            std::unique_lock lock(mutex);
            busy = true;
            changed.notify_all();
            changed.wait(lock, [&] { return release; });
        });
    });
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return busy; });
    }
    for (int i = 0; i < 3; ++i)
        m_server->serveQueued(m_cid, op::display, cf::Dictionary{{"display", 1}},
                              [&, i](std::optional<cf::Value> result, const std::string&) {
                                  std::lock_guard lock(mutex);
                                  if (result) answers.push_back(i);
                                  changed.notify_all();
                              });
    {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(answers.empty()); // the thread is still busy: nothing answered, nobody held
        release = true;
        changed.notify_all();
        changed.wait(lock, [&] { return answers.size() == 3; });
    }
    worker.join();
    EXPECT_EQ(answers, (std::vector<int>{0, 1, 2}));
}

TEST_F(WindowServerRequests, AccessibilityAnswersComeFromTheResponderOnlyAndInTime) {
    auto fake = ask(op::axFakeApplication, {{"name", "Fake"}, {"bundleIdentifier", "com.example.fake"}});
    ASSERT_TRUE(fake);
    int64_t pid = fake->find("pid")->integerValue();
    EXPECT_EQ(pid, WindowServer::kFirstFakePID);
    ASSERT_EQ(status(op::axRespond, {{"pid", pid}, {"responding", true}}), 0);
    uint32_t asker = m_server->connect({5000, "Asker", ""}, nullptr);
    std::optional<cf::Value> answer;
    bool answered = false;
    m_server->serve(asker, op::axRequest,
                    cf::Dictionary{{"pid", pid}, {"element", 0}, {"attribute", "AXTitle"}},
                    [&](std::optional<cf::Value> result, const std::string&) {
                        answer = result;
                        answered = true;
                    });
    m_server->sync();
    ASSERT_EQ(pushes(), 1u);
    int64_t request = m_pushes[0].find("request")->integerValue();
    // Another connection cannot answer it; a malformed value is refused; the asker still waits.
    EXPECT_FALSE(
        m_server->serveAndWait(asker, op::axAnswer, cf::Dictionary{{"request", request}, {"status", 0}}));
    EXPECT_FALSE(ask(op::axAnswer, {{"request", request}, {"status", 0}, {"value", "plain"}}));
    EXPECT_FALSE(answered);
    // Unanswered for 6 s: cannot complete; a late answer is refused.
    platform::installFakeClock().advance(platform::seconds(6));
    m_server->sync();
    ASSERT_TRUE(answered);
    EXPECT_EQ(answer->find("status")->integerValue(), -25204);
    EXPECT_FALSE(ask(op::axAnswer, {{"request", request}, {"status", 0}}));
    // The switch off: every request answers API disabled.
    ASSERT_TRUE(ask(op::axSetEnabled, {{"enabled", false}}));
    EXPECT_EQ(status(op::axRequest, {{"pid", pid}, {"element", 0}, {"attribute", "AXTitle"}}), -25211);
    m_server->disconnect(asker);
}

TEST_F(WindowServerRequests, AccessibilityActionsAndSeveralReadsReachTheResponderAsAsked) {
    auto fake = ask(op::axFakeApplication, {{"name", "Fake"}, {"bundleIdentifier", "com.example.fake"}});
    ASSERT_TRUE(fake);
    int64_t pid = fake->find("pid")->integerValue();
    ASSERT_EQ(status(op::axRespond, {{"pid", pid}, {"responding", true}}), 0);
    uint32_t asker = m_server->connect({5000, "Asker", ""}, nullptr);
    auto send = [&](cf::Dictionary args) {
        m_server->serve(asker, op::axRequest, cf::Value(std::move(args)),
                        [](std::optional<cf::Value>, const std::string&) {});
        m_server->sync();
    };
    send({{"pid", pid}, {"element", 7}, {"attribute", "AXPress"}, {"action", true}});
    send({{"pid", pid},
          {"element", 7},
          {"attribute", "AXRole"},
          {"attributes", cf::Array{"AXRole", "AXTitle"}}});
    ASSERT_EQ(pushes(), 2u);
    EXPECT_TRUE(m_pushes[0].find("action")->boolValue());
    EXPECT_EQ(*m_pushes[0].find("attribute"), cf::Value("AXPress"));
    EXPECT_EQ(*m_pushes[1].find("attributes"), cf::Value(cf::Array{"AXRole", "AXTitle"}));
    EXPECT_FALSE(m_pushes[1].find("action"));
    // Malformed lists and actions are refused before they reach anyone.
    cf::Array tooMany;
    for (int i = 0; i < 65; ++i)
        tooMany.push_back("AXRole");
    for (const cf::Value& bad :
         {cf::Value(cf::Array{}), cf::Value(cf::Array{int64_t(3)}), cf::Value("AXRole"),
          cf::Value(cf::Array{std::string(300, 'a')}), cf::Value(tooMany)})
        EXPECT_FALSE(
            ask(op::axRequest, {{"pid", pid}, {"element", 7}, {"attribute", "AXRole"}, {"attributes", bad}}));
    EXPECT_FALSE(
        ask(op::axRequest, {{"pid", pid}, {"element", 7}, {"attribute", "AXPress"}, {"action", "yes"}}));
    EXPECT_EQ(pushes(), 2u);
    m_server->disconnect(asker);
}

TEST_F(WindowServerRequests, FakeApplicationsAreAnnouncedActivatedAndGoWithTheirOwner) {
    std::vector<ApplicationChange> changes;
    m_server->perform([&] {
        m_server->setApplicationObserver([&](const ApplicationChange& change) { changes.push_back(change); });
    });
    uint32_t owner = m_server->connect({5000, "Owner", "com.example.owner"}, nullptr);
    auto fake = ask(op::axFakeApplication,
                    {{"name", "Fake Editor"}, {"bundleIdentifier", "com.example.fake"}}, owner);
    ASSERT_TRUE(fake);
    const int64_t pid = fake->find("pid")->integerValue();
    ASSERT_EQ(ask(op::axRespond, {{"pid", pid}, {"responding", true}}, owner)->find("status")->integerValue(),
              0);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].kind, ApplicationChange::Kind::added);
    EXPECT_EQ(changes[0].pid, pid);
    EXPECT_EQ(changes[0].name, "Fake Editor");
    EXPECT_EQ(changes[0].bundleIdentifier, "com.example.fake");

    // This connection's application is active; setting "AXFrontmost" (false changes nothing,
    // true makes the fake one active) takes it from it.
    ASSERT_TRUE(ask(op::activate, {}));
    EXPECT_EQ(ask(op::activeApplication, {})->find("pid")->integerValue(), 4242);
    auto front = [&](bool on) {
        m_server->serve(m_cid, op::axRequest,
                        cf::Dictionary{{"pid", pid},
                                       {"element", 0},
                                       {"attribute", "AXFrontmost"},
                                       {"set", true},
                                       {"value", cf::Dictionary{{"type", "plist"}, {"value", on}}}},
                        [](std::optional<cf::Value>, const std::string&) {});
        m_server->sync();
    };
    front(false);
    EXPECT_EQ(ask(op::activeApplication, {})->find("pid")->integerValue(), 4242);
    const size_t before = pushes();
    front(true);
    EXPECT_EQ(ask(op::activeApplication, {})->find("pid")->integerValue(), pid);
    ASSERT_GE(changes.size(), 3u);
    EXPECT_EQ(changes.back().kind, ApplicationChange::Kind::activated);
    EXPECT_EQ(changes.back().pid, pid);
    {
        std::lock_guard lock(m_mutex);
        ASSERT_GT(m_pushes.size(), before);
        EXPECT_EQ(*m_pushes[before].find("kind"), cf::Value(std::string(push::resignActive)));
    }
    // Activating it again changes nothing; this application takes activation back, and a
    // request naming the fake pid gives it back.
    EXPECT_FALSE(ask(op::activate, {{"pid", pid}})->find("changed")->boolValue());
    EXPECT_TRUE(ask(op::activate, {})->find("changed")->boolValue());
    EXPECT_EQ(ask(op::activeApplication, {})->find("pid")->integerValue(), 4242);
    EXPECT_TRUE(ask(op::activate, {{"pid", pid}})->find("changed")->boolValue());
    EXPECT_EQ(ask(op::activeApplication, {})->find("pid")->integerValue(), pid);

    // The owner goes: its fake application and its activation go with it.
    changes.clear();
    m_server->disconnect(owner);
    m_server->sync();
    EXPECT_EQ(ask(op::activeApplication, {})->find("pid")->integerValue(), 0);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].kind, ApplicationChange::Kind::activated);
    EXPECT_EQ(changes[0].pid, 0);
    EXPECT_EQ(changes[1].kind, ApplicationChange::Kind::removed);
    EXPECT_EQ(changes[1].pid, pid);
    EXPECT_EQ(ask(op::activate, {{"pid", pid}})->find("status")->integerValue(), 1001); // illegal argument
    m_server->perform([&] { m_server->setApplicationObserver(nullptr); });
}

TEST(WindowServerConfigTest, OutOfRangeProfileValuesKeepTheirDefaults) {
    platform::LogCapture log(true);
    platform::Profile profile;
    profile.dictionary = {{"MainDisplay", cf::Dictionary{{"SerialNumber", int64_t(0x99730005)},
                                                         {"Scale", 3},
                                                         {"Width", 1280},
                                                         {"Height", -5}}},
                          {"MainDisplayLast", 1},
                          {"DisplayAliases", 99}};
    WindowServerConfig config = WindowServerConfig::fromProfile(profile);
    EXPECT_EQ(config.mainDisplay.serial, MainDisplayConfig{}.serial);
    EXPECT_EQ(config.mainDisplay.scale, 1u);
    EXPECT_EQ(config.mainDisplay.width, 1280u);
    EXPECT_EQ(config.mainDisplay.height, 900u);
    EXPECT_FALSE(config.mainDisplayLast);
    EXPECT_EQ(config.displayAliases, 1u);
    EXPECT_TRUE(log.contains("0x99730005"));
    profile.graphicsMultiplexer = 4;
    profile.dictionary = {{"MainDisplay", cf::Dictionary{{"Scale", 2}}}, {"MainDisplayLast", true}};
    config = WindowServerConfig::fromProfile(profile);
    EXPECT_EQ(config.mainDisplay.scale, 2u);
    EXPECT_TRUE(config.mainDisplayLast);
    EXPECT_EQ(config.displayAliases, 2u);
}

TEST(WindowServerScale, AMainDisplayAtScaleTwoStartsInItsTwin) {
    platform::LogCapture log(true);
    platform::installFakeClock();
    kernel::Kernel kernel;
    WindowServerConfig config;
    config.mainDisplay.scale = 2;
    config.hiDPIEnabled = [] { return false; };
    WindowServer server(kernel, config);
    server.boot();
    auto main = server.display(WindowServer::kMainDisplayID);
    ASSERT_TRUE(main);
    EXPECT_TRUE(cg::CGRectEqualToRect(main->bounds, cg::CGRectMake(0, 0, 1440, 900)));
    EXPECT_EQ(main->pixelsWide, 2880u);
    EXPECT_EQ(main->scale, 2.0);
    uint32_t cid = server.connect({1, "t", ""}, nullptr);
    auto modes = server.serveAndWait(cid, op::modes, cf::Dictionary{{"display", 1}});
    ASSERT_TRUE(modes);
    EXPECT_EQ(modes->find("modes")->count(), 2u);
    EXPECT_EQ(modes->find("current")->integerValue(), 1);
    server.stop();
    kernel.shutdown();
}

// The HiDPI tool writes the setting from its own process: the next listing sees it, though this
// process had read the old value before.
TEST(WindowServerScale, TheHiDPISettingWrittenByAnotherProcessAddsTheMainDisplaysTwin) {
    platform::LogCapture log(true);
    platform::installFakeClock();
    char pattern[] = "/tmp/wsscale.XXXXXX";
    ASSERT_TRUE(::mkdtemp(pattern));
    const std::string root = pattern;
    ::setenv("PLATFORM_ROOT", root.c_str(), 1);
    ASSERT_TRUE(platform::testing::makeRoot(root));
    constexpr char kDomain[] = "com.apple.windowserver";
    cf::CFPreferencesSetValue("DisplayResolutionEnabled", cf::Value(false), kDomain,
                              cf::kCFPreferencesAnyUser, cf::kCFPreferencesCurrentHost);
    ASSERT_TRUE(
        cf::CFPreferencesSynchronize(kDomain, cf::kCFPreferencesAnyUser, cf::kCFPreferencesCurrentHost));

    kernel::Kernel kernel;
    WindowServer server(kernel, WindowServerConfig{});
    server.boot();
    const uint32_t cid = server.connect({1, "t", ""}, nullptr);
    auto modeCount = [&] {
        auto modes = server.serveAndWait(cid, op::modes, cf::Dictionary{{"display", 1}});
        return modes && modes->find("modes") ? modes->find("modes")->count() : size_t(0);
    };
    EXPECT_EQ(modeCount(), 1u);
    // Another process replaces the file; this one's cached copy still says NO.
    const std::string file =
        platform::preferencesFilePath(kDomain, cf::kCFPreferencesAnyUser, cf::kCFPreferencesCurrentHost);
    ASSERT_TRUE(cf::writePropertyListFile(cf::Dictionary{{"DisplayResolutionEnabled", true}}, file,
                                          cf::PropertyListFormat::XML));
    EXPECT_EQ(modeCount(), 2u) << "the twin at scale 2 is listed";

    server.stop();
    kernel.shutdown();
    std::filesystem::remove_all(root);
    ::unsetenv("PLATFORM_ROOT");
}

} // namespace windowserver
