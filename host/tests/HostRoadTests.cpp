// Tessel Host with real processes: a private platformd (with both kexts unless a test says
// otherwise) launches Tessel Host.app, which launches its own copy of TesselHelper.app; the
// reference client's library plays the devices. Everything is waited for by events (platformd's
// event log, the device's snapshot, the host's log), never by sleeping out a figure.
#include "host/QNBButler.h"

#include "foundation/QNBDisplayModel.h"
#include "foundation/Vocabulary.h"

#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/services/NSDistributedNotificationCenter.h"
#include "platform/services/NSWorkspace.h"
#include "tools/refclient/Client.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>

namespace {

using foundation::QNBDisplayModel;
using platformd::testing::PlatformdTest;
using platformd::testing::PrivatePlatformd;
using platformd::testing::runProgram;

const std::string kHostApp = TESSEL_HOST_APP;
constexpr char kHostId[] = "com.quenby.TesselHost2";
constexpr char kHelperId[] = "com.quenby.TesselHelper";
constexpr char kDemoKey[] = "local.~_qnexvscreen._udp~Demo iPad";

std::optional<cf::Value> waitEvent(const std::string& kind, cf::Dictionary match, int64_t after,
                                   double timeout = 30) {
    return platformd::testing::waitForEvent(kind, std::move(match), timeout, after);
}

std::string info(const cf::Value& event, const std::string& key) {
    const cf::Value* userInfo = event.find("userInfo");
    const cf::Value* at = userInfo ? userInfo->find(key) : nullptr;
    if (!at) return "(absent)";
    return at->asString() ? *at->asString() : at->description();
}

// A field of an event, "poster.pid" reaching into the poster's dictionary.
const cf::Value* fieldAt(const cf::Value& event, const std::string& key) {
    const size_t dot = key.find('.');
    if (dot == std::string::npos) return event.find(key);
    const cf::Value* outer = event.find(key.substr(0, dot));
    return outer ? outer->find(key.substr(dot + 1)) : nullptr;
}

std::string text(const cf::Value& event, const std::string& key) {
    const cf::Value* v = fieldAt(event, key);
    return v && v->asString() ? *v->asString() : "(absent)";
}

int64_t number(const cf::Value& event, const char* key) {
    const cf::Value* v = event.find(key);
    return v ? v->integerValue() : -1;
}

class HostRoad : public PlatformdTest {
  protected:
    std::vector<std::string> platformdArguments() const override { return m_platformdArguments; }

    std::string installedApp() const { return m_platformd->root() + "/Applications/Tessel Host.app"; }
    std::string archivePath() const {
        return m_platformd->home() + "/Library/Application Support/Quenby/Tessel/archive.qnbDisplayModel";
    }
    std::string hostLog() const {
        return platformd::testing::readFile(m_platformd->root() + "/var/log/Tessel Host.log");
    }

    // A copy of the build's bundle in the stand-in's Applications folder.
    void install(bool withHelper = true) {
        std::filesystem::copy(kHostApp, installedApp(), std::filesystem::copy_options::recursive);
        if (!withHelper) std::filesystem::remove_all(installedApp() + "/Contents/Resources/TesselHelper.app");
    }
    void seedDemoDevice() {
        auto model = QNBDisplayModel::create();
        model->setDisplayName("Demo iPad");
        model->setDeviceIdentifier("demo-1");
        model->setServiceKey(kDemoKey);
        model->setAutoConnectMode(true);
        model->identifyByFirstIdentifier();
        QNBDisplayModel::registerArchiveClass();
        ASSERT_TRUE(host::QNBButler::archiveObjectWithPath(
            ns::ArchivedObject::arrayOfInstances(std::vector{model}), archivePath()));
    }
    // Launches the host; its pid once it finished launching (0 when it did not).
    pid_t launchHost() {
        const int64_t since = platformd::testing::lastEventSequence();
        if (!ns::NSWorkspace::sharedWorkspace().launchApplication("/Applications/Tessel Host.app")) return 0;
        auto launched = waitEvent("finished-launching", {{"bundleIdentifier", kHostId}}, since, 60);
        return launched ? static_cast<pid_t>(number(*launched, "pid")) : 0;
    }
    bool waitForLog(const std::string& text, double seconds = 30) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (hostLog().find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(50)); // polling the log file
        }
        return true;
    }
    std::unique_ptr<refclient::Client> device(const std::string& address, const std::string& name,
                                              const std::string& id, bool announce,
                                              std::string connectHost = "") {
        refclient::Config config;
        config.bindAddress = address;
        config.name = name;
        config.deviceId = id;
        config.announce = announce;
        config.connectHost = std::move(connectHost);
        auto client = std::make_unique<refclient::Client>(config);
        std::string error;
        EXPECT_TRUE(client->start(&error)) << error;
        return client;
    }
    static void post(const std::string& name) {
        ns::NSDistributedNotificationCenter::defaultCenter().postNotificationName(
            name, std::nullopt, std::nullopt, ns::NSUInteger{3});
    }
    std::vector<cf::Value> postsByHost(int64_t since, const std::string& name) {
        std::vector<cf::Value> out;
        for (auto& e : platformd::testing::eventsAfter(since, "distributed-post")) {
            if (text(e, "name") == name && text(e, "poster.bundleIdentifier") == kHostId) out.push_back(e);
        }
        return out;
    }

    // After a quit was asked for: the stop sequence's notification, the host's own exit with 0
    // (not the signal's default action), and the archive it wrote.
    std::optional<ns::ArchivedObject> quitAndReadArchive(int64_t since) {
        auto terminate = waitEvent("distributed-post", {{"name", foundation::kTerminateScreenServer}}, since);
        EXPECT_TRUE(terminate);
        if (terminate) {
            EXPECT_EQ(number(*terminate, "options"), 3);
        }
        auto exited = waitEvent("exit", {{"bundleIdentifier", kHostId}}, since);
        EXPECT_TRUE(exited);
        if (!exited) return std::nullopt;
        EXPECT_EQ(number(*exited, "status"), 0);
        EXPECT_LE(number(*exited, "signal"), 0);
        QNBDisplayModel::registerArchiveClass();
        return host::QNBButler::unarchiveFileWithPath(archivePath());
    }

    std::vector<std::string> m_platformdArguments;
};

TEST_F(HostRoad, TheHostLaunchesItsServerConnectsTheSeededDeviceAndDisconnectsTheOtherOnRequest) {
    install();
    seedDemoDevice();
    const int64_t start = platformd::testing::lastEventSequence();
    ASSERT_GT(launchHost(), 0) << hostLog();
    auto launch = waitEvent("launch", {{"bundleIdentifier", kHelperId}}, start);
    ASSERT_TRUE(launch) << hostLog();
    EXPECT_EQ(text(*launch, "path"), installedApp() + "/Contents/Resources/TesselHelper.app");
    ASSERT_TRUE(waitEvent("finished-launching", {{"bundleIdentifier", kHelperId}}, start));
    EXPECT_TRUE(waitEvent("login-item-added", {}, start));

    auto demo = device("127.0.0.2", "Demo iPad", "demo-1", true);
    auto query = waitEvent("distributed-post", {{"name", foundation::kDisplayHostingQuery}}, start);
    ASSERT_TRUE(query);
    EXPECT_EQ(info(*query, "DeviceName"), "127.0.0.2");
    auto connect = waitEvent("distributed-post", {{"name", foundation::kConnectServerToHost}}, start);
    ASSERT_TRUE(connect) << hostLog();
    EXPECT_EQ(info(*connect, "connectToHostName"), "127.0.0.2");
    EXPECT_EQ(info(*connect, "serviceKey"), kDemoKey);
    EXPECT_EQ(info(*connect, "displayName"), "Demo iPad");
    EXPECT_EQ(number(*connect, "options"), 1);
    ASSERT_TRUE(waitEvent(
        "distributed-post",
        {{"name", foundation::kServerConnectedToDevice}, {"userInfo.DeviceName", "127.0.0.2"}}, start));
    EXPECT_TRUE(
        demo->waitFor([](const refclient::Snapshot& s) { return s.frames >= 1; }, platform::seconds(30)));
    EXPECT_TRUE(waitForLog("listing: \"Demo iPad\" QNBTesselListingConnectedType")) << hostLog();
    // The preferences say the server runs.
    auto state = runProgram({PrivatePlatformd::platformctlPath(), "prefs", "read", kHostId, "currentState"});
    EXPECT_NE(state.out.find('1'), std::string::npos) << state.out;

    // A device that connects by itself is listed; disconnect-all sends it alone away (the seeded
    // one connects automatically and stays).
    const int64_t beforeOther = platformd::testing::lastEventSequence();
    auto other = device("127.0.0.3", "Other", "other-1", false, "127.0.0.1");
    auto otherReport = waitEvent(
        "distributed-post",
        {{"name", foundation::kServerConnectedToDevice}, {"userInfo.displayName", "Other"}}, beforeOther);
    ASSERT_TRUE(otherReport) << hostLog();
    EXPECT_TRUE(waitForLog("\"Other\" QNBTesselListingConnectedType")) << hostLog();
    EXPECT_TRUE(
        other->waitFor([](const refclient::Snapshot& s) { return s.frames >= 1; }, platform::seconds(30)));
    const int64_t beforeAll = platformd::testing::lastEventSequence();
    post(foundation::kDisconnectAllConnectedDisplays);
    auto disconnect =
        waitEvent("distributed-post", {{"name", foundation::kDisconnectCurrentServerFromHost}}, beforeAll);
    ASSERT_TRUE(disconnect) << hostLog();
    EXPECT_EQ(info(*disconnect, "deviceIdentifier"), "other-1");
    EXPECT_EQ(info(*disconnect, "disableDisplay"), "1");
    EXPECT_EQ(number(*disconnect, "options"), 3);
    // The device sees its connection closed.
    EXPECT_TRUE(other->waitFor(
        [](const refclient::Snapshot& s) { return s.state != refclient::ClientState::Session; },
        platform::seconds(30)));
    EXPECT_EQ(postsByHost(beforeAll, foundation::kDisconnectCurrentServerFromHost).size(), 1u);
    EXPECT_EQ(demo->snapshot().state, refclient::ClientState::Session);

    // Quitting stops the server and keeps the archive.
    const int64_t beforeQuit = platformd::testing::lastEventSequence();
    post(foundation::kTerminateMenuExtra);
    auto archive = quitAndReadArchive(beforeQuit);
    ASSERT_TRUE(archive && archive->isArray());
    bool demoKept = false;
    for (const auto& item : archive->items())
        if (auto m = item.as<QNBDisplayModel>())
            demoKept |= m->deviceIdentifier() == "demo-1" && m->autoConnectMode();
    EXPECT_TRUE(demoKept);
}

TEST_F(HostRoad, AKilledOrUpdatedServerIsLaunchedAgainByTheWatchdog) {
    install();
    const int64_t start = platformd::testing::lastEventSequence();
    ASSERT_GT(launchHost(), 0) << hostLog();
    auto first = waitEvent("finished-launching", {{"bundleIdentifier", kHelperId}}, start);
    ASSERT_TRUE(first);
    const int64_t beforeKill = platformd::testing::lastEventSequence();
    ASSERT_EQ(::kill(static_cast<pid_t>(number(*first, "pid")), SIGKILL), 0);
    auto again = waitEvent("finished-launching", {{"bundleIdentifier", kHelperId}}, beforeKill, 12);
    ASSERT_TRUE(again) << hostLog();
    EXPECT_TRUE(
        waitEvent("distributed-post",
                  {{"name", foundation::kDisplayHostingMultiResponse}, {"poster.pid", number(*again, "pid")}},
                  beforeKill, 10));

    const int64_t beforeUpdate = platformd::testing::lastEventSequence();
    auto answer = runProgram({PrivatePlatformd::platformctlPath(), "updater", "install"});
    EXPECT_EQ(answer.status, 0) << answer.err;
    ASSERT_TRUE(waitEvent("distributed-post", {{"name", foundation::kTerminateScreenServer}}, beforeUpdate));
    ASSERT_TRUE(waitEvent("exit", {{"bundleIdentifier", kHelperId}}, beforeUpdate));
    EXPECT_TRUE(waitEvent("finished-launching", {{"bundleIdentifier", kHelperId}}, beforeUpdate, 12))
        << hostLog();
}

TEST_F(HostRoad, ADamagedArchiveIsSetAsideAndTheHostWorksOn) {
    install();
    std::filesystem::create_directories(std::filesystem::path(archivePath()).parent_path());
    std::ofstream(archivePath()) << "bplist00 this is no archive";
    const int64_t start = platformd::testing::lastEventSequence();
    ASSERT_GT(launchHost(), 0) << hostLog();
    ASSERT_TRUE(waitEvent("finished-launching", {{"bundleIdentifier", kHelperId}}, start));
    EXPECT_TRUE(waitForLog("Error reading archive: " + archivePath())) << hostLog();
    EXPECT_TRUE(std::filesystem::exists(archivePath() + ".bad"));

    auto demo = device("127.0.0.2", "Demo iPad", "demo-1", true);
    EXPECT_TRUE(waitForLog("listing: \"Demo iPad\" QNBTesselListingIdleType")) << hostLog();

    // SIGTERM: the stop sequence, then the quit, which writes a valid archive.
    const int64_t beforeTerm = platformd::testing::lastEventSequence();
    auto apps = runProgram({PrivatePlatformd::platformctlPath(), "apps"});
    pid_t hostPid = 0;
    for (const auto& e : platformd::testing::eventsAfter(start, "finished-launching"))
        if (text(e, "bundleIdentifier") == kHostId) hostPid = number(e, "pid");
    ASSERT_GT(hostPid, 0) << apps.out;
    ASSERT_EQ(::kill(hostPid, SIGTERM), 0);
    auto archive = quitAndReadArchive(beforeTerm);
    EXPECT_TRUE(archive && archive->isArray());
}

TEST_F(HostRoad, WithoutTheServerInItsBundleTheHostLaunchesNothingAndRunsOn) {
    install(false);
    const int64_t start = platformd::testing::lastEventSequence();
    ASSERT_GT(launchHost(), 0) << hostLog();
    EXPECT_TRUE(waitForLog("Screen server application path is nil")) << hostLog();
    EXPECT_TRUE(waitForLog("Tessel Host startup"));
    // The status tick runs: its multi-query reaches platformd.
    EXPECT_TRUE(waitEvent("distributed-post", {{"name", foundation::kDisplayHostingMultiQuery}}, start, 10));
    EXPECT_TRUE(platformd::testing::eventsAfter(start, "launch").size() == 1u); // the host alone
}

// Crashed under a device it served, the server is relaunched and asked to serve the device again
// only once it listens: the device is served within seconds, and no request goes out to nobody
// to stand as an attempt that ends in a "Could not connect" alert.
TEST_F(HostRoad, AnAutoConnectDeviceIsServedAgainAfterTheServerCrashes) {
    install();
    seedDemoDevice();
    const int64_t start = platformd::testing::lastEventSequence();
    ASSERT_GT(launchHost(), 0) << hostLog();
    auto first = waitEvent("finished-launching", {{"bundleIdentifier", kHelperId}}, start);
    ASSERT_TRUE(first) << hostLog();
    auto demo = device("127.0.0.2", "Demo iPad", "demo-1", true);
    ASSERT_TRUE(
        demo->waitFor([](const refclient::Snapshot& s) { return s.frames >= 1; }, platform::seconds(30)))
        << hostLog();
    const uint64_t sessions = demo->snapshot().sessions;

    const int64_t beforeKill = platformd::testing::lastEventSequence();
    const auto killedAt = platform::now();
    ASSERT_EQ(::kill(static_cast<pid_t>(number(*first, "pid")), SIGKILL), 0);
    EXPECT_TRUE(demo->waitFor(
        [&](const refclient::Snapshot& s) {
            return s.sessions > sessions && s.state == refclient::ClientState::Session && s.activated;
        },
        killedAt + platform::seconds(15) - platform::now()))
        << "served again only after " << platform::toSeconds(platform::now() - killedAt) << " s\n"
        << hostLog();

    // Every request after the crash went to the relaunched server once it had answered.
    auto again = waitEvent("finished-launching", {{"bundleIdentifier", kHelperId}}, beforeKill, 1);
    ASSERT_TRUE(again) << hostLog();
    int64_t listening = 0;
    for (const auto& e : platformd::testing::eventsAfter(beforeKill, "distributed-post")) {
        const cf::Value* poster = fieldAt(e, "poster.pid");
        const std::string name = text(e, "name");
        if (!listening && poster && poster->integerValue() == number(*again, "pid") &&
            (name == foundation::kDisplayHostingMultiResponse || name == foundation::kDisplayHostingResponse))
            listening = number(e, "sequence");
    }
    EXPECT_GT(listening, 0);
    for (const auto& connect : postsByHost(beforeKill, foundation::kConnectServerToHost))
        EXPECT_GT(number(connect, "sequence"), listening) << hostLog();
    EXPECT_TRUE(platformd::testing::eventsAfter(beforeKill, "alert-begin").empty());
    EXPECT_EQ(hostLog().find("Connect to display timeout"), std::string::npos) << hostLog();
}

// platformd killed: the host and its server end with it (each saying so once), so the ports and
// devices they held are free for the next boot, whose login serves a device again.
class PlatformdCrashRoad : public HostRoad {
  protected:
    static bool gone(int64_t pid) {
        const std::string stat = platformd::testing::readFile("/proc/" + std::to_string(pid) + "/stat");
        return stat.empty() || stat.find(") Z") != std::string::npos; // a zombie has ended too
    }
    static bool waitGone(int64_t pid, double seconds) {
        const auto deadline = platform::now() + platform::seconds(seconds);
        while (!gone(pid)) {
            if (platform::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20)); // polling the process table
        }
        return true;
    }
    std::string helperLog() const {
        return platformd::testing::readFile(m_platformd->root() + "/var/log/TesselHelper.log");
    }
    static size_t countOf(const std::string& text, const std::string& part) {
        size_t n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++n;
        return n;
    }
    // A device that connects by itself once the server answers the host.
    std::unique_ptr<refclient::Client> servedDevice(const std::string& address, const std::string& name,
                                                    int64_t since) {
        EXPECT_TRUE(
            waitEvent("distributed-post", {{"name", foundation::kDisplayHostingMultiResponse}}, since))
            << hostLog() << helperLog();
        auto client = device(address, name, name + "-1", false, "127.0.0.1");
        EXPECT_TRUE(client->waitFor([](const refclient::Snapshot& s) { return s.frames >= 1; },
                                    platform::seconds(60)))
            << hostLog() << helperLog();
        return client;
    }
};

TEST_F(PlatformdCrashRoad, TheHostAndItsServerEndWithPlatformdAndTheNextLoginServesADevice) {
    install();
    int64_t start = platformd::testing::lastEventSequence();
    const pid_t host = launchHost();
    ASSERT_GT(host, 0) << hostLog();
    auto helper = waitEvent("finished-launching", {{"bundleIdentifier", kHelperId}}, start);
    ASSERT_TRUE(helper) << hostLog();
    ASSERT_TRUE(waitEvent("login-item-added", {}, start));
    auto before = servedDevice("127.0.0.2", "Before", start);

    m_platformd->kill();
    EXPECT_TRUE(waitGone(host, 5)) << hostLog();
    EXPECT_TRUE(waitGone(number(*helper, "pid"), 5)) << helperLog();
    EXPECT_EQ(countOf(hostLog(), "platformd connection lost"), 1u) << hostLog();
    EXPECT_EQ(countOf(helperLog(), "platformd connection lost"), 1u) << helperLog();
    EXPECT_TRUE(before->waitFor(
        [](const refclient::Snapshot& s) { return s.state != refclient::ClientState::Session; },
        platform::seconds(30)));
    before.reset();

    ASSERT_TRUE(m_platformd->start());
    start = platformd::testing::lastEventSequence();
    auto login = runProgram({PrivatePlatformd::platformctlPath(), "login"});
    ASSERT_EQ(login.status, 0) << login.err;
    ASSERT_TRUE(waitEvent("finished-launching", {{"bundleIdentifier", kHostId}}, start, 60)) << hostLog();
    ASSERT_TRUE(waitEvent("finished-launching", {{"bundleIdentifier", kHelperId}}, start, 60)) << hostLog();
    auto after = servedDevice("127.0.0.3", "After", start);
    EXPECT_EQ(helperLog().find("Error starting screen server mediator"), std::string::npos) << helperLog();
}

class HostRoadWithoutKexts : public HostRoad {
  protected:
    std::vector<std::string> platformdArguments() const override { return {"--kexts", "none"}; }
};

TEST_F(HostRoadWithoutKexts, DriversMissingOrOnlyInstalledShowTheirViewLaunchNothingAndKeepTheLoginItem) {
    install();
    int64_t start = platformd::testing::lastEventSequence();
    pid_t pid = launchHost();
    ASSERT_GT(pid, 0) << hostLog();
    EXPECT_TRUE(waitForLog("view manager: showInstallDriversView")) << hostLog();
    EXPECT_TRUE(waitEvent("login-item-added", {}, start));
    ::kill(pid, SIGKILL);
    ASSERT_TRUE(waitEvent("exit", {{"bundleIdentifier", kHostId}}, start));

    for (const auto& entry : std::filesystem::directory_iterator(TESSEL_KEXT_DIR))
        if (entry.path().extension() == ".kext")
            std::filesystem::copy(
                entry.path(), m_platformd->root() + "/Library/Extensions/" + entry.path().filename().string(),
                std::filesystem::copy_options::recursive);
    start = platformd::testing::lastEventSequence();
    ASSERT_GT(launchHost(), 0) << hostLog();
    EXPECT_TRUE(waitForLog("view manager: showAllowDriversView")) << hostLog();
    EXPECT_TRUE(waitEvent("login-item-added", {}, start) || waitForLog("Tessel Host startup"));
    EXPECT_TRUE(platformd::testing::eventsAfter(start, "launch").size() == 1u);
}

} // namespace
