// The application delegate over an injected environment (fake clock, recorded posts, launches,
// signals and login items, a scripted process table and kext list, held thread starts), a real
// display-model manager and a Bonjour browser over a recording backend.
#include "HostTestSupport.h"

#include "host/QNBAppDelegate.h"
#include "host/QNBBonjourManager.h"
#include "host/QNBDisplayModelManager.h"

#include "foundation/FileURL.h"
#include "foundation/QNBPreferences.h"
#include "foundation/Vocabulary.h"

#include "platform/appkit/BITHockeyManager.h"
#include "platform/core/Log.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/Testing.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSFileManager.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <set>

namespace {

using namespace host;
using namespace host::testing;
using foundation::QNBDisplayModel;

struct Post {
    std::string name;
    std::optional<cf::Value> userInfo;
    uint64_t options = 0;
    double time = 0;
};

std::string text(const std::optional<cf::Value>& info, const char* key) {
    const cf::Value* v = info ? info->find(key) : nullptr;
    return v && v->asString() ? *v->asString() : "(absent)";
}

class QNBAppDelegateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_bundlePath = m_root.root() + "/Applications/Tessel Host.app";
        auto files = ns::NSFileManager::defaultManager();
        files->createDirectoryAtPath(m_bundlePath + "/Contents/Resources/TesselHelper.app/Contents", true);
        std::ofstream(m_bundlePath + "/Contents/Info.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
               "<key>CFBundleIdentifier</key><string>com.quenby.TesselHost2</string>"
               "<key>CFBundleVersion</key><string>7</string>"
               "<key>QNBHelpURL</key><string>https://help.example/</string></dict></plist>";
        m_app = std::make_shared<appkit::NSApplication>();
        m_app->setExitHandler([this](int code) { m_exits.push_back(code); });
        QNBDisplayModelManager::Collaborators c;
        c.post = [this](const std::string& name, const std::optional<cf::Value>& info, uint64_t options) {
            m_posts.push_back({name, info, options, platform::wallNow()});
        };
        m_models = QNBDisplayModelManager::create(std::move(c));
        QNBBonjourManager::Collaborators b;
        b.displayModelManager = m_models;
        b.browsing = m_browsing;
        m_bonjour = QNBBonjourManager::create(std::move(b));
        appkit::BITHockeyManager::sharedHockeyManager().resetForTesting();
    }
    void TearDown() override {
        if (m_app) m_app->setDelegate(nullptr);
        m_delegate.reset();
        dispatch::runUntilIdle();
    }

    QNBAppDelegate::Environment environment() {
        QNBAppDelegate::Environment e;
        e.application = m_app;
        e.bundle = ns::NSBundle::bundleWithPath(m_bundlePath);
        e.preferences = &m_prefs;
        e.displayModelManager = m_models;
        e.bonjourManager = m_bonjour;
        e.makeViewManager = [this] { return m_view; };
        e.alerts = m_alerts;
        e.post = [this](const std::string& name, const std::optional<cf::Value>& info, uint64_t options) {
            m_posts.push_back({name, info, options, platform::wallNow()});
        };
        e.observe = [this](const std::string& name, std::function<void(const ns::NSNotification&)> block) {
            m_observed.emplace_back(name, std::move(block));
        };
        e.observeLocal = [this](const std::string& name,
                                std::function<void(const ns::NSNotification&)> block) {
            m_observedLocal.emplace_back(name, std::move(block));
        };
        e.fileExists = [this](const std::string& path) {
            return !m_helperGoneFromDisk && ns::NSFileManager::defaultManager()->fileExistsAtPath(path);
        };
        e.launchApplication = [this](const std::string& path) {
            m_launches.push_back(path);
            m_serverPids.push_back(int32_t(100 + m_launches.size()));
            return true;
        };
        e.lookupProcesses = [this](const char* name, int32_t* pids, unsigned capacity, unsigned* count,
                                   int*) {
            EXPECT_STREQ(name, "TesselHelper");
            *count = 0;
            for (int32_t pid : m_serverPids) {
                if (*count == capacity) return -5;
                pids[(*count)++] = pid;
            }
            return *count ? 0 : -1;
        };
        e.sendSignal = [this](int32_t pid, int signal) {
            m_signals.push_back((signal == SIGTERM   ? "TERM "
                                 : signal == SIGKILL ? "KILL "
                                                     : "? ") +
                                std::to_string(pid));
        };
        e.loadedKextInfo = [this](const cf::Value& identifiers) {
            cf::Dictionary loaded;
            for (size_t i = 0; i < identifiers.count(); ++i) {
                const std::string& id = *identifiers.at(i)->asString();
                if (m_loaded.count(id)) loaded.insert_or_assign(id, cf::Value(cf::Dictionary{}));
            }
            return std::optional<cf::Value>(cf::Value(std::move(loaded)));
        };
        e.installedKextURL = [this](const std::string& id) -> std::optional<std::string> {
            if (!m_installed.count(id)) return std::nullopt;
            return "file:///Library/Extensions/" + id + ".kext/";
        };
        e.addLoginItem = [this](const std::string& url) { m_loginItems.push_back("add " + url); };
        e.deleteLoginItem = [this](const std::string& url) { m_loginItems.push_back("delete " + url); };
        e.wallNow = [] { return platform::wallNow(); };
        e.sleepFor = [this](double seconds) {
            m_sleeps.push_back(seconds);
            platform::installFakeClock().advance(platform::seconds(seconds));
        };
        e.startThread = [this](QNBAppDelegate::Block block) { m_threads.push_back(std::move(block)); };
        e.runOnGlobalQueue = [](QNBAppDelegate::Block block) { block(); };
        e.performOnMainThreadAndWait = [](QNBAppDelegate::Block block) { block(); };
        e.activateUpdater = [this] { ++m_updaterActivations; };
        e.systemVersion = [] { return std::optional<std::string>("10.12.6"); };
        e.runningApplicationCount = [this](const std::string& id) { return m_runningCopies[id]; };
        return e;
    }
    void launch() {
        m_delegate = QNBAppDelegate::make(environment());
        m_app->setDelegate(m_delegate);
        m_delegate->applicationDidFinishLaunching({});
    }
    void deliver(const std::string& name, std::optional<cf::Value> userInfo = std::nullopt) {
        for (auto& [observed, block] : m_observed)
            if (observed == name) block(ns::NSNotification{name, nullptr, userInfo});
        for (auto& [observed, block] : m_observedLocal)
            if (observed == name) block(ns::NSNotification{name, nullptr, userInfo});
    }
    std::vector<Post> postsNamed(const std::string& name) const {
        std::vector<Post> out;
        for (const auto& p : m_posts)
            if (p.name == name) out.push_back(p);
        return out;
    }
    // A Bonjour device as a resolve leaves it; the test keeps the service alive.
    std::shared_ptr<QNBDisplayModel> bonjourModel(const std::string& name, const std::string& host) {
        auto service = ns::NSNetService::create("local.", foundation::kVirtualScreenServiceName, name);
        if (!host.empty()) service->setResolvedAddressForTesting(host, 6000);
        m_services.push_back(service);
        return QNBDisplayModel::displayModelWithService(service);
    }
    std::shared_ptr<QNBDisplayModel> connected(const std::string& name, const std::string& deviceId) {
        auto model = QNBDisplayModel::create();
        model->setDisplayName(name);
        model->setDeviceIdentifier(deviceId);
        model->setHostName(name);
        model->identifyByFirstIdentifier();
        auto kept = m_models->addDisplayModel(model);
        m_models->localConnectionMadeForDisplayModel(kept);
        return kept;
    }

    TemporaryRoot m_root;
    platform::LogCapture m_log{true};
    std::string m_bundlePath;
    std::vector<std::string> m_prefPosts;
    foundation::QNBPreferences m_prefs{
        [this](const std::string& name, uint64_t) { m_prefPosts.push_back(name); }};
    std::shared_ptr<appkit::NSApplication> m_app;
    std::vector<int> m_exits;
    std::map<std::string, size_t> m_runningCopies;
    std::shared_ptr<FakeViewManager> m_view = std::make_shared<FakeViewManager>();
    std::shared_ptr<FakeAlerts> m_alerts = std::make_shared<FakeAlerts>();
    std::shared_ptr<RecordingBrowsing> m_browsing = std::make_shared<RecordingBrowsing>();
    std::shared_ptr<QNBDisplayModelManager> m_models;
    std::shared_ptr<QNBBonjourManager> m_bonjour;
    std::shared_ptr<QNBAppDelegate> m_delegate;
    std::vector<Post> m_posts;
    std::vector<std::pair<std::string, std::function<void(const ns::NSNotification&)>>> m_observed;
    std::vector<std::pair<std::string, std::function<void(const ns::NSNotification&)>>> m_observedLocal;
    std::vector<std::string> m_launches;
    std::vector<int32_t> m_serverPids;
    std::vector<std::string> m_signals;
    std::set<std::string> m_loaded{"com.quenby.QNExVideo", "com.quenby.QNExFramebuffer"};
    std::set<std::string> m_installed{"com.quenby.QNExVideo", "com.quenby.QNExFramebuffer"};
    std::vector<std::string> m_loginItems;
    std::vector<double> m_sleeps;
    std::vector<QNBAppDelegate::Block> m_threads;
    std::vector<std::shared_ptr<ns::NSNetService>> m_services;
    bool m_helperGoneFromDisk = false;
    int m_updaterActivations = 0;
};

TEST_F(QNBAppDelegateTest, LaunchWithBothDriversObservesLaunchesTheServerOnceAndKeepsTheLoginItem) {
    launch();
    EXPECT_TRUE(appkit::BITHockeyManager::sharedHockeyManager().isStarted());
    EXPECT_EQ(appkit::BITHockeyManager::sharedHockeyManager().identifier(),
              QNBAppDelegate::kCrashReporterIdentifier);
    EXPECT_EQ(m_app->activationPolicy(), appkit::NSApplicationActivationPolicyAccessory);
    EXPECT_EQ(m_updaterActivations, 1);
    std::vector<std::string> names;
    for (const auto& [name, block] : m_observed)
        names.push_back(name);
    EXPECT_EQ(names,
              (std::vector<std::string>{
                  foundation::kTerminateMenuExtra, foundation::kPrefsDidChangeNotification,
                  foundation::kServerConnectedToDevice, foundation::kServerDisconnectedFromDevice,
                  foundation::kInformationRequestFromHost, foundation::kDisplayHostingResponse,
                  foundation::kDisplayHostingMultiResponse, foundation::kDisconnectAllConnectedDisplays}));
    EXPECT_EQ(m_observedLocal.size(), 4u);
    EXPECT_EQ(m_launches, std::vector<std::string>{m_bundlePath + "/Contents/Resources/TesselHelper.app"});
    EXPECT_EQ(m_prefs.currentState(), 1u);
    EXPECT_EQ(m_loginItems,
              std::vector<std::string>{"add " + foundation::fileURLWithPath(m_bundlePath, true)});
    EXPECT_EQ(m_browsing->count("search "), 1u);
    EXPECT_TRUE(m_delegate->watchdogRunning());
    EXPECT_TRUE(m_delegate->statusTimerRunning());
    EXPECT_TRUE(m_log.contains("Installer URL string is nil"));
    EXPECT_FALSE(m_log.contains("Help URL string is nil"));
    EXPECT_TRUE(m_log.contains("Tessel Host startup"));

    // The watchdog finds the server and launches nothing; once it is gone, it launches it again.
    dispatch::advanceAndRun(10.0);
    EXPECT_EQ(m_launches.size(), 1u);
    m_serverPids.clear();
    dispatch::advanceAndRun(10.0);
    EXPECT_EQ(m_launches.size(), 2u);
}

TEST_F(QNBAppDelegateTest, MissingDriversShowTheirViewStartNothingAndStillKeepTheLoginItem) {
    m_loaded.erase("com.quenby.QNExFramebuffer");
    launch();
    EXPECT_EQ(m_view->calls, std::vector<std::string>{"showAllowDriversView"});
    m_delegate.reset();
    m_installed.erase("com.quenby.QNExVideo");
    launch();
    EXPECT_EQ(m_view->calls.back(), "showInstallDriversView");
    EXPECT_TRUE(m_launches.empty());
    EXPECT_TRUE(m_observed.empty());
    EXPECT_FALSE(m_delegate->watchdogRunning());
    EXPECT_EQ(m_loginItems.size(), 2u);
}

TEST_F(QNBAppDelegateTest, ARunningServerIsNotLaunchedAgainAndSeveralAreWarnedAbout) {
    m_serverPids = {41};
    m_prefs.baseSetCurrentState(0);
    launch();
    EXPECT_TRUE(m_launches.empty());
    EXPECT_EQ(m_prefs.currentState(), 1u);
    m_serverPids = {41, 42};
    m_delegate->startVirtualScreenIfNotRunning();
    m_delegate->startVirtualScreenIfNotRunning();
    size_t warnings = 0;
    for (const auto& line : m_log.lines())
        warnings += line == "Warning: Limner has multiple processes running.";
    EXPECT_EQ(warnings, 2u);
    EXPECT_TRUE(m_launches.empty());
}

TEST_F(QNBAppDelegateTest, TheWatchdogsStateReachesTheScreenServerAsAPreferenceChange) {
    m_serverPids = {41};
    launch();
    for (bool running : {true, false}) {
        if (!running) m_serverPids.clear();
        m_prefs.baseSetCurrentState(0);
        m_prefPosts.clear();
        m_delegate->startVirtualScreenIfNotRunning();
        EXPECT_EQ(m_prefs.currentState(), 1u);
        EXPECT_EQ(m_prefPosts, (std::vector<std::string>{foundation::kPrefsWillChangeNotification,
                                                         foundation::kPrefsDidChangeNotification}))
            << (running ? "found running" : "launched");
    }
}

TEST_F(QNBAppDelegateTest, TheStopSequenceSignalsOnlyARunningServer) {
    launch();
    m_serverPids.clear();
    m_posts.clear();
    m_sleeps.clear();
    m_delegate->killServerProcess();
    ASSERT_EQ(m_posts.size(), 1u);
    EXPECT_EQ(m_posts[0].name, foundation::kTerminateScreenServer);
    EXPECT_EQ(m_posts[0].options, 3u);
    EXPECT_FALSE(m_posts[0].userInfo);
    EXPECT_EQ(m_sleeps, std::vector<double>{0.4});
    EXPECT_TRUE(m_signals.empty());
    m_serverPids = {57};
    m_delegate->killServerProcess();
    EXPECT_EQ(m_signals, (std::vector<std::string>{"TERM 57", "KILL 57"}));
    EXPECT_EQ(m_sleeps, (std::vector<double>{0.4, 0.4, 0.2}));
}

// More servers than the lookup's ten slots fill the slots and answer -5: a status that is not 0
// sends no signal, even with ids in hand.
TEST_F(QNBAppDelegateTest, TheStopSequenceSendsNoSignalForAnyNonZeroLookupStatus) {
    launch();
    m_serverPids.clear();
    for (int32_t pid = 60; pid < 71; ++pid) m_serverPids.push_back(pid);
    m_posts.clear();
    m_sleeps.clear();
    m_delegate->killServerProcess();
    EXPECT_EQ(postsNamed(foundation::kTerminateScreenServer).size(), 1u);
    EXPECT_EQ(m_sleeps, std::vector<double>{0.4});
    EXPECT_TRUE(m_signals.empty()) << m_signals.size() << " signals";
}

TEST_F(QNBAppDelegateTest, SIGTERMPostsNothingUntilTheMainQueueRunsThenStopsAndQuitsOnce) {
    launch(); // no server was running: launching it took SIGTERM over
    m_posts.clear();
    auto probe = dispatch::dispatch_source_create(dispatch::DISPATCH_SOURCE_TYPE_SIGNAL, SIGTERM, 0,
                                                  dispatch::dispatch_queue_create("sigterm.probe", nullptr));
    auto delivered = dispatch::dispatch_semaphore_create(0);
    dispatch::dispatch_source_set_event_handler(
        probe, [delivered] { dispatch::dispatch_semaphore_signal(delivered); });
    dispatch::dispatch_resume(probe);

    ASSERT_EQ(::raise(SIGTERM), 0);
    ASSERT_EQ(dispatch::dispatch_semaphore_wait(delivered, dispatch::DISPATCH_TIME_FOREVER), 0);
    EXPECT_TRUE(m_posts.empty());
    while (m_exits.empty())
        dispatch::runUntilIdle();
    // The handler's stop sequence, then the quit's.
    EXPECT_EQ(postsNamed(foundation::kTerminateScreenServer).size(), 2u);
    EXPECT_EQ(m_signals, (std::vector<std::string>{"TERM 101", "KILL 101", "TERM 101", "KILL 101"}));

    ASSERT_EQ(::raise(SIGTERM), 0);
    ASSERT_EQ(dispatch::dispatch_semaphore_wait(delivered, dispatch::DISPATCH_TIME_FOREVER), 0);
    for (int i = 0; i < 5; ++i)
        dispatch::runUntilIdle();
    EXPECT_EQ(postsNamed(foundation::kTerminateScreenServer).size(), 2u);
    EXPECT_EQ(m_exits, std::vector<int>{0});
    dispatch::dispatch_source_cancel(probe);
}

TEST_F(QNBAppDelegateTest, TheLoginItemFollowsTheStoredStartAtLoginChoice) {
    launch();
    EXPECT_EQ(m_loginItems.size(), 1u);
    m_prefs.setStartAtLogin(false);
    deliver(foundation::kPrefsDidChangeNotification);
    EXPECT_EQ(m_loginItems.back(), "delete " + foundation::fileURLWithPath(m_bundlePath, true));
}

TEST_F(QNBAppDelegateTest, QuittingStopsTheServerWritesTheArchiveAndRemovesTheStatusItem) {
    launch();
    m_posts.clear();
    deliver(foundation::kTerminateMenuExtra);
    EXPECT_EQ(m_exits, std::vector<int>{0});
    EXPECT_EQ(postsNamed(foundation::kTerminateScreenServer).size(), 1u);
    EXPECT_EQ(m_view->count("removeStatusItem"), 1u);
    EXPECT_TRUE(ns::NSFileManager::defaultManager()->fileExistsAtPath(m_root.archivePath()));
}

TEST_F(QNBAppDelegateTest, WithoutTheServerInTheBundleNothingIsLaunchedAndTheHostRunsOn) {
    ns::NSFileManager::defaultManager()->removeItemAtPath(m_bundlePath +
                                                          "/Contents/Resources/TesselHelper.app");
    launch();
    EXPECT_TRUE(m_log.contains("Screen server application path is nil"));
    EXPECT_TRUE(m_launches.empty());
    EXPECT_TRUE(m_delegate->watchdogRunning());
    EXPECT_TRUE(m_exits.empty());
}

TEST_F(QNBAppDelegateTest, AServerBundleGoneFromDiskAlertsAndQuits) {
    m_helperGoneFromDisk = true;
    launch();
    ASSERT_EQ(m_alerts->shown.size(), 1u);
    EXPECT_EQ(m_alerts->shown[0].informativeText,
              "Critical application resources are missing.  Please re-install this application.");
    EXPECT_EQ(m_alerts->shown[0].buttons, std::vector<std::string>{"Quit"});
    EXPECT_TRUE(m_log.contains("Exitting"));
    EXPECT_EQ(m_exits, std::vector<int>{0});
    EXPECT_TRUE(m_launches.empty());
}

TEST_F(QNBAppDelegateTest, AFifthDisplayMeetsTheLimitButATypedAddressIsNotLimited) {
    launch();
    for (int i = 0; i < 4; ++i)
        connected("D" + std::to_string(i), "dev-" + std::to_string(i));
    auto fifth = m_models->addDisplayModel(bonjourModel("Fifth", "127.0.0.9"));
    m_posts.clear();
    m_delegate->connectToVirtualScreenWith(fifth);
    ASSERT_EQ(m_alerts->shown.size(), 1u);
    EXPECT_EQ(m_alerts->shown[0].message, "Display limit reached");
    EXPECT_EQ(m_alerts->shown[0].informativeText, "You may only connect 4 display devices using Tessel.");
    EXPECT_TRUE(m_posts.empty());

    m_delegate->connectVirtualScreenWithAddressString("10.1.2.3");
    ASSERT_EQ(m_posts.size(), 1u);
    EXPECT_EQ(m_posts[0].name, foundation::kConnectServerToHost);
    EXPECT_EQ(m_posts[0].options, 3u);
    EXPECT_EQ(m_posts[0].userInfo, cf::Value(cf::Dictionary{{"connectToHostName", "10.1.2.3"}}));
    EXPECT_EQ(m_view->count("assertConnectingState 10.1.2.3"), 1u);
}

TEST_F(QNBAppDelegateTest, AnUnresolvedDeviceIsConnectedOnceItsServiceResolves) {
    launch();
    auto model = bonjourModel("Kitchen", "");
    auto service = m_services.back();
    m_bonjour->didFindService(nullptr, service, false);
    model = m_models->addDisplayModel(model);
    m_posts.clear();
    m_delegate->connectToVirtualScreenWith(model);
    EXPECT_TRUE(postsNamed(foundation::kConnectServerToHost).empty());
    EXPECT_TRUE(m_log.contains("Hostname is currently unavailable for service"));
    EXPECT_EQ(m_browsing->count("resolve Kitchen 5"), 2u); // the find batch's, and the connect's
    EXPECT_EQ(m_models->deferredConnectionSet().size(), 1u);

    service->setResolvedAddressForTesting("127.0.0.2", 6000);
    m_bonjour->netServiceDidResolveAddress(service);
    auto connects = postsNamed(foundation::kConnectServerToHost);
    ASSERT_EQ(connects.size(), 1u);
    EXPECT_EQ(connects[0].options, 1u);
    EXPECT_EQ(connects[0].userInfo,
              cf::Value(cf::Dictionary{{"connectToHostName", "127.0.0.2"},
                                       {"serviceKey", "local.~_qnexvscreen._udp~Kitchen"},
                                       {"displayName", "Kitchen"}}));
    EXPECT_EQ(text(postsNamed(foundation::kDisplayHostingQuery).at(0).userInfo, "DeviceName"), "127.0.0.2");
    EXPECT_TRUE(m_models->connectionAttemptInProgressForDisplayModel(model));
}

TEST_F(QNBAppDelegateTest, ADisconnectRequestSendsEmptyTextsForAbsentIdentifiers) {
    launch();
    auto typed = m_models->addDisplayModel(QNBDisplayModel::displayModelWithAddressString("10.0.0.4"));
    m_posts.clear();
    m_delegate->disconnectVirtualScreenWith(typed);
    ASSERT_EQ(m_posts.size(), 1u);
    EXPECT_EQ(m_posts[0].name, foundation::kDisconnectCurrentServerFromHost);
    EXPECT_EQ(m_posts[0].options, 3u);
    EXPECT_EQ(m_posts[0].userInfo, cf::Value(cf::Dictionary{{"disconnectHostName", "10.0.0.4"},
                                                            {"serviceKey", ""},
                                                            {"deviceIdentifier", ""},
                                                            {"disableDisplay", cf::Value(true)}}));
    EXPECT_TRUE(m_models->disconnectionAttemptInProgressForDisplayModel(typed));
}

TEST_F(QNBAppDelegateTest, DisconnectAllOfThreePostsApartAndCompletesOnceAfterTheLastDisconnect) {
    launch();
    auto a = connected("A", "dev-a"), b = connected("B", "dev-b"), c = connected("C", "dev-c");
    // A display over this Mac's cable is ended too: only auto-connected ones stay.
    auto usb = connected("U", "dev-u");
    usb->setDisplayMechanism(foundation::QNBUSBConnectionMechanism);
    connected("Auto", "dev-auto")->setAutoConnectMode(true);
    m_posts.clear();
    deliver(foundation::kDisconnectAllConnectedDisplays);
    auto posts = postsNamed(foundation::kDisconnectCurrentServerFromHost);
    ASSERT_EQ(posts.size(), 4u);
    EXPECT_EQ(text(posts[0].userInfo, "deviceIdentifier"), "dev-a");
    EXPECT_EQ(text(posts[2].userInfo, "deviceIdentifier"), "dev-c");
    EXPECT_EQ(text(posts[3].userInfo, "deviceIdentifier"), "dev-u");
    EXPECT_GE(posts[1].time - posts[0].time, 0.1);
    EXPECT_GE(posts[2].time - posts[1].time, 0.1);
    EXPECT_GE(posts[3].time - posts[2].time, 0.1);
    EXPECT_EQ(m_view->count("hostWillDisconnectAll"), 1u);

    for (const char* id : {"dev-a", "dev-b", "dev-c"})
        deliver(foundation::kServerDisconnectedFromDevice,
                cf::Value(cf::Dictionary{{"deviceIdentifier", id}}));
    m_delegate->connectionStatusCheck();
    EXPECT_EQ(m_view->count("disconnectAllComplete"), 0u);
    deliver(foundation::kServerDisconnectedFromDevice,
            cf::Value(cf::Dictionary{{"deviceIdentifier", "dev-u"}}));
    m_delegate->connectionStatusCheck();
    m_delegate->connectionStatusCheck();
    EXPECT_EQ(m_view->count("disconnectAllComplete"), 1u);
    EXPECT_FALSE(a->connected());
    EXPECT_FALSE(usb->connected());
    (void)b;
    (void)c;
}

TEST_F(QNBAppDelegateTest, ExilingOldClientsDisconnectsThemAllAndTellsTheUserOnce) {
    launch();
    auto pad = connected("Old Pad", "dev-a");
    pad->setPlatformName("iPad");
    connected("Unnamed", "dev-b"); // no platform: a single-connection client too
    connected("Mac", "dev-m")->setPlatformName("MacOSX");
    auto newer = connected("New Pad", "dev-n");
    newer->setPlatformName("iPad");
    newer->setClientMajorVersion(2);
    m_posts.clear();
    // While the alert is up another exile sends its display away but shows no second alert.
    m_alerts->duringModal = [&] {
        EXPECT_TRUE(m_delegate->versionDisconnectPanelShowing());
        EXPECT_TRUE(m_delegate->exileDisplayModels({pad}));
    };
    EXPECT_TRUE(m_delegate->exileSingleDisplayClients());
    m_alerts->duringModal = nullptr;
    std::set<std::string> sentAway;
    for (const auto& post : postsNamed(foundation::kDisconnectCurrentServerFromHost))
        sentAway.insert(text(post.userInfo, "deviceIdentifier"));
    EXPECT_EQ(sentAway, (std::set<std::string>{"dev-a", "dev-b"}));
    ASSERT_EQ(m_alerts->shown.size(), 1u);
    EXPECT_EQ(m_alerts->shown[0].message, "Disconnecting display");
    EXPECT_EQ(
        m_alerts->shown[0].informativeText,
        "Multiple connections are only supported for Tessel 2 and greater clients. Disconnecting: Old Pad");
    EXPECT_TRUE(m_log.contains("Found more than one exileable client."));
    EXPECT_FALSE(m_delegate->versionDisconnectPanelShowing());
    EXPECT_FALSE(m_delegate->exileDisplayModels({}));
    EXPECT_EQ(m_alerts->shown.size(), 1u);
}

TEST_F(QNBAppDelegateTest, ASecondCopyOfTheHostSaysSoAndQuits) {
    launch();
    m_runningCopies[foundation::kApplicationID] = 1;
    m_delegate->exitDuplicateInstances();
    EXPECT_TRUE(m_alerts->shown.empty());
    EXPECT_TRUE(m_exits.empty());
    m_runningCopies[foundation::kApplicationID] = 2;
    m_delegate->exitDuplicateInstances();
    ASSERT_EQ(m_alerts->shown.size(), 1u);
    EXPECT_EQ(m_alerts->shown[0].message, "Another copy of Tessel is already running.");
    EXPECT_EQ(m_alerts->shown[0].informativeText, "This copy will now quit.");
    EXPECT_EQ(m_exits.size(), 1u);
}

TEST_F(QNBAppDelegateTest, AHeldThreadStartKeepsASecondRefreshFromASecondPass) {
    launch();
    deliver(foundation::kDisplayHostingMultiResponse); // the server listens
    m_delegate->refreshAvailableServices();
    EXPECT_TRUE(m_threads.empty()); // not 3 s since launch
    platform::installFakeClock().advance(platform::seconds(3.5));
    deliver(kQNBBonjourBrowserDidAddService);
    deliver(kQNBBonjourBrowserDidUpdateTXTRecord); // a second change within 3 s
    EXPECT_EQ(m_threads.size(), 1u);
    EXPECT_TRUE(m_delegate->autoConnectInProgress());
    platform::installFakeClock().advance(platform::seconds(4));
    m_delegate->refreshAvailableServices();
    EXPECT_EQ(m_threads.size(), 1u); // the first pass has not even begun
    m_threads[0]();
    EXPECT_FALSE(m_delegate->autoConnectInProgress());
    platform::installFakeClock().advance(platform::seconds(4));
    m_delegate->refreshAvailableServices();
    EXPECT_EQ(m_threads.size(), 2u);
    EXPECT_EQ(postsNamed(foundation::kQueryRequestForConnectedHost).at(0).options, 2u);
}

TEST_F(QNBAppDelegateTest, TheAutoConnectPassConnectsAvailableAutoConnectDevicesAfterAPause) {
    launch();
    deliver(foundation::kDisplayHostingMultiResponse); // the server listens
    auto model = m_models->addDisplayModel(bonjourModel("Demo iPad", "127.0.0.2"));
    model->setAutoConnectMode(true);
    auto busy = connected("Busy", "dev-busy");
    busy->setAutoConnectMode(true);
    platform::installFakeClock().advance(platform::seconds(3.5));
    m_posts.clear();
    m_delegate->connectionStatusCheck();
    ASSERT_EQ(m_threads.size(), 1u);
    m_sleeps.clear();
    m_threads[0]();
    EXPECT_EQ(m_sleeps, std::vector<double>{0.25});
    auto connects = postsNamed(foundation::kConnectServerToHost);
    ASSERT_EQ(connects.size(), 1u);
    EXPECT_EQ(text(connects[0].userInfo, "displayName"), "Demo iPad");
    EXPECT_EQ(postsNamed(foundation::kDisplayHostingMultiQuery).size(), 1u);
}

// The gate counts time either way: a wall clock set back more than 3 s before the last pass
// starts the next one at once instead of holding auto-connect until it catches up.
TEST_F(QNBAppDelegateTest, TheAutoConnectGateHoldsEitherWayInTime) {
    launch();
    deliver(foundation::kDisplayHostingMultiResponse); // the server listens
    auto& clock = platform::installFakeClock();
    clock.advance(platform::seconds(3.5));
    const size_t before = m_threads.size();
    m_delegate->refreshAvailableServices();
    ASSERT_EQ(m_threads.size(), before + 1);
    m_threads.back()();
    clock.setWall(platform::wallNow() - 2);
    m_delegate->refreshAvailableServices();
    EXPECT_EQ(m_threads.size(), before + 1) << "2 s back is within the 3 s";
    clock.setWall(platform::wallNow() - 60);
    m_delegate->refreshAvailableServices();
    EXPECT_EQ(m_threads.size(), before + 2) << "set back a minute: a pass starts at once";
}

// A device over USB is never available for a network connect: the pass leaves it alone, in
// auto-connect mode and idle though it is, and connects the other device only.
TEST_F(QNBAppDelegateTest, TheAutoConnectPassSkipsAModelThatIsNotAvailable) {
    launch();
    deliver(foundation::kDisplayHostingMultiResponse); // the server listens
    const size_t before = m_threads.size();
    auto cable = QNBDisplayModel::create();
    cable->setDisplayName("Cable");
    cable->setDeviceIdentifier("dev-usb");
    cable->setDisplayMechanism(foundation::QNBUSBConnectionMechanism);
    cable->identifyByFirstIdentifier();
    cable = m_models->addDisplayModel(cable);
    cable->setAutoConnectMode(true);
    auto model = m_models->addDisplayModel(bonjourModel("Demo iPad", "127.0.0.2"));
    model->setAutoConnectMode(true);
    platform::installFakeClock().advance(platform::seconds(3.5));
    m_posts.clear();
    m_delegate->connectionStatusCheck();
    ASSERT_EQ(m_threads.size(), before + 1);
    ASSERT_FALSE(cable->availability());
    ASSERT_FALSE(cable->connected());
    m_sleeps.clear();
    m_threads.back()();
    EXPECT_EQ(m_sleeps, std::vector<double>{0.25}) << "one pause: for the available device alone";
    auto connects = postsNamed(foundation::kConnectServerToHost);
    ASSERT_EQ(connects.size(), 1u);
    EXPECT_EQ(text(connects[0].userInfo, "displayName"), "Demo iPad");
    EXPECT_EQ(m_models->displayModelArray().size(), 2u);
}

TEST_F(QNBAppDelegateTest, AfterTheServerCrashedAutoConnectWaitsForTheRelaunchedServersAnswer) {
    launch();
    ASSERT_EQ(m_launches.size(), 1u);
    EXPECT_TRUE(m_delegate->serverAwaited()); // launched, not yet listening
    auto model = m_models->addDisplayModel(bonjourModel("Demo iPad", "127.0.0.2"));
    model->setAutoConnectMode(true);
    platform::installFakeClock().advance(platform::seconds(3.5));
    m_delegate->connectionStatusCheck();
    EXPECT_TRUE(m_threads.empty());
    deliver(foundation::kDisplayHostingMultiResponse); // its first answer starts a pass at once
    ASSERT_EQ(m_threads.size(), 1u);
    m_threads[0]();
    ASSERT_EQ(postsNamed(foundation::kConnectServerToHost).size(), 1u);
    m_models->localConnectionMadeForDisplayModel(model);

    // The server crashes; the device is idle again by the next tick. The tick launches the
    // server at once and asks for nothing until it answers: no attempt, so no alert.
    m_serverPids.clear();
    model->setConnected(false);
    platform::installFakeClock().advance(platform::seconds(3.5));
    m_delegate->connectionStatusCheck();
    EXPECT_EQ(m_launches.size(), 2u);
    platform::installFakeClock().advance(platform::seconds(3.5));
    m_delegate->connectionStatusCheck();
    dispatch::advanceAndRun(25.0); // ticks and watchdog steps: the server runs, and is silent
    EXPECT_EQ(m_threads.size(), 1u);
    EXPECT_EQ(m_launches.size(), 2u);
    EXPECT_EQ(postsNamed(foundation::kConnectServerToHost).size(), 1u);
    EXPECT_FALSE(m_models->connectionAttemptInProgressForDisplayModel(model));
    EXPECT_TRUE(m_alerts->shown.empty());

    // A pass that finds the server gone by the time it runs records nothing either.
    deliver(foundation::kDisplayHostingMultiResponse);
    ASSERT_EQ(m_threads.size(), 2u);
    m_serverPids.clear();
    m_threads[1]();
    EXPECT_EQ(postsNamed(foundation::kConnectServerToHost).size(), 1u);
    EXPECT_FALSE(m_models->connectionAttemptInProgressForDisplayModel(model));
    EXPECT_TRUE(m_delegate->serverAwaited());

    m_delegate->startVirtualScreenIfNotRunning();
    platform::installFakeClock().advance(platform::seconds(3.5));
    deliver(foundation::kDisplayHostingMultiResponse);
    ASSERT_EQ(m_threads.size(), 3u);
    m_threads[2]();
    EXPECT_EQ(postsNamed(foundation::kConnectServerToHost).size(), 2u);
}

TEST_F(QNBAppDelegateTest, ReportsOfTheWrongShapeAddNothing) {
    launch();
    deliver(foundation::kServerConnectedToDevice, cf::Value(cf::Dictionary{{"displayName", "Nobody"}}));
    deliver(foundation::kServerConnectedToDevice, cf::Value("not a dictionary"));
    deliver(foundation::kDisplayHostingMultiResponse,
            cf::Value(cf::Dictionary{{foundation::kDisplayHostingQueryArrayKey, "x"}}));
    EXPECT_TRUE(m_models->displayModelArray().empty());
    auto model = connected("Kitchen", "dev-1");
    model->setLocalConnection(false);
    deliver(foundation::kDisplayHostingResponse,
            cf::Value(cf::Dictionary{{foundation::kDisplayHostingResponseKey, "YES"}}));
    deliver(foundation::kDisplayHostingResponse,
            cf::Value(cf::Dictionary{{"DeviceName", "Kitchen"},
                                     {foundation::kDisplayHostingResponseKey, int64_t{1}}}));
    EXPECT_FALSE(model->localConnection());
    deliver(foundation::kDisplayHostingResponse,
            cf::Value(cf::Dictionary{{"DeviceName", "Kitchen"},
                                     {foundation::kDisplayHostingResponseKey, "YES"},
                                     {foundation::kDisplayHostingConnectedKey, "YES"}}));
    EXPECT_TRUE(model->localConnection());

    deliver(
        foundation::kServerConnectedToDevice,
        cf::Value(cf::Dictionary{{"deviceIdentifier", ""}, {"serviceKey", "K"}, {"displayName", "Other"}}));
    ASSERT_EQ(m_models->displayModelArray().size(), 2u);
    EXPECT_EQ(m_models->displayModelArray()[1]->uniqueIdentifier(), "K");
}

TEST_F(QNBAppDelegateTest, TheInformationRequestIsAnsweredWithBothVersions) {
    launch();
    m_posts.clear();
    deliver(foundation::kInformationRequestFromHost);
    ASSERT_EQ(m_posts.size(), 1u);
    EXPECT_EQ(m_posts[0].name, foundation::kInformationResponseFromHost);
    EXPECT_EQ(m_posts[0].options, 2u);
    EXPECT_EQ(m_posts[0].userInfo,
              cf::Value(cf::Dictionary{{"HostSystemVersionKey", "10.12.6"}, {"HostVersionKey", "7"}}));
}

} // namespace
