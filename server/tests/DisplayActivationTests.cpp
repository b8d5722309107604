// Display activation of one session: a socket pair as its client socket, the real driver client
// over the in-process kernel and window server behind a recording mediator, a recording
// encoder; the fake clock paces the driver client's passes.
#include "DriverClientTestSupport.h"

#include "display/QNBDisplaySet.h"
#include "display/QNBScreen.h"
#include "net/QNMessages.h"
#include "net/QNNetSocket.h"
#include "server/BaseLimnerAppDelegate.h"
#include "server/ScreenServer.h"

#include "foundation/QNBPreferences.h"
#include "platform/appkit/NSEvent.h"
#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/CFPreferences.h"
#include "platform/corefoundation/Profile.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "platform/coregraphics/WindowServerTransport.h"
#include "platform/daemon/testing/PrivatePlatformd.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/Testing.h"
#include "platform/foundation/NSBundle.h"
#include "platform/services/NSWorkspace.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <gtest/gtest.h>

#include <cmath>
#include <condition_variable>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace server {
namespace {

const std::string kKextDir = TESSEL_KEXT_DIR;
constexpr int kIndex = 2;
constexpr uint32_t kDisplay = 0x102;

// What the encoder was told, in order.
class RecordingEncoder : public capture::QNBVellEncoderProtocol {
  public:
    void clearRectangles() override {}
    void setEncoderInformation(const std::shared_ptr<display::QNBDisplaySet>& set,
                               const std::shared_ptr<net::QNNetSocketProtocol>&,
                               const net::QNCapabilities&) override {
        std::lock_guard lock(mutex);
        events.push_back("information " + std::to_string(set ? set->displayID() : 0));
    }
    void addDirtyRectangle(cg::CGRect rect) override {
        std::lock_guard lock(mutex);
        events.push_back("dirty " + std::to_string(int(rect.size.width)) + "x" +
                         std::to_string(int(rect.size.height)));
    }
    void encodeFrame(int32_t, bool, const std::shared_ptr<display::QNBDisplay>&) override {}
    void encodeFrame(int32_t, bool, const std::shared_ptr<display::QNBDisplay>&, uint32_t) override {}
    std::shared_ptr<capture::QNBVellEncoderDelegateProtocol> delegate() const override { return nullptr; }
    void setDelegate(std::weak_ptr<capture::QNBVellEncoderDelegateProtocol>) override {}

    std::vector<std::string> copy() {
        std::lock_guard lock(mutex);
        return events;
    }
    std::mutex mutex;
    std::vector<std::string> events;
};

// Forwards to the real driver client, recording each enable and able to hold one back.
class RecordingMediator : public ScreenServerMediatorInterface {
  public:
    explicit RecordingMediator(FramebufferDriverClient& client) : m_client(client) {}
    uint64_t activeServerCount() override { return 1; }
    void disableDisplay(ScreenServer& server) override {
        ++disables;
        m_client.disableDisplay(server);
    }
    std::shared_ptr<display::QNBDisplaySet> enableDisplayWithDisplayModes(ScreenServer& server,
                                                                          const int* modes, size_t modeCount,
                                                                          platform::Error* error) override {
        {
            std::unique_lock lock(mutex);
            enables.emplace_back(modes, modes + modeCount);
            statesAtEnable.push_back(server.state());
            changed.notify_all();
            changed.wait(lock, [&] { return !holding; });
        }
        if (answer) return answer(server);
        return m_client.enableDisplayWithDisplayModes(server, modes, modeCount, error);
    }
    void hold() {
        std::lock_guard lock(mutex);
        holding = true;
    }
    void release() {
        std::lock_guard lock(mutex);
        holding = false;
        changed.notify_all();
    }
    void waitForEnables(size_t n) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return enables.size() >= n; });
    }

    std::mutex mutex;
    std::condition_variable changed;
    bool holding = false;
    std::vector<std::vector<int>> enables;
    std::vector<int32_t> statesAtEnable;
    std::atomic<int> disables{0};
    std::function<std::shared_ptr<display::QNBDisplaySet>(ScreenServer&)> answer;

  private:
    FramebufferDriverClient& m_client;
};

class SwitchRecordingDelegate : public BaseLimnerAppDelegate {
  public:
    void applicationSwitched(int32_t pid) override { switched.push_back(pid); }
    std::vector<int32_t> switched;
};

cf::Value entry(double width, double height, int mode) {
    return cf::Dictionary{
        {"width", cf::Value(width)}, {"height", cf::Value(height)}, {"modeID", cf::Value(mode)}};
}

class DisplayActivation : public ::testing::Test {
  protected:
    void SetUp() override {
        m_clock = &platform::installFakeClock();
        m_root = testing::makeTestRoot("dac");
        ASSERT_FALSE(m_root.empty());
        ::mkdir((m_root + "/bundle").c_str(), 0700);
        writeResolutions({entry(1024, 768, 1), entry(1280, 800, 19), entry(1280, 720, 9)});
        ns::NSBundle::setMainBundle(std::make_shared<ns::NSBundle>(m_root + "/bundle", m_root + "/bundle",
                                                                   cf::Value(cf::Dictionary{})));

        iokit::InProcessKernelOptions options;
        options.kexts = {kKextDir + "/QNVideoCard.kext", kKextDir + "/QNFramebuffer.kext"};
        m_kernel = std::make_shared<iokit::InProcessKernel>(options);
        m_kernel->install();
        m_transport = std::make_shared<testing::RecordingTransport>(m_kernel);
        iokit::IOKitSetTransport(m_transport);

        m_client = std::make_unique<FramebufferDriverClient>(m_mediatorLock);
        m_client->setScreenList(testing::windowServerScreens(*m_kernel));
        m_client->setPassSleeper([this](double seconds) { m_clock->advance(platform::seconds(seconds)); });
        ASSERT_TRUE(m_client->setupUserClientWithError(nullptr));
        m_mediator = std::make_shared<RecordingMediator>(*m_client);

        m_server = ScreenServer::init();
        std::vector<std::shared_ptr<ScreenServer>> servers(4);
        for (auto& s : servers)
            s = ScreenServer::init();
        servers[kIndex] = m_server;
        m_others = servers;
        m_client->setServers(servers);
        m_server->setMediator(m_mediator);
        m_server->setDistributedPoster(
            [this](const std::string& name, const std::optional<cf::Value>&, uint64_t) {
                std::lock_guard lock(m_postsMutex);
                m_posts.push_back(name);
            });
        m_server->setEncoderClass(capture::QNBJPEGVellEncoderClass());
        m_encoder = std::make_shared<RecordingEncoder>();
        m_server->setEncoder(m_encoder);
        m_delegate = std::make_shared<SwitchRecordingDelegate>();
        BaseLimnerAppDelegate::setAppDelegate(m_delegate);
        connectClient(3, 0, 0);
    }

    void TearDown() override {
        drain();
        BaseLimnerAppDelegate::setAppDelegate(nullptr);
        m_server->setClientSocket(nullptr);
        m_client->stop();
        m_server.reset();
        m_others.clear();
        m_kernel->shutdown();
        iokit::IOKitSetTransport(nullptr);
        m_transport.reset();
        m_kernel.reset();
        ns::NSBundle::setMainBundle(nullptr);
        if (m_peer >= 0) ::close(m_peer);
        platformd::testing::removeTree(m_root);
    }

    void writeResolutions(cf::Array entries) {
        ASSERT_TRUE(cf::writePropertyListFile(cf::Value(std::move(entries)),
                                              m_root + "/bundle/SupportedResolutions.plist",
                                              cf::PropertyListFormat::XML));
    }

    void connectClient(uint8_t major, uint8_t minor, uint8_t sub) {
        if (m_peer >= 0) ::close(m_peer);
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        m_peer = fds[1];
        ::fcntl(m_peer, F_SETFL, O_NONBLOCK);
        m_socket = net::QNNetSocket::initWithSocket(fds[0]);
        m_server->setClientSocket(m_socket);
        m_server->setProtocolVersionInfo({major, minor, sub, 1, 0, 0});
        m_server->setState(kServerStateInit);
    }

    net::QNClientHandshake handshake(int mode, uint16_t width, uint16_t height, uint16_t request) {
        const auto version = m_server->protocolVersionInfo();
        net::QNClientHandshake h;
        h.majorversion = version.majorversion;
        h.minorversion = version.minorversion;
        h.subversion = version.subversion;
        net::QNBScreenProtocolHelper::setDisplayMode(mode, h, version);
        h.nominalWidth = width;
        h.nominalHeight = height;
        h.numberOfDisplayRequests = request;
        return h;
    }

    // The window server's switch that offers HiDPI modes.
    static void allowHiDPIModes() {
        cf::CFPreferencesSetValue("DisplayResolutionEnabled", cf::Value(true), "com.apple.windowserver",
                                  cf::kCFPreferencesAnyUser, cf::kCFPreferencesCurrentHost);
        cf::CFPreferencesSynchronize("com.apple.windowserver", cf::kCFPreferencesAnyUser,
                                     cf::kCFPreferencesCurrentHost);
    }

    void drain() {
        dispatch::drain(dispatch::dispatch_get_global_queue(dispatch::DISPATCH_QUEUE_PRIORITY_DEFAULT));
    }

    void activate(const net::QNClientHandshake& h, bool host = false) {
        m_server->activateOrChangeDisplayOnGlobalQueue(h, host);
        drain();
    }

    // The resolution notices the client received: (width, height, request number).
    std::vector<std::array<int, 3>> notices() {
        uint8_t buffer[4096];
        ssize_t n;
        while ((n = ::recv(m_peer, buffer, sizeof buffer, 0)) > 0)
            m_stream.insert(m_stream.end(), buffer, buffer + n);
        std::vector<std::array<int, 3>> out;
        const size_t size = m_server->protocolVersionInfo().majorversion >= 2
                                ? net::QNResolutionMsg::kLongSize
                                : net::QNResolutionMsg::kShortSize;
        for (size_t i = 0; i < m_stream.size();) {
            if (m_stream[i] != 0x10 || i + size > m_stream.size()) {
                ADD_FAILURE() << "unexpected byte " << int(m_stream[i]) << " at " << i;
                break;
            }
            auto message = net::QNResolutionMsg::decode(std::span<const uint8_t>(m_stream.data() + i, size));
            if (!message) {
                ADD_FAILURE() << "undecodable notice";
                break;
            }
            out.push_back({message->width, message->height, message->requestNumber.value_or(-1)});
            i += size;
        }
        m_stream.clear();
        return out;
    }

    // Whether the session ended the connection (what it sent before stays readable).
    bool peerClosed() {
        uint8_t buffer[4096];
        for (;;) {
            ssize_t n = ::recv(m_peer, buffer, sizeof buffer, 0);
            if (n == 0) return true;
            if (n < 0) return false;
            m_stream.insert(m_stream.end(), buffer, buffer + n);
        }
    }

    std::vector<std::string> posts() {
        std::lock_guard lock(m_postsMutex);
        return m_posts;
    }

    platform::LogCapture m_log{true};
    platform::FakeClock* m_clock = nullptr;
    std::string m_root;
    std::recursive_mutex m_mediatorLock;
    std::shared_ptr<iokit::InProcessKernel> m_kernel;
    std::shared_ptr<testing::RecordingTransport> m_transport;
    std::unique_ptr<FramebufferDriverClient> m_client;
    std::shared_ptr<RecordingMediator> m_mediator;
    std::shared_ptr<ScreenServer> m_server;
    std::vector<std::shared_ptr<ScreenServer>> m_others;
    std::shared_ptr<RecordingEncoder> m_encoder;
    std::shared_ptr<SwitchRecordingDelegate> m_delegate;
    std::shared_ptr<net::QNNetSocket> m_socket;
    int m_peer = -1;
    std::vector<uint8_t> m_stream;
    std::mutex m_postsMutex;
    std::vector<std::string> m_posts;
};

TEST_F(DisplayActivation, AHandshakeWithoutAModeIsToldTwiceAndEndsActivated) {
    std::mutex statesMutex;
    std::vector<int32_t> states;
    m_server->setStateObserver([&](int32_t state) {
        std::lock_guard lock(statesMutex);
        states.push_back(state);
    });
    activate(handshake(0, 1300, 900, 7));
    m_server->setStateObserver(nullptr);
    EXPECT_EQ(states, (std::vector<int32_t>{kServerStateResolvingNewSize, kServerStateActivatingScreen,
                                            kServerStateActivated}));
    ASSERT_EQ(m_mediator->enables.size(), 1u);
    EXPECT_EQ(m_mediator->enables[0], std::vector<int>{19});
    EXPECT_EQ(m_mediator->statesAtEnable[0], kServerStateActivatingScreen);
    EXPECT_EQ(m_server->state(), kServerStateActivated);
    EXPECT_EQ(notices(), (std::vector<std::array<int, 3>>{{1280, 800, 7}, {1280, 800, 0}}));
    EXPECT_EQ(m_encoder->copy(), (std::vector<std::string>{"information 258", "dirty 1280x800"}))
        << "the encoder knows the display before the whole screen is marked";
    ASSERT_NE(m_server->screen(), nullptr);
    EXPECT_EQ(m_server->screen()->displayID(), kDisplay);
    EXPECT_EQ(m_server->displayResolution().width, 1280);
    EXPECT_EQ(m_server->displayScale(), 1.0);
    EXPECT_EQ(m_delegate->switched.size(), 1u);
    EXPECT_TRUE(m_server->clientNeedsCursorPosUpdate());
}

TEST_F(DisplayActivation, AnOldClientsFileModeReachesTheDriverWhole) {
    writeResolutions({entry(1024, 768, 1), entry(2732, 2048, 433)});
    connectClient(2, 2, 0);
    activate(handshake(0, 2732, 2048, 1));
    ASSERT_EQ(m_mediator->enables.size(), 1u);
    EXPECT_EQ(m_mediator->enables[0], std::vector<int>{433}) << "not 177, the low byte";
    EXPECT_EQ(m_server->state(), kServerStateActivated);
    EXPECT_EQ(notices().back(), (std::array<int, 3>{2732, 2048, 0}));
}

TEST_F(DisplayActivation, WithoutADisplayTheSessionDisconnectsAndShutsTheClientDown) {
    m_mediator->answer = [](ScreenServer&) { return std::shared_ptr<display::QNBDisplaySet>(); };
    activate(handshake(0, 1300, 900, 7));
    EXPECT_NE(m_server->state(), kServerStateActivated);
    EXPECT_GE(m_mediator->disables.load(), 1) << "disconnectFromDevice";
    EXPECT_EQ(m_server->screen(), nullptr);
    EXPECT_TRUE(peerClosed()) << "the device is not left without a display";
    EXPECT_TRUE(m_encoder->copy().empty());
}

TEST_F(DisplayActivation, AZeroByZeroDisplayFailsTheSameWay) {
    m_mediator->answer = [](ScreenServer&) {
        auto set = std::make_shared<display::QNBDisplaySet>();
        set->addDisplay(std::make_shared<display::QNBDisplay>(0x1FFu)); // no such display: no bounds
        return set;
    };
    activate(handshake(0, 1300, 900, 7));
    EXPECT_NE(m_server->state(), kServerStateActivated);
    EXPECT_GE(m_mediator->disables.load(), 1);
    EXPECT_TRUE(peerClosed());
    EXPECT_EQ(notices().size(), 1u) << "only mode choice's notice";
}

TEST_F(DisplayActivation, InvalidHandshakeModesAreRefusedAndTheActivationFails) {
    connectClient(2, 2, 0);
    activate(handshake(200, 1024, 768, 0)); // layer 1 passes 200 on: a real mode
    EXPECT_EQ(m_server->state(), kServerStateActivated);
    // The next connection's handshake carries a 32-bit mode: 500 is no mode.
    m_server->reset();
    EXPECT_EQ(m_server->screen(), nullptr);
    connectClient(3, 0, 0);
    activate(handshake(500, 1024, 768, 0));
    EXPECT_TRUE(m_log.contains("Blocking attempt to send invalid display mode [500] to driver"));
    EXPECT_NE(m_server->state(), kServerStateActivated);
    EXPECT_TRUE(peerClosed());
}

TEST_F(DisplayActivation, AResetDuringTheDisplayWaitLeavesNoDisplayAndPostsNothing) {
    m_mediator->hold();
    m_server->activateOrChangeDisplayOnGlobalQueue(handshake(0, 1300, 900, 7), false);
    m_mediator->waitForEnables(1);
    m_server->reset();
    m_mediator->release();
    drain();
    EXPECT_EQ(m_server->screen(), nullptr);
    EXPECT_TRUE(posts().empty());
    m_kernel->windowServer()->sync();
    EXPECT_FALSE(m_kernel->windowServer()->display(kDisplay).has_value() &&
                 m_kernel->windowServer()->display(kDisplay)->online)
        << "the display it enabled was switched off";
    EXPECT_NE(m_server->state(), kServerStateActivated);
    EXPECT_TRUE(m_encoder->copy().empty());
}

TEST_F(DisplayActivation, AFailedActivationForADroppedDeviceLeavesTheConnectionThatReplacedItAlone) {
    m_mediator->answer = [](ScreenServer&) { return std::shared_ptr<display::QNBDisplaySet>(); };
    m_mediator->hold();
    m_server->activateOrChangeDisplayOnGlobalQueue(handshake(0, 1300, 900, 7), false);
    m_mediator->waitForEnables(1);
    m_server->reset();
    connectClient(3, 0, 0); // the device came back to the same session during the wait
    m_server->setConnectedHostName("Returning iPad");
    m_server->setDeviceIdentifier("returning-device");
    m_server->setDevicePlatform("iPad");
    const int disablesBefore = m_mediator->disables.load();
    const size_t postsBefore = posts().size();
    m_mediator->release();
    drain();
    EXPECT_EQ(m_server->connectedHostName(), std::optional<std::string>("Returning iPad"));
    EXPECT_EQ(m_server->deviceIdentifier(), std::optional<std::string>("returning-device"));
    EXPECT_EQ(m_server->devicePlatform(), std::optional<std::string>("iPad"));
    EXPECT_EQ(m_mediator->disables.load(), disablesBefore) << "the new connection's display stays on";
    EXPECT_EQ(posts().size(), postsBefore) << "no disconnection is posted for the device that came back";
    EXPECT_FALSE(peerClosed());
    EXPECT_TRUE(m_log.contains("lost its client before its display came up"));
    // The session's end in TearDown would post this device's disconnection after the fixture.
    m_server->setConnectedHostName(std::nullopt);
}

TEST_F(DisplayActivation, ReconfigurationsSendANoticeOnlyForANewSizeInStateFive) {
    activate(handshake(0, 1300, 900, 7));
    ASSERT_EQ(m_server->state(), kServerStateActivated);
    notices();

    m_server->setState(kServerStateActivatingScreen);
    m_server->setDisplayIsEnabled(true);
    m_server->screenReconfigured(0x8 | 0x1000);
    drain();
    EXPECT_FALSE(m_server->displayIsEnabled());
    EXPECT_TRUE(notices().empty()) << "state 4: nothing";
    m_server->setState(kServerStateActivated);

    m_server->screenReconfigured(0x2 | 0x1000);
    drain();
    EXPECT_TRUE(notices().empty()) << "same size and scale: nothing";
    EXPECT_EQ(m_server->state(), kServerStateActivated);

    // The session last took over another size than the display now has.
    m_server->setDisplayResolution({1024, 768});
    m_encoder->events.clear();
    m_server->screenReconfigured(0x8 | 0x1000);
    drain();
    EXPECT_EQ(notices(), (std::vector<std::array<int, 3>>{{1280, 800, 0}})) << "a forced notice of the size";
    EXPECT_EQ(m_server->state(), kServerStateActivated);
    EXPECT_EQ(m_encoder->copy(), (std::vector<std::string>{"information 258", "dirty 1280x800"}));
}

TEST_F(DisplayActivation, AThousandHandshakesDuringOneActivationGiveOneMoreRunOnTheLastMode) {
    connectClient(2, 2, 0);
    m_mediator->hold();
    m_server->activateOrChangeDisplayOnGlobalQueue(handshake(1, 1024, 768, 0), false);
    m_mediator->waitForEnables(1);
    for (int i = 0; i < 1000; ++i)
        m_server->activateOrChangeDisplayOnGlobalQueue(handshake(1 + i % 30, 800, 600, 0), false);
    m_mediator->release();
    drain();
    ASSERT_EQ(m_mediator->enables.size(), 2u);
    EXPECT_EQ(m_mediator->enables[1], std::vector<int>{1 + 999 % 30});
    EXPECT_EQ(m_log.count("replaces a waiting display activation with a newer request"), 999u);
}

TEST_F(DisplayActivation, WorkForAConnectionThatWentDoesNothing) {
    m_mediator->hold();
    m_server->activateOrChangeDisplayOnGlobalQueue(handshake(0, 1300, 900, 7), false);
    m_mediator->waitForEnables(1);
    m_server->activateOrChangeDisplayOnGlobalQueue(handshake(0, 1300, 900, 8), false);
    connectClient(3, 0, 0); // a new connection replaces the old one
    m_mediator->release();
    drain();
    EXPECT_EQ(m_mediator->enables.size(), 1u) << "the waiting request was for the old connection";
    EXPECT_EQ(m_server->screen(), nullptr);
}

TEST_F(DisplayActivation, WithHiDPIOffNoConfigurationIsTouched) {
    foundation::QNBPreferences::sharedAppPrefs().baseSetEnableHiDPIResolutions(false);
    activate(handshake(0, 1300, 900, 7));
    ASSERT_EQ(m_server->state(), kServerStateActivated);
    auto before = m_kernel->windowServer()->display(kDisplay);
    ASSERT_TRUE(before);
    const uint32_t seed = cg::CGSDisplayMappingChangedSeed();
    m_server->setHiDPIDisplayMode();
    EXPECT_EQ(cg::CGSDisplayMappingChangedSeed(), seed);
    EXPECT_EQ(m_kernel->windowServer()->display(kDisplay)->scale, 1.0);
}

TEST_F(DisplayActivation, TheMacSideReactivatesOnlyAnActiveSessionWithRetinaFlags) {
    activate(handshake(0, 1300, 900, 7));
    ASSERT_EQ(m_server->state(), kServerStateActivated);
    m_server->activateDisplay();
    drain();
    EXPECT_EQ(m_mediator->enables.size(), 1u) << "retina flags 0: nothing";

    net::QNCapabilities caps;
    caps.retinaFlags = 0x2 | 0x4; // a landscape tablet
    m_server->setCapabilities(caps);
    m_server->enableRetinaResolutions(true, true);
    drain();
    ASSERT_EQ(m_mediator->enables.size(), 2u);
    EXPECT_EQ(m_mediator->enables[1], std::vector<int>{34});
    EXPECT_EQ(m_server->capabilities().retinaFlags, 0x2 | 0x4) << "a host request keeps the capabilities";
}

TEST_F(DisplayActivation, AReconfigurationNeverWaitsAndNeverInterleavesWithActivation) {
    activate(handshake(0, 1300, 900, 7));
    ASSERT_EQ(m_server->state(), kServerStateActivated);
    notices();
    m_server->setDisplayResolution({1024, 768});
    {
        // An activation or a frame holds the lock: the callback returns at once all the same,
        // and the change waits for the lock.
        std::lock_guard busy(m_server->frameBufferLock());
        m_server->screenReconfigured(0x8 | 0x1000);
        EXPECT_FALSE(m_server->displayIsEnabled());
        EXPECT_TRUE(notices().empty());
        EXPECT_EQ(m_server->displayResolution().width, 1024);
    }
    drain();
    EXPECT_EQ(notices(), (std::vector<std::array<int, 3>>{{1280, 800, 0}}));
}

TEST_F(DisplayActivation, WithHiDPIOnTheDisplayTakesTheTwinOfItsSize) {
    allowHiDPIModes();
    foundation::QNBPreferences::sharedAppPrefs().baseSetEnableHiDPIResolutions(true);
    activate(handshake(0, 1300, 900, 7));
    ASSERT_EQ(m_server->state(), kServerStateActivated);
    m_kernel->windowServer()->sync();
    auto display = m_kernel->windowServer()->display(kDisplay);
    ASSERT_TRUE(display);
    EXPECT_EQ(display->scale, 2.0) << "the 2.0 twin";
    EXPECT_EQ(display->bounds.size.width, 640);
    EXPECT_EQ(display->pixelsWide, 1280u) << "same pixels as the best HiDPI mode";
    foundation::QNBPreferences::sharedAppPrefs().baseSetEnableHiDPIResolutions(false);
}

TEST_F(DisplayActivation, TheCursorIsReadFromTheDriverOfTheSessionsOwnDisplay) {
    activate(handshake(0, 1300, 900, 7));
    ASSERT_EQ(m_server->state(), kServerStateActivated);
    auto set = m_server->screen();
    ASSERT_NE(set, nullptr);
    const cg::CGRect bounds = set->scaleCorrectedDisplayBounds();
    ASSERT_EQ(bounds.size.width, 1280);
    auto transport = cg::CGSCurrentWindowServerTransport();
    ASSERT_TRUE(transport);
    ASSERT_TRUE(transport->request(windowserver::op::cursorMove,
                                   cf::Dictionary{{"x", bounds.origin.x + 100.0}, {"y", 50.0}}));
    m_kernel->windowServer()->sync();
    const cg::CGPoint hot = m_kernel->windowServer()->cursor().hotSpot;

    ASSERT_TRUE(m_client->shouldQueryMouseOnDisplay(set));
    EXPECT_TRUE(m_client->mouseCursorVisibleOnDisplay(set));
    const cg::CGPoint location = m_client->getMouseLocationOnDisplay(set);
    EXPECT_EQ(location.x, bounds.origin.x + std::floor(100 - hot.x))
        << "the image's corner, in global pixels";
    EXPECT_EQ(location.y, std::floor(50 - hot.y));

    // The event system's location is Cocoa's: y up from the main display's bottom.
    const cg::CGPoint cocoa = appkit::NSEvent::mouseLocation();
    EXPECT_EQ(cocoa.x, bounds.origin.x + 100);
    EXPECT_EQ(cocoa.y, cg::CGDisplayBounds(cg::CGMainDisplayID()).size.height - 50);
    // Without platformd no application is active.
    const cf::Value active = ns::NSWorkspace::sharedWorkspace().activeApplication();
    const cf::Value* pid = active.find("NSApplicationProcessIdentifier");
    ASSERT_NE(pid, nullptr);
    EXPECT_EQ(pid->intValue(), 0);
    EXPECT_EQ(m_delegate->switched, std::vector<int32_t>{0});
}

TEST_F(DisplayActivation, AMirroredDisplaysCursorIsTheSystemCursorsCornerInItsOwnSpace) {
    activate(handshake(0, 1300, 900, 7));
    ASSERT_EQ(m_server->state(), kServerStateActivated);
    auto set = m_server->screen();
    ASSERT_NE(set, nullptr);
    const cg::CGRect bounds = set->scaleCorrectedDisplayBounds();
    auto transport = cg::CGSCurrentWindowServerTransport();
    ASSERT_TRUE(transport);
    ASSERT_TRUE(transport->request(windowserver::op::cursorMove,
                                   cf::Dictionary{{"x", bounds.origin.x + 100.0}, {"y", 50.0}}));
    m_kernel->windowServer()->sync();
    const cg::CGPoint hot = m_kernel->windowServer()->cursor().hotSpot;
    ASSERT_GT(hot.x + hot.y, 0) << "a hot spot away from the corner, so that its use shows";

    // Mirrored, the location is the event system's, made top-down in a display of the main
    // display's height, less the hot spot: the image's corner.
    ASSERT_TRUE(m_client->shouldQueryMouseOnDisplay(set));
    const double mainHeight = cg::CGDisplayBounds(cg::CGMainDisplayID()).size.height;
    const cg::CGPoint location =
        m_client->mouseLocationOnFramebuffer(set->framebufferIndex(), true, mainHeight);
    EXPECT_EQ(location.x, bounds.origin.x + 100 - hot.x);
    EXPECT_EQ(location.y, 50 - hot.y);
    // In a display twice as high the same corner lies lower by the difference.
    ASSERT_TRUE(transport->request(windowserver::op::cursorMove,
                                   cf::Dictionary{{"x", bounds.origin.x + 101.0}, {"y", 50.0}}));
    m_kernel->windowServer()->sync();
    ASSERT_TRUE(m_client->shouldQueryMouseOnDisplay(set));
    const cg::CGPoint taller =
        m_client->mouseLocationOnFramebuffer(set->framebufferIndex(), true, 2 * mainHeight);
    EXPECT_EQ(taller.x, bounds.origin.x + 101 - hot.x);
    EXPECT_EQ(taller.y, mainHeight + 50 - hot.y);
}

TEST_F(DisplayActivation, TheShellIsToldWhenRetinaOrHiDPIResolutionsNeedEnabling) {
    auto& prefs = foundation::QNBPreferences::sharedAppPrefs();
    prefs.baseSetEnableHiDPIResolutions(false);
    activate(handshake(0, 1300, 900, 7));
    ASSERT_EQ(m_server->state(), kServerStateActivated);

    // Retina: whenever the session's own setting differs from the preference.
    prefs.baseSetRetinaResolutionsEnabled(true);
    m_server->setRetinaResolutionsEnabled(false);
    EXPECT_TRUE(m_server->needToEnableRetinaResolutions());
    m_server->setRetinaResolutionsEnabled(true);
    EXPECT_FALSE(m_server->needToEnableRetinaResolutions());
    prefs.baseSetRetinaResolutionsEnabled(false);
    EXPECT_TRUE(m_server->needToEnableRetinaResolutions()) << "turning it off needs a change too";
    m_server->setRetinaResolutionsEnabled(false);
    EXPECT_FALSE(m_server->needToEnableRetinaResolutions());

    // HiDPI: only while the preference is on and the display is not a HiDPI one yet.
    EXPECT_FALSE(m_server->needToEnableHiDPI()) << "preference off";
    prefs.baseSetEnableHiDPIResolutions(true);
    ASSERT_FALSE(display::QNBScreen::isHiDPIDisplay(m_server->displayID()));
    EXPECT_TRUE(m_server->needToEnableHiDPI());
    allowHiDPIModes();
    m_server->setHiDPIDisplayMode();
    m_kernel->windowServer()->sync();
    display::QNBScreen::resetScreens();
    EXPECT_TRUE(display::QNBScreen::isHiDPIDisplay(m_server->displayID()));
    EXPECT_FALSE(m_server->needToEnableHiDPI()) << "the display is a HiDPI one now";
    prefs.baseSetEnableHiDPIResolutions(false);
}

TEST_F(DisplayActivation, SetHiDPIDisplayModeTakesTheModeOfTheBestModesPixelSizeFromTheListWithDuplicates) {
    auto& prefs = foundation::QNBPreferences::sharedAppPrefs();
    prefs.baseSetEnableHiDPIResolutions(false);
    activate(handshake(0, 1300, 900, 7));
    ASSERT_EQ(m_server->state(), kServerStateActivated);
    allowHiDPIModes();
    prefs.baseSetEnableHiDPIResolutions(true);
    const cg::CGDirectDisplayID id = m_server->displayID();
    auto best = display::QNBScreen::findBestHiDPIModeForDisplayID(id);
    ASSERT_TRUE(best);
    const int64_t width = best->find(display::kModeWidthKey)->integerValue();
    const int64_t pixelsWide = best->find(display::kModePixelsWideKey)->integerValue();
    ASSERT_EQ(pixelsWide, 2 * width);

    m_server->setHiDPIDisplayMode();
    m_kernel->windowServer()->sync();
    auto shown = m_kernel->windowServer()->display(kDisplay);
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->scale, 2.0);
    EXPECT_EQ(int64_t(shown->pixelsWide), pixelsWide);
    EXPECT_EQ(int64_t(shown->bounds.size.width), width);
    prefs.baseSetEnableHiDPIResolutions(false);
}

} // namespace
} // namespace server
