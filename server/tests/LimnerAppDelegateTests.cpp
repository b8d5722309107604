// The application shell over the fake mediator: start-up's order and its driver check, the
// hosting queries, the preference re-apply, and the two stops of the termination road against
// the in-process kernel with both kexts.
#include "server/tests/DriverClientTestSupport.h"
#include "server/tests/MediatorTestSupport.h"

#include "display/QNBScreen.h"
#include "server/LimnerAppDelegate.h"

#include "foundation/QNBDisplayQuery.h"
#include "foundation/QNBPreferences.h"
#include "foundation/Vocabulary.h"

#include "platform/appkit/BITHockeyManager.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/Profile.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/foundation/NSNotificationCenter.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

using namespace server;
using namespace server::testing;

struct Post {
    std::string name;
    std::optional<cf::Value> userInfo;
    uint64_t options = 0;
};

class LimnerAppDelegateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::installFakeClock();
        char pattern[] = "/tmp/lad.XXXXXX";
        ASSERT_TRUE(::mkdtemp(pattern));
        m_root = pattern;
        ::mkdir((m_root + "/home").c_str(), 0700);
        ::setenv("HOME", (m_root + "/home").c_str(), 1);
        ::setenv("PLATFORM_ROOT", m_root.c_str(), 1);
        ASSERT_TRUE(platform::testing::makeRoot(m_root));
        m_app = std::make_shared<appkit::NSApplication>();
        m_app->setExitHandler([this](int code) { m_exits.push_back(code); });
    }
    void TearDown() override {
        BaseLimnerAppDelegate::setAppDelegate(nullptr);
        if (m_app) m_app->setDelegate(nullptr);
        m_delegate.reset();
        m_fixture.reset();
        platformd::testing::removeTree(m_root);
    }

    LimnerAppDelegate::Environment environment() {
        LimnerAppDelegate::Environment e;
        e.application = m_app;
        e.makeMediator = [this] {
            m_calls.push_back("mediator");
            return m_fixture->mediator;
        };
        e.driverInstalled = [this] {
            m_calls.push_back("driver check");
            return m_driverInstalled;
        };
        e.post = [this](const std::string& name, const std::optional<cf::Value>& userInfo, uint64_t options) {
            m_posts.push_back({name, userInfo, options});
        };
        e.observe = [this](const std::string& name, std::function<void(const ns::NSNotification&)> block) {
            m_observed.emplace_back(name, std::move(block));
        };
        e.runOnMainQueue = [](LimnerAppDelegate::Block block) { block(); };
        e.runOnGlobalQueue = [](LimnerAppDelegate::Block block) { block(); };
        e.wallNow = [] { return 800'000'000.0; };
        e.activateDisplay = [this](ScreenServer& server) { ++m_activations[&server]; };
        e.systemVersion = [] { return uint32_t{0x0A0C06}; };
        e.preferences = &foundation::QNBPreferences::sharedAppPrefs();
        return e;
    }
    void launch() {
        m_fixture = std::make_unique<MediatorFixture>();
        m_delegate = LimnerAppDelegate::make(environment());
        m_app->setDelegate(m_delegate);
        BaseLimnerAppDelegate::setAppDelegate(m_delegate);
        m_delegate->applicationDidFinishLaunching({});
    }
    void deliver(const std::string& name, std::optional<cf::Value> userInfo = std::nullopt) {
        for (auto& [observed, block] : m_observed)
            if (observed == name) block(ns::NSNotification{name, nullptr, userInfo});
    }
    std::vector<Post> postsNamed(const std::string& name) const {
        std::vector<Post> out;
        for (const auto& p : m_posts)
            if (p.name == name) out.push_back(p);
        return out;
    }
    std::string text(const cf::Value& dictionary, const char* key) const {
        const cf::Value* v = dictionary.find(key);
        return v && v->asString() ? *v->asString() : "(absent)";
    }

    platform::LogCapture m_log{true};
    std::string m_root;
    std::shared_ptr<appkit::NSApplication> m_app;
    std::vector<int> m_exits;
    std::unique_ptr<MediatorFixture> m_fixture;
    std::shared_ptr<LimnerAppDelegate> m_delegate;
    std::vector<std::string> m_calls;
    bool m_driverInstalled = true;
    std::vector<Post> m_posts;
    std::vector<std::pair<std::string, std::function<void(const ns::NSNotification&)>>> m_observed;
    std::map<const ScreenServer*, int> m_activations;
};

TEST_F(LimnerAppDelegateTest,
       LaunchConfiguresTheReporterBecomesAnAccessoryAndObservesElevenNotificationsInOrder) {
    appkit::BITHockeyManager::sharedHockeyManager().resetForTesting();
    display::setTransmitsRetinaGraphics(false);
    launch();
    EXPECT_TRUE(display::transmitsRetinaGraphics())
        << "the display side's switch follows the delegate's answer";
    EXPECT_EQ(m_calls, (std::vector<std::string>{"mediator", "driver check"}))
        << "the mediator listens first";
    EXPECT_EQ(m_delegate->screenServerMediator(), m_fixture->mediator);
    EXPECT_EQ(m_fixture->listener->listenedPort(), 6001);
    auto& reporter = appkit::BITHockeyManager::sharedHockeyManager();
    EXPECT_TRUE(reporter.isStarted());
    EXPECT_EQ(reporter.identifier(), "3b9e07c1d4a2f65e8c71b0d9a4e2f356");
    EXPECT_EQ(reporter.delegate().get(), static_cast<appkit::BITHockeyManagerDelegate*>(m_delegate.get()));
    EXPECT_EQ(m_app->activationPolicy(), appkit::NSApplicationActivationPolicyAccessory);
    std::vector<std::string> names;
    for (const auto& [name, block] : m_observed)
        names.push_back(name);
    EXPECT_EQ(
        names,
        (std::vector<std::string>{
            "com.quenby.Tessel.TerminateScreenServer", "com.quenby.Tessel.ConnectServerToHost",
            "com.quenby.Tessel.DisconnectCurrentServerFromHost",
            "com.quenby.Tessel.TSEPrefsDidChangeNotification", "com.quenby.Tessel.DisplayHostingQuery",
            "com.quenby.Tessel.DisplayHostingMultiQuery", "com.quenby.Tessel.ServerConnectedToDevice",
            "com.quenby.Tessel.ServerDisconnectedFromDevice", "NSWorkspaceSessionDidBecomeActiveNotification",
            "NSWorkspaceSessionDidResignActiveNotification", "we-waited-and-waited-but-he-never-came :("}));
    EXPECT_TRUE(m_exits.empty());
    EXPECT_EQ(m_delegate->mainDataTrafficPort(), 6001);
    EXPECT_EQ(m_delegate->clientSidebandPort(), 6000);
    EXPECT_EQ(m_delegate->serverSidebandPort(), 6002);
}

TEST_F(LimnerAppDelegateTest, WithoutTheDriverItLogsAndTerminatesObservingNothing) {
    m_driverInstalled = false;
    launch();
    EXPECT_TRUE(m_log.contains("Tessel Server exiting because no driver installed."));
    EXPECT_EQ(m_exits, std::vector<int>{0});
    EXPECT_TRUE(m_observed.empty());
    EXPECT_EQ(m_calls, (std::vector<std::string>{"mediator", "driver check"}));
}

TEST_F(LimnerAppDelegateTest, ConnectRequestsGetTheirInviteDateAndAbsentOnesDoNothing) {
    launch();
    m_fixture->ipv4Names["127.0.0.2"] = v4("127.0.0.2");
    deliver(foundation::kConnectServerToHost);
    deliver(foundation::kConnectServerToHost, cf::Value("not a dictionary"));
    EXPECT_TRUE(m_fixture->mediator->connectionDataArray().empty());
    deliver(foundation::kConnectServerToHost,
            cf::Value(cf::Dictionary{{foundation::kConnectToHostName, "127.0.0.2"},
                                     {foundation::kServiceKey, "k"}}));
    auto pending = m_fixture->mediator->connectionDataArray();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].connectionInviteDate, 800'000'000.0);
    EXPECT_EQ(m_fixture->invitations().size(), 1u);
}

TEST_F(LimnerAppDelegateTest, HostingQueriesAnswerForActiveSessionsWithAnIdentifierTextAlways) {
    launch();
    m_fixture->ipv4Names["127.0.0.2"] = v4("127.0.0.2");
    m_fixture->ipv4Names["127.0.0.3"] = v4("127.0.0.3");
    m_fixture->mediator->connectToScreenServerWithDictionary(m_fixture->request("127.0.0.2", "k2", "Two"));
    m_fixture->mediator->connectToScreenServerWithDictionary(m_fixture->request("127.0.0.3", "k3", "Three"));
    m_fixture->connect(v4("127.0.0.2", 1));
    m_fixture->connect(v4("127.0.0.3", 1));
    m_fixture->servers[0]->setDeviceIdentifier("device-2");

    auto ask = [&](std::optional<cf::Value> userInfo) {
        m_posts.clear();
        deliver(foundation::kDisplayHostingQuery, std::move(userInfo));
        return postsNamed(foundation::kDisplayHostingResponse);
    };
    auto active = ask(cf::Value(cf::Dictionary{{"DeviceName", "127.0.0.2"}}));
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active[0].options, 2u);
    EXPECT_EQ(text(*active[0].userInfo, foundation::kDisplayHostingResponseKey), "YES");
    EXPECT_EQ(text(*active[0].userInfo, foundation::kDisplayHostingConnectedKey), "YES");
    EXPECT_EQ(text(*active[0].userInfo, "DeviceName"), "127.0.0.2");
    EXPECT_EQ(text(*active[0].userInfo, "deviceIdentifier"), "device-2");

    auto noIdentifier = ask(cf::Value(cf::Dictionary{{"DeviceName", "127.0.0.3"}}));
    ASSERT_EQ(noIdentifier.size(), 1u);
    EXPECT_EQ(text(*noIdentifier[0].userInfo, foundation::kDisplayHostingResponseKey), "YES");
    EXPECT_EQ(text(*noIdentifier[0].userInfo, "deviceIdentifier"), "");

    auto missing = ask(cf::Value(cf::Dictionary{{"DeviceName", "127.0.0.9"}}));
    ASSERT_EQ(missing.size(), 1u);
    EXPECT_EQ(text(*missing[0].userInfo, foundation::kDisplayHostingResponseKey), "NO");
    EXPECT_EQ(text(*missing[0].userInfo, foundation::kDisplayHostingConnectedKey), "NO");
    EXPECT_EQ(text(*missing[0].userInfo, "deviceIdentifier"), "");

    EXPECT_TRUE(ask(std::nullopt).empty());
    EXPECT_TRUE(ask(cf::Value(cf::Dictionary{})).empty());
    EXPECT_TRUE(ask(cf::Value(cf::Dictionary{{"DeviceName", 12}})).empty());
}

TEST_F(LimnerAppDelegateTest, TheMultiQueryAnswersFourRecordsInSessionOrder) {
    launch();
    m_fixture->ipv4Names["127.0.0.3"] = v4("127.0.0.3");
    m_fixture->connect(v4("127.0.0.2", 1));
    m_fixture->mediator->connectToScreenServerWithDictionary(m_fixture->request("127.0.0.3", "k3", "Three"));
    m_fixture->connect(v4("127.0.0.3", 1));
    deliver(foundation::kDisplayHostingMultiQuery);
    auto posts = postsNamed(foundation::kDisplayHostingMultiResponse);
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].options, 2u);
    auto records = foundation::QNBDisplayQuery::queryArrayWithDictionary(posts[0].userInfo);
    ASSERT_TRUE(records);
    ASSERT_EQ(records->size(), 4u);
    EXPECT_TRUE((*records)[0]->connected());
    EXPECT_EQ((*records)[0]->hostName().value_or(""), "");
    EXPECT_TRUE((*records)[1]->connected());
    EXPECT_EQ((*records)[1]->hostName(), "127.0.0.3");
    EXPECT_EQ((*records)[1]->serviceKey(), "k3");
    EXPECT_EQ((*records)[1]->addressIdentifier(), "qnbAddressStringKey~127.0.0.3");
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_TRUE((*records)[i]->hosted());
        EXPECT_FALSE((*records)[i]->hasUSBMechanism());
        EXPECT_EQ((*records)[i]->connected(), i < 2);
    }
}

TEST_F(LimnerAppDelegateTest, TurningHiDPIOffAfterItWasOnReactivatesEachActiveSessionOnce) {
    auto& prefs = foundation::QNBPreferences::sharedAppPrefs();
    prefs.baseSetEnableHiDPIResolutions(true);
    launch();
    EXPECT_TRUE(m_delegate->previousHiDPIState());
    m_fixture->connect(v4("127.0.0.2", 1));
    m_fixture->connect(v4("127.0.0.3", 1));
    prefs.baseSetEnableHiDPIResolutions(false);
    deliver(foundation::kPrefsDidChangeNotification);
    EXPECT_EQ(m_activations.size(), 2u);
    EXPECT_EQ(m_activations[m_fixture->servers[0].get()], 1);
    EXPECT_EQ(m_activations[m_fixture->servers[1].get()], 1);
    EXPECT_FALSE(m_delegate->shouldUpdateHiDPIState());
    EXPECT_FALSE(m_delegate->previousHiDPIState());
    deliver(foundation::kPrefsDidChangeNotification);
    EXPECT_EQ(m_activations[m_fixture->servers[0].get()], 1) << "once only";
}

TEST_F(LimnerAppDelegateTest, NegotiationAsksEveryClientForKeyboardThenTouchByThePreferences) {
    auto& prefs = foundation::QNBPreferences::sharedAppPrefs();
    prefs.baseSetEnableKeyboardInput(false);
    prefs.baseSetEnableTouchDisplay(true);
    launch();
    auto client = m_fixture->connect(v4("127.0.0.2", 1));
    m_delegate->serverDidConnectToDevice(std::nullopt);
    // Each session sends both feature states on its sideband socket, keyboard first; a device
    // connection negotiates twice (once in the preference re-apply, once after it).
    auto sideband = std::dynamic_pointer_cast<MemorySocket>(m_fixture->servers[0]->sidebandSocket());
    ASSERT_TRUE(sideband);
    auto sent = sideband->datagrams();
    ASSERT_EQ(sent.size(), 4u);
    const std::vector<uint8_t> keyboardOff{0, 0, 0, 0, 2, 0, 4, 0, 0x13, 0, 0, 0, 0};
    const std::vector<uint8_t> touchOn{0, 0, 0, 0, 1, 0, 3, 0, 0x13, 0, 0, 0, 0};
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].bytes, i % 2 == 0 ? keyboardOff : touchOn) << i;
        EXPECT_EQ(sent[i].port, 6000);
    }
    EXPECT_TRUE(m_fixture->servers[1]->sidebandSocket() == nullptr) << "a session never connected has none";
}

TEST_F(LimnerAppDelegateTest, DisconnectAllAndTheHostsDisconnectRequestReachTheirTargets) {
    launch();
    m_fixture->ipv4Names["127.0.0.2"] = v4("127.0.0.2");
    m_fixture->mediator->connectToScreenServerWithDictionary(m_fixture->request("127.0.0.2", "k2"));
    auto client = m_fixture->connect(v4("127.0.0.2", 1));
    deliver(foundation::kDisconnectCurrentServerFromHost, cf::Value(cf::Dictionary{{"serviceKey", "k2"}}));
    EXPECT_TRUE(client->closed());
    m_delegate->disconnectAllConnections();
    auto all = postsNamed(foundation::kDisconnectAllConnectedDisplays);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].options, 3u);
    EXPECT_EQ(all[0].userInfo->count(), 0u);
    deliver(foundation::kSetDisplayIDForHost, cf::Value(cf::Dictionary{{"hostName", "h"}}));
    EXPECT_TRUE(m_log.contains("Set : "));
}

// The termination road runs the shutdown twice: each connection sees switch-off (3) and close
// (1) once, whatever the number of stops.
// A mediator over memory sockets, run inline, whose driver client is a real one.
ScreenServerMediator::Collaborators withRealDriverClient() {
    ScreenServerMediator::Collaborators c;
    c.makeSocket = [] { return std::make_shared<MemorySocket>(); };
    c.makeDatagramSocket = [](int) { return std::make_shared<MemorySocket>(); };
    c.resolveHost = [](const std::string&, int, net::SocketAddress&) { return false; };
    c.makeDriverClient = [](std::recursive_mutex& lock) {
        return std::make_shared<FramebufferDriverClient>(lock);
    };
    c.makeServer = [](uint16_t port) { return std::make_shared<RecordingServer>(port); };
    c.wallNow = [] { return 0.0; };
    c.sleepFor = [](double) {};
    c.runOnGlobalQueue = c.runOnMainThread =
        c.runOnSidebandQueue = [](ScreenServerMediator::Block b) { b(); };
    c.isMainThread = [] { return true; };
    return c;
}

TEST_F(LimnerAppDelegateTest, TerminationOnLionAndLaterEndsTheDelegatesLocalObservationsTwiceSafely) {
    launch();
    auto& center = ns::NSNotificationCenter::defaultCenter();
    const size_t before = center.observationCount();
    center.addObserver(m_delegate, &LimnerAppDelegate::windowDidChangeScreen, std::string("probe"), nullptr);
    ASSERT_EQ(center.observationCount(), before + 1);
    m_delegate->applicationWillTerminate({});
    EXPECT_EQ(center.observationCount(), before);
    m_delegate->applicationWillTerminate({}); // the termination road runs it twice
    EXPECT_EQ(center.observationCount(), before);

    // Before 10.7 the local observations stay.
    auto environmentOf106 = environment();
    environmentOf106.systemVersion = [] { return uint32_t{0x0A0608}; };
    auto older = LimnerAppDelegate::make(std::move(environmentOf106));
    center.addObserver(older, &LimnerAppDelegate::windowDidChangeScreen, std::string("probe"), nullptr);
    older->applicationWillTerminate({});
    EXPECT_EQ(center.observationCount(), before + 1);
    center.removeObserver(static_cast<const void*>(older.get()));
}

TEST_F(LimnerAppDelegateTest, TheShellsOwnAnswersAndPlainFields) {
    launch();
    BaseLimnerAppDelegate base;
    EXPECT_FALSE(base.reflectorClass());
    EXPECT_EQ(base.screenConnection(), nullptr);
    EXPECT_EQ(base.window(), nullptr);
    EXPECT_EQ(base.display(), nullptr);
    EXPECT_EQ(m_delegate->reflectorClass(), std::optional<std::string>("QNDesktopReflectorPanel"));
    EXPECT_EQ(m_delegate->screenConnection(), nullptr);
    const auto cursor = m_delegate->updateCursorFromDriver();
    EXPECT_EQ(cursor.data, nullptr);
    EXPECT_EQ(cursor.width + cursor.height + cursor.hotSpotX + cursor.hotSpotY, 0.0);
    m_delegate->setPreviousHiDPIState(true);
    m_delegate->setShouldUpdateHiDPIState(true);
    EXPECT_TRUE(m_delegate->previousHiDPIState());
    EXPECT_TRUE(m_delegate->shouldUpdateHiDPIState());
    EXPECT_FALSE(m_delegate->clientWindowCheckStopRequest());
}

TEST_F(LimnerAppDelegateTest, TwoStopsSendSelectorsThreeAndOneOncePerConnection) {
    iokit::InProcessKernelOptions options;
    options.kexts = {std::string(TESSEL_KEXT_DIR) + "/QNVideoCard.kext",
                     std::string(TESSEL_KEXT_DIR) + "/QNFramebuffer.kext"};
    auto kernel = std::make_shared<iokit::InProcessKernel>(options);
    kernel->install();
    auto transport = std::make_shared<RecordingTransport>(kernel);
    iokit::IOKitSetTransport(transport);
    launch();
    // The fixture's mediator has no driver client: this one has a real one.
    auto lockOwner = ScreenServerMediator::initOnPort(6001, withRealDriverClient());
    m_delegate->setScreenServerMediator(lockOwner);
    ASSERT_TRUE(lockOwner->setupUserClientWithError(nullptr));
    auto ports = lockOwner->dataPorts();
    transport->clear();
    // The handler's own shutdown, then the framework's terminate runs it once more.
    deliver(foundation::kTerminateScreenServer);
    EXPECT_EQ(m_exits, std::vector<int>{0});
    for (uint32_t port : ports) {
        std::vector<uint32_t> selectors;
        for (const auto& call : transport->calls())
            if (call.connection == port) selectors.push_back(call.selector);
        EXPECT_EQ(selectors, (std::vector<uint32_t>{3, 1})) << "connection " << port;
    }
    EXPECT_EQ(transport->closed().size(), 4u);
    for (uint32_t port : lockOwner->dataPorts())
        EXPECT_EQ(port, 0u);
    m_delegate->setScreenServerMediator(nullptr);
    lockOwner.reset();
    iokit::IOKitSetTransport(nullptr);
    kernel->shutdown();
}

// The session's cursor loop asks through the mediator interface; the mediator must hand those
// queries to its driver client rather than leave the interface's "never query" answers.
TEST(ScreenServerMediatorCursor, TheCursorLoopsQueriesReachTheDriverClient) {
    iokit::InProcessKernelOptions options;
    options.kexts = {std::string(TESSEL_KEXT_DIR) + "/QNVideoCard.kext",
                     std::string(TESSEL_KEXT_DIR) + "/QNFramebuffer.kext"};
    auto kernel = std::make_shared<iokit::InProcessKernel>(options);
    kernel->install();
    auto mediator = ScreenServerMediator::initOnPort(6001, withRealDriverClient());
    ScreenServerMediatorInterface& asSeenBySessions = *mediator;
    auto cursor = asSeenBySessions.mouseCursorOnDisplay(nullptr);
    // The system cursor, made afresh per query; the interface alone would answer none.
    EXPECT_NE(cursor, nullptr);
    cg::CGPoint hotspot = asSeenBySessions.mouseHotspot();
    cg::CGPoint expected = mediator->driverClient()->mouseHotspot();
    EXPECT_EQ(hotspot.x, expected.x);
    EXPECT_EQ(hotspot.y, expected.y);
    // Without a display set nothing is queried, as the driver client answers.
    EXPECT_FALSE(asSeenBySessions.shouldQueryMouseOnDisplay(nullptr));
    mediator.reset();
    kernel->shutdown();
}

} // namespace
