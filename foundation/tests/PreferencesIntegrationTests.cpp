// Two real processes sharing the preferences domain under a private platformd: setters seen
// across processes after the did-change notification, the will/did pairs each setter posts, no
// write lost between writers, and the HiDPI helper tool run through the authorization calls.
#include "foundation/FileURL.h"
#include "foundation/QNBPreferences.h"
#include "foundation/Vocabulary.h"

#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/CFPreferences.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"
#include "platform/services/NSDistributedNotificationCenter.h"

#include <gtest/gtest.h>
#include <unistd.h>

using namespace foundation;

namespace {

using platformd::testing::ChildProcess;
using platformd::testing::readFile;

const std::string kPeer = PREFERENCES_PEER_PATH;
const std::string kToolBundle = HIDPI_TEST_BUNDLE;

class SharedDomain : public platformd::testing::PlatformdTest {
protected:
    std::shared_ptr<ipc::Connection> connection() { return ipc::Connection::shared(); }

    std::optional<cf::Value> waitEvent(const std::string& kind, cf::Dictionary match = {}, double timeout = 20) {
        auto reply = connection()->request(ipc::op::waitEvent, cf::Dictionary{{"kind", kind},
                                                                              {"match", cf::Value(std::move(match))},
                                                                              {"after", m_mark},
                                                                              {"timeout", timeout}});
        if (!reply.ok || !reply.result) return std::nullopt;
        return reply.result->objectForKey("event");
    }
    std::vector<cf::Value> events(const std::string& kind) {
        auto reply = connection()->request(ipc::op::events, cf::Dictionary{{"kind", kind}, {"after", m_mark}});
        std::vector<cf::Value> out;
        if (!reply.ok) return out;
        const cf::Value* list = reply.result->find("events");
        for (size_t i = 0; list && i < list->count(); ++i) out.push_back(*list->at(i));
        return out;
    }
    // From here on, waits and listings look only at what happens next.
    void mark() {
        auto reply = connection()->request(ipc::op::recordEvent, cf::Dictionary{{"kind", "test-mark"}});
        ASSERT_TRUE(reply.ok);
        m_mark = reply.result->find("sequence")->integerValue();
    }
    // The preference notifications this process posted since the mark, each checked for its options.
    std::vector<std::string> myPreferencePosts() {
        std::vector<std::string> names;
        for (const auto& post : events("distributed-post")) {
            if (post.find("poster")->find("pid")->integerValue() != ::getpid()) continue;
            const std::string& name = *post.find("name")->asString();
            if (!name.starts_with("com.quenby.Tessel.TSEPrefs")) continue;
            EXPECT_EQ(post.find("options")->integerValue(), 3) << name;
            names.push_back(name);
        }
        return names;
    }
    static std::vector<std::string> pairs(size_t count) {
        std::vector<std::string> out;
        for (size_t i = 0; i < count; ++i) {
            out.push_back(kPrefsWillChangeNotification);
            out.push_back(kPrefsDidChangeNotification);
        }
        return out;
    }
    std::unique_ptr<ChildProcess> startPeer(const std::string& command, const std::string& argument) {
        auto peer = std::make_unique<ChildProcess>();
        std::string output = m_platformd->root() + "/peer-" + std::to_string(++m_peers) + ".out";
        EXPECT_TRUE(peer->start({kPeer, command, argument}, output));
        m_outputs.push_back(output);
        return peer;
    }
    std::string peerOutput() const { return m_outputs.empty() ? "" : readFile(m_outputs.back()); }
    // Serves this process's main run loop, where distributed notifications arrive.
    static bool serveUntil(const std::function<bool()>& done, double seconds = 20) {
        auto deadline = platform::now() + platform::seconds(seconds);
        while (!done() && platform::now() < deadline)
            ns::NSRunLoop::mainRunLoop()->runModeBeforeDate(ns::NSDefaultRunLoopMode,
                                                            platform::now() + platform::seconds(0.2));
        return done();
    }

    int64_t m_mark = 0;
    int m_peers = 0;
    std::vector<std::string> m_outputs;
    // Both programs seed the domain at start-up; so does this test.
    QNBPreferences m_prefs;
};

TEST_F(SharedDomain, PresentationModeReachesTheOtherProcessAfterTwoPairs) {
    m_prefs.setupDefaultPreferenceValues();
    auto peer = startPeer("watch", "2");
    ASSERT_TRUE(waitEvent("peer-ready", {{"poster.pid", static_cast<int64_t>(peer->pid())}}));
    mark();
    m_prefs.setPresentationMode(true);
    ASSERT_EQ(peer->wait(30), 0) << peerOutput();

    auto reads = events("peer-read");
    ASSERT_EQ(reads.size(), 2u);
    const cf::Value& last = reads.back();
    EXPECT_EQ(last.find("presentationMode")->asBool(), true);
    EXPECT_EQ(last.find("enableKeyboardInput")->asBool(), false);
    EXPECT_EQ(last.find("enableTouchDisplay")->asBool(), false);
    EXPECT_EQ(myPreferencePosts(), pairs(2));
}

TEST_F(SharedDomain, TheKeyboardSetterPostsTwoPairsAndTheStateSetterOne) {
    m_prefs.setupDefaultPreferenceValues();
    auto peer = startPeer("watch", "3");
    ASSERT_TRUE(waitEvent("peer-ready", {{"poster.pid", static_cast<int64_t>(peer->pid())}}));
    mark();
    m_prefs.setEnableKeyboardInput(false);
    EXPECT_EQ(myPreferencePosts(), pairs(2));
    m_prefs.setCurrentState(2);
    ASSERT_EQ(peer->wait(30), 0) << peerOutput();
    EXPECT_EQ(myPreferencePosts(), pairs(3));
    auto reads = events("peer-read");
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(reads.back().find("enableKeyboardInput")->asBool(), false);
    EXPECT_EQ(reads.back().find("currentState")->integerValue(), 2);
}

TEST_F(SharedDomain, AnotherProcesssSetterIsSeenHereAfterItsDidChange) {
    m_prefs.setupDefaultPreferenceValues();
    ASSERT_EQ(m_prefs.currentState(), 0u);
    int didChange = 0;
    auto& center = ns::NSDistributedNotificationCenter::defaultCenter();
    auto token = center.addObserverForName(kPrefsDidChangeNotification, std::nullopt,
                                           [&](const ns::NSNotification&) { ++didChange; });
    auto peer = startPeer("set-state", "2");
    ASSERT_EQ(peer->wait(30), 0) << peerOutput();
    // Written, but this process reads from what it has: the notification is the cue.
    EXPECT_EQ(m_prefs.currentState(), 0u);
    ASSERT_TRUE(serveUntil([&] { return didChange == 1; }));
    m_prefs.synchronize();
    EXPECT_EQ(m_prefs.currentState(), 2u);
    center.removeObserver(token);
}

TEST_F(SharedDomain, NoWriteOfOneProcessIsLostToTheOthersSynchronize) {
    constexpr int kButtons = 40;
    m_prefs.setupDefaultPreferenceValues();
    auto peer = startPeer("write-actions", std::to_string(kButtons));
    ASSERT_TRUE(waitEvent("peer-ready", {{"poster.pid", static_cast<int64_t>(peer->pid())}}));
    // Both processes write and synchronize at the same time, on keys of their own.
    for (int i = 0; i < kButtons; ++i) m_prefs.setModifiers(static_cast<uint64_t>(i + 200), static_cast<uint64_t>(i));
    ASSERT_TRUE(waitEvent("peer-wrote"));
    ns::NSDistributedNotificationCenter::defaultCenter().postNotificationName("com.quenby.tests.check", std::nullopt);
    auto checked = waitEvent("peer-checked");
    ASSERT_TRUE(checked) << peerOutput();
    EXPECT_EQ(checked->find("correct")->integerValue(), kButtons);
    ASSERT_EQ(peer->wait(30), 0) << peerOutput();

    m_prefs.synchronize();
    auto file = cf::readPropertyListFile(
        platform::preferencesFilePath(kApplicationID, cf::kCFPreferencesCurrentUser, cf::kCFPreferencesAnyHost));
    ASSERT_TRUE(file);
    for (int i = 0; i < kButtons; ++i) {
        auto button = static_cast<uint64_t>(i);
        EXPECT_EQ(m_prefs.actionForButton(button), button + 100) << i;
        EXPECT_EQ(m_prefs.modifiersForButton(button), button + 200) << i;
        EXPECT_EQ(file->find(buttonKey(kButtonAction, button))->integerValue(), i + 100) << i;
        EXPECT_EQ(file->find(buttonKey(kButtonModifiers, button))->integerValue(), i + 200) << i;
    }
}

class HiDPIHelper : public SharedDomain {
protected:
    void SetUp() override {
        SharedDomain::SetUp();
        ns::NSBundle::setMainBundle(ns::NSBundle::bundleWithPath(kToolBundle));
    }
    void TearDown() override {
        ns::NSBundle::setMainBundle(nullptr);
        SharedDomain::TearDown();
    }
    std::optional<cf::Value> toolExit() {
        auto run = waitEvent("tool-run");
        if (!run) return std::nullopt;
        return waitEvent("tool-exit", {{"pid", run->find("pid")->integerValue()}});
    }
};

TEST_F(HiDPIHelper, TheOnToolEnablesHiDPIAndAsksForTheLogout) {
    mark();
    m_prefs.authenticatedSetEnableHiDPIResolutions(true, true);
    auto exit = toolExit();
    ASSERT_TRUE(exit);
    EXPECT_EQ(exit->find("status")->integerValue(), 0) << readFile(m_platformd->root() +
                                                                   "/var/log/com.quenby.displayresolutionson.log");
    auto run = events("tool-run").at(0);
    EXPECT_TRUE(run.find("path")->asString()->ends_with("/Resources/com.quenby.displayresolutionson"));
    EXPECT_EQ(*run.find("arguments"), cf::Value(cf::Array{"1\n"}));
    ASSERT_EQ(events("authorization").size(), 1u);
    EXPECT_EQ(*events("authorization").at(0).find("rights"),
              cf::Value(cf::Array{"com.apple.ServiceManagement.blesshelper"}));
    EXPECT_EQ(events("logout-requested").size(), 1u);
    m_prefs.synchronizeWindowServer();
    EXPECT_TRUE(m_prefs.displayResolutionEnabled());

    mark();
    auto off = ns::NSBundle::mainBundle()->pathForResource(kTSEDisplayResolutionsOffApplicationName, "");
    ASSERT_TRUE(off);
    EXPECT_TRUE(m_prefs.authExecuteHelperWithToolURL(fileURLWithPath(*off, false), nullptr, nullptr)) << "YES once started";
    ASSERT_TRUE(toolExit());
    EXPECT_EQ(*events("tool-run").at(0).find("arguments"), cf::Value(cf::Array{}));
    EXPECT_TRUE(events("logout-requested").empty());
    m_prefs.synchronizeWindowServer();
    EXPECT_FALSE(m_prefs.displayResolutionEnabled());
}

TEST_F(HiDPIHelper, ARefusedAuthorizationOrAMissingToolRunsNothing) {
    ASSERT_TRUE(connection()->request(ipc::op::setAuthorization, cf::Dictionary{{"answer", "deny"}}).ok);
    mark();
    platform::LogCapture capture(true);
    m_prefs.authenticatedSetEnableHiDPIResolutions(true, false);
    EXPECT_TRUE(capture.contains("Failed to create AuthorizationRef, return code -60005"));
    EXPECT_EQ(events("authorization").size(), 1u);
    EXPECT_TRUE(events("tool-run").empty());

    ASSERT_TRUE(connection()->request(ipc::op::setAuthorization, cf::Dictionary{{"answer", "allow"}}).ok);
    std::string empty = m_platformd->root() + "/Empty.app/Contents/Resources";
    ASSERT_TRUE(cf::createDirectories(empty, 0755));
    ns::NSBundle::setMainBundle(ns::NSBundle::bundleWithPath(m_platformd->root() + "/Empty.app"));
    mark();
    capture.clear();
    m_prefs.authenticatedSetEnableHiDPIResolutions(false, true);
    EXPECT_TRUE(capture.contains("Error: -60031"));
    EXPECT_TRUE(events("authorization").empty()) << "nobody is asked for a password in vain";
    EXPECT_TRUE(events("tool-run").empty());
    m_prefs.synchronizeWindowServer();
    EXPECT_FALSE(m_prefs.displayResolutionEnabled());
}

} // namespace
