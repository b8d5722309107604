// Device connection reporting: the connection and disconnection notices, the system
// information message, waking the display, the encoder's life, the driver's vertical-blank
// signal and the display streams' reaction to other sessions.
#include "SessionTestSupport.h"

#include "capture/QNBJPEGVellEncoder.h"
#include "capture/tests/EncoderTestSupport.h"
#include "server/ScreenServerDiagnostics.h"

#include "foundation/QNBSystemInformation.h"
#include "foundation/Vocabulary.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/daemon/RootScripts.h"
#include "platform/iokit/InProcessKernel.h"

#include <arpa/inet.h>

using namespace server;
using namespace server::testing;

namespace {

using Bytes = std::vector<uint8_t>;

class ScreenServerReporting : public SessionTest {
  protected:
    // A served 3.0.1 session with the names the mediator and the handshake give.
    std::shared_ptr<RecordingSession> connectedSession(bool usb = false) {
        auto session = makeSession();
        m_socket = connect(session);
        m_socket->feed(handshakeBytes());
        EXPECT_TRUE(session->waitForActivations(1));
        EXPECT_TRUE(m_socket->waitForIdleReader());
        session->setIsUSB(usb);
        session->setConnectedHostName("127.0.0.2");
        session->setConnectedServiceKey("local.~_qnexvscreen._udp~Ref");
        session->setConnectedAddressIdentifier("qnbAddressStringKey~127.0.0.2");
        in6_addr mapped{};
        ::inet_pton(AF_INET6, "::ffff:127.0.0.2", &mapped);
        session->setConnectedAddress(net::SocketAddress::ipv6(mapped, 50123));
        return session;
    }
    std::vector<Post> notices() { return m_poster.named(foundation::kServerDisconnectedFromDevice); }
    // A served session whose device went away with the local client window on: asleep, its
    // display kept, the panel standing in.
    std::shared_ptr<RecordingSession> awaySession(const std::shared_ptr<FakePanel>& panel) {
        input::QNDesktopReflectorPanel::setMaker([panel](const auto&) { return panel; });
        auto session = connectedSession();
        session->setDisplayLocalClientWindow(true);
        session->didConnectToDevice(std::make_shared<display::QNBDisplaySet>());
        m_socket->closePeer();
        waitForLoops(session, 0);
        dispatch::runUntilIdle();
        return session;
    }

    std::shared_ptr<PipeSocket> m_socket;
};

TEST_F(ScreenServerReporting, TheConnectionNoticeCarriesEightKeysDistributedAndLocal) {
    auto session = connectedSession();
    std::vector<ns::NSNotification> local;
    auto token = ns::NSNotificationCenter::defaultCenter().addObserverForName(
        std::string(foundation::kServerConnectedToDevice), nullptr,
        [&](const ns::NSNotification& n) { local.push_back(n); });
    session->didConnectToDevice(std::make_shared<display::QNBDisplaySet>());
    ns::NSNotificationCenter::defaultCenter().removeObserver(token);

    auto posts = m_poster.named(foundation::kServerConnectedToDevice);
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].options, ns::NSNotificationDeliverImmediately);
    ASSERT_TRUE(posts[0].userInfo);
    EXPECT_EQ(posts[0].userInfo->count(), 8u);
    EXPECT_EQ(posts[0].text(foundation::kDeviceNameKey), "127.0.0.2");
    EXPECT_EQ(posts[0].text(foundation::kDeviceAddressKey), "::ffff:127.0.0.2");
    EXPECT_EQ(posts[0].text(foundation::kDisplayNameKey), "Ref");
    EXPECT_EQ(posts[0].text(foundation::kDeviceIdentifier), "ref-1");
    EXPECT_EQ(posts[0].text(foundation::kServiceKey), "local.~_qnexvscreen._udp~Ref");
    EXPECT_EQ(posts[0].text(foundation::kLimnerPlatformNameKey), "iPad");
    EXPECT_EQ(posts[0].text(foundation::kConnectionMechanism), "3");
    EXPECT_EQ(posts[0].text(foundation::kAddressIdentifier), "qnbAddressStringKey~127.0.0.2");
    ASSERT_EQ(local.size(), 1u);
    EXPECT_EQ(local[0].userInfo, posts[0].userInfo);
    EXPECT_EQ(local[0].object, nullptr);
    EXPECT_NE(session->screen(), nullptr);
    EXPECT_EQ(session->streamStarts.load(), 1);
    dispatch::runUntilIdle();
    EXPECT_EQ(m_app->windowRegistrations, 1); // on the main queue

    // A USB session without a host name or address.
    auto usb = makeSession();
    usb->setIsUSB(true);
    usb->didConnectToDevice(std::make_shared<display::QNBDisplaySet>());
    posts = m_poster.named(foundation::kServerConnectedToDevice);
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_EQ(posts[1].text(foundation::kConnectionMechanism), "4");
    EXPECT_EQ(posts[1].text(foundation::kDeviceNameKey), "Unknown");
    EXPECT_EQ(posts[1].text(foundation::kDeviceAddressKey), "localhost");
    EXPECT_EQ(posts[1].text(foundation::kDisplayNameKey), "");
    m_socket->closePeer();
    waitForLoops(session, 0);
}

TEST_F(ScreenServerReporting, ALostDeviceIsReportedOnceByName) {
    auto session = connectedSession();
    session->didConnectToDevice(std::make_shared<display::QNBDisplaySet>());
    m_socket->closePeer();
    waitForLoops(session, 0);
    EXPECT_TRUE(notices().empty()); // posted from the main queue
    dispatch::runUntilIdle();
    auto found = notices();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].userInfo->count(), 4u);
    EXPECT_EQ(found[0].text(foundation::kDeviceNameKey), "127.0.0.2");
    EXPECT_EQ(found[0].text(foundation::kDeviceIdentifier), "ref-1");
    EXPECT_EQ(found[0].text(foundation::kServiceKey), "local.~_qnexvscreen._udp~Ref");
    EXPECT_EQ(found[0].text(foundation::kAddressIdentifier), "qnbAddressStringKey~127.0.0.2");
    EXPECT_EQ(found[0].options, ns::NSNotificationDeliverImmediately);
    EXPECT_EQ(session->screen(), nullptr);
    EXPECT_EQ(session->connectedHostName(), std::nullopt);
    EXPECT_EQ(session->devicePlatform(), std::nullopt);
    EXPECT_EQ(m_mediator->disables, 1);
    EXPECT_EQ(m_mediator->disablesUnderFrameBufferLock, 1);

    // Again (a second reset): nothing more.
    session->stop();
    session->reset();
    dispatch::runUntilIdle();
    EXPECT_EQ(notices().size(), 1u);
}

TEST_F(ScreenServerReporting, ALostDeviceIsReportedLocallyTooSoTheSessionLeftActiveStreamsAgain) {
    auto staying = connectedSession();
    staying->didConnectToDevice(std::make_shared<display::QNBDisplaySet>());
    auto stayingSocket = m_socket;
    auto leaving = connectedSession();
    leaving->didConnectToDevice(std::make_shared<display::QNBDisplaySet>());
    std::vector<ns::NSNotification> local;
    auto token = ns::NSNotificationCenter::defaultCenter().addObserverForName(
        std::string(foundation::kServerDisconnectedFromDevice), nullptr,
        [&](const ns::NSNotification& n) { local.push_back(n); });
    const int starts = staying->streamStarts.load();
    m_socket->closePeer();
    waitForLoops(leaving, 0);
    dispatch::runUntilIdle();
    ns::NSNotificationCenter::defaultCenter().removeObserver(token);
    ASSERT_EQ(notices().size(), 1u);
    ASSERT_EQ(local.size(), 1u);
    EXPECT_EQ(local[0].userInfo, notices()[0].userInfo);
    EXPECT_EQ(staying->streamStarts.load(), starts + 1);
    stayingSocket->closePeer();
    waitForLoops(staying, 0);
}

TEST_F(ScreenServerReporting, StopAndResetRacingTheLoopsEndReportOnce) {
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        auto session = connectedSession();
        session->didConnectToDevice(std::make_shared<display::QNBDisplaySet>());
        const size_t before = notices().size();
        std::thread mediator([&] {
            session->stop();
            session->reset();
        });
        m_socket->closePeer();
        mediator.join();
        waitForLoops(session, 0);
        dispatch::runUntilIdle();
        auto found = notices();
        ASSERT_EQ(found.size(), before + 1);
        EXPECT_EQ(found.back().text(foundation::kDeviceNameKey), "127.0.0.2");
        EXPECT_EQ(session->state(), kServerStateAwaitingHandshake);
    }
}

TEST_F(ScreenServerReporting, AReflectorCloseNamesTheDeviceAndSoDoesTheLaterNotice) {
    auto panel = std::make_shared<FakePanel>();
    auto session = awaySession(panel);
    ASSERT_EQ(session->state(), kServerStateSleeping); // the panel keeps the display
    EXPECT_EQ(session->connectedHostName(), std::nullopt);

    std::vector<ns::NSNotification> local;
    auto token = ns::NSNotificationCenter::defaultCenter().addObserverForName(
        std::string(foundation::kDisconnectCurrentServerFromHost), nullptr,
        [&](const ns::NSNotification& n) { local.push_back(n); });
    session->reflectorPanelClosed(*panel);
    ns::NSNotificationCenter::defaultCenter().removeObserver(token);
    auto requests = m_poster.named(foundation::kDisconnectCurrentServerFromHost);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].text(foundation::kDisconnectedHostName), "127.0.0.2");
    EXPECT_EQ(requests[0].userInfo->find(foundation::kDisableDisplay)->asBool(), true);
    EXPECT_EQ(requests[0].options,
              ns::NSNotificationDeliverImmediately | ns::NSNotificationPostToAllSessions);
    ASSERT_EQ(local.size(), 1u);

    // The mediator's answer to that request: stop, reset.
    session->stop();
    session->reset();
    dispatch::runUntilIdle();
    auto found = notices();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].text(foundation::kDeviceNameKey), "127.0.0.2");
    EXPECT_EQ(panel->closes.load(), 1);
}

TEST_F(ScreenServerReporting, AReflectorCloseGivesTheDisplayUpThroughTheMediator) {
    auto panel = std::make_shared<FakePanel>();
    auto session = awaySession(panel);
    ASSERT_EQ(session->state(), kServerStateSleeping);

    // The request's own handler finds no session by the cleared host name; the session asks
    // its mediator itself, on the main thread, after the post.
    std::thread([&] { session->reflectorPanelClosed(*panel); }).join();
    EXPECT_EQ(m_poster.named(foundation::kDisconnectCurrentServerFromHost).size(), 1u);
    EXPECT_TRUE(m_mediator->shutdowns.empty());
    dispatch::runUntilIdle();
    ASSERT_EQ(m_mediator->shutdowns.size(), 1u);
    EXPECT_EQ(m_mediator->shutdowns[0].first, session);
    EXPECT_TRUE(m_mediator->shutdowns[0].second);
}

TEST_F(ScreenServerReporting, ASessionThatNeverHadAHostNamePostsNone) {
    auto session = makeSession();
    auto socket = connect(session);
    socket->feed(handshakeBytes());
    ASSERT_TRUE(session->waitForActivations(1));
    session->didConnectToDevice(std::make_shared<display::QNBDisplaySet>());
    socket->closePeer();
    waitForLoops(session, 0);
    dispatch::runUntilIdle();
    EXPECT_TRUE(notices().empty());
    // Its reflector close still asks with "Unknown".
    FakePanel panel;
    session->reflectorPanelClosed(panel);
    auto requests = m_poster.named(foundation::kDisconnectCurrentServerFromHost);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].text(foundation::kDisconnectedHostName), "Unknown");
}

TEST_F(ScreenServerReporting, AnotherSessionsConnectionStopsTheStreamWithTwoActiveOrALaterAppKit) {
    auto session = makeSession();
    ns::NSNotification notification{foundation::kServerConnectedToDevice, nullptr, std::nullopt};
    m_mediator->activeCount = 1;
    session->serverConnectedToDevice(notification);
    EXPECT_EQ(session->streamStops.load(), 0);
    m_mediator->activeCount = 2;
    session->serverConnectedToDevice(notification);
    EXPECT_EQ(session->streamStops.load(), 1);

    m_mediator->activeCount = 1;
    platform::Profile profile;
    profile.appKitVersion = 1504.9; // rounded down: 1504
    platform::Profile::setCurrent(profile);
    session->serverConnectedToDevice(notification);
    EXPECT_EQ(session->streamStops.load(), 1);
    profile.appKitVersion = 1505;
    platform::Profile::setCurrent(profile);
    session->serverConnectedToDevice(notification);
    EXPECT_EQ(session->streamStops.load(), 2);

    // A disconnection elsewhere restarts the stream of an active session only.
    session->serverDisconnectedFromDevice(notification);
    EXPECT_EQ(session->streamStarts.load(), 0);
    auto socket = connect(session);
    session->serverDisconnectedFromDevice(notification);
    EXPECT_EQ(session->streamStarts.load(), 1);
    socket->closePeer();
    waitForLoops(session, 0);
}

// ---- System information -------------------------------------------------------------------

class ScreenServerSystemInformation : public SessionTest {
  protected:
    void SetUp() override {
        SessionTest::SetUp();
        platformd::registerRootScripts();
    }
    Bytes messageFor(uint8_t major, uint8_t minor, uint8_t sub) {
        auto session = makeSession();
        auto socket = connect(session);
        socket->feed(handshakeBytes(major, minor, sub));
        EXPECT_TRUE(session->waitForActivations(1));
        EXPECT_TRUE(socket->waitForIdleReader());
        session->sendSystemInformationMessage();
        Bytes written = socket->written();
        socket->closePeer();
        waitForLoops(session, 0);
        return written;
    }
};

TEST_F(ScreenServerSystemInformation, NoneFor300AndTheWholeDocumentFor301) {
    ASSERT_TRUE(platform::testing::makeRoot(m_dir + "/root"));
    EXPECT_TRUE(messageFor(3, 0, 0).empty());
    const Bytes message = messageFor(3, 0, 1);
    auto document = foundation::QNBSystemInformation::systemInformationXML();
    ASSERT_TRUE(document);
    ASSERT_LE(document->size(), 255u);
    ASSERT_EQ(message.size(), 2 + document->size());
    EXPECT_EQ(message[0], 0x31);
    EXPECT_EQ(message[1], document->size());
    EXPECT_TRUE(std::equal(document->begin(), document->end(), message.begin() + 2));
}

TEST_F(ScreenServerSystemInformation, ATooLongDocumentLosesItsLastChipsetsUntilItFits) {
    platform::Profile profile;
    profile.productVersion = "10.13.6";
    profile.kernelRelease = "17.7.0";
    profile.memoryBytes = 17179869184ULL + 1073741823ULL;
    profile.cpuCount = 8;
    profile.graphicsChips = {"Intel Iris Pro", "NVIDIA GeForce GT 750M & <Pro>"};
    ASSERT_TRUE(platform::testing::makeRoot(m_dir + "/root", profile));
    ASSERT_EQ(foundation::QNBSystemInformation::systemInformationXML()->size(), 281u);

    const Bytes message = messageFor(3, 0, 1);
    ASSERT_GE(message.size(), 2u);
    EXPECT_EQ(message[0], 0x31);
    EXPECT_EQ(message[1], message.size() - 2);
    const std::string document(message.begin() + 2, message.end());
    EXPECT_LE(document.size(), 255u);
    EXPECT_NE(document.find("<chipset>Intel Iris Pro</chipset></si>"), std::string::npos);
    EXPECT_EQ(document.find("NVIDIA"), std::string::npos);

    // Chipset names so long that nothing but the facts fit; facts too long: an empty document.
    profile.graphicsChips = {std::string(300, 'x')};
    ASSERT_TRUE(platform::testing::makeRoot(m_dir + "/root", profile));
    auto factsOnly = foundation::QNBSystemInformation::systemInformationXMLOfAtMost(255);
    ASSERT_TRUE(factsOnly);
    EXPECT_EQ(std::string(factsOnly->begin(), factsOnly->end()).find("<chipset>"), std::string::npos);
    profile.productVersion = std::string(300, '9');
    ASSERT_TRUE(platform::testing::makeRoot(m_dir + "/root", profile));
    EXPECT_EQ(messageFor(3, 0, 1), Bytes({0x31, 0x00}));
}

// The message's length is one byte: a document of 255 bytes goes whole, one of 256 loses its
// last chipset (the chipset's name is sized so that the whole document is 255, then 256).
TEST_F(ScreenServerSystemInformation, TwoHundredFiftyFiveBytesGoWholeAndTwoHundredFiftySixDoNot) {
    platform::Profile profile;
    auto documentWithChip = [&](size_t length) {
        profile.graphicsChips = {"Intel Iris Pro", std::string(length, 'x')};
        EXPECT_TRUE(platform::testing::makeRoot(m_dir + "/root", profile));
        return foundation::QNBSystemInformation::systemInformationXML()->size();
    };
    const size_t fits = 1 + 255 - documentWithChip(1);
    ASSERT_EQ(documentWithChip(fits), 255u);
    Bytes message = messageFor(3, 0, 1);
    ASSERT_EQ(message.size(), 2u + 255u);
    EXPECT_EQ(message[1], 255);
    EXPECT_NE(std::string(message.begin() + 2, message.end()).find(std::string(fits, 'x')),
              std::string::npos);

    ASSERT_EQ(documentWithChip(fits + 1), 256u);
    message = messageFor(3, 0, 1);
    ASSERT_GE(message.size(), 2u);
    EXPECT_EQ(message[1], message.size() - 2);
    const std::string document(message.begin() + 2, message.end());
    EXPECT_LT(document.size(), 255u);
    EXPECT_EQ(document.find(std::string(fits + 1, 'x')), std::string::npos) << "the last chipset goes";
    EXPECT_NE(document.find("Intel Iris Pro"), std::string::npos);
}

// ---- Waking the display -------------------------------------------------------------------

class ScreenServerOnAWindowServer : public SessionTest {
  protected:
    void SetUp() override {
        SessionTest::SetUp();
        m_kernel = std::make_shared<iokit::InProcessKernel>();
        m_kernel->install();
    }
    void TearDown() override {
        m_kernel->shutdown();
        SessionTest::TearDown();
    }
    std::shared_ptr<display::QNBDisplaySet> mainDisplaySet() {
        auto set = std::make_shared<display::QNBDisplaySet>();
        set->addDisplay(std::make_shared<display::QNBDisplay>(cg::CGMainDisplayID()));
        set->finalizeSet();
        return set;
    }
    // A recording encoder for the session, then wakeScreen.
    std::shared_ptr<FakeEncoder> wakeWithEncoder(ScreenServer& session) {
        auto encoder = std::make_shared<FakeEncoder>();
        session.updateEncoderClass(); // else the first encoder() would choose the class and drop it
        session.setEncoder(encoder);
        session.wakeScreen();
        return encoder;
    }
    std::shared_ptr<iokit::InProcessKernel> m_kernel;
};

TEST_F(ScreenServerOnAWindowServer, RetriesEachSecondUntilActivatedThenMarksEachBoundAtTheOrigin) {
    auto session = makeSession();
    auto socket = connect(session);
    auto encoder = wakeWithEncoder(*session);
    for (int i = 0; i < 3; ++i)
        dispatch::advanceAndRun(1.0);
    EXPECT_TRUE(encoder->dirty.empty());
    EXPECT_FALSE(session->clientNeedsCursorImageUpdate());

    // A display away from the global origin: its whole screen is marked at its own origin.
    capture::testing::ScopedDisplays away({{0x5A0, {cg::CGRectMake(1440, 300, 800, 600), 800, 600}}});
    auto set = std::make_shared<display::QNBDisplaySet>();
    set->addDisplay(std::make_shared<display::QNBDisplay>(0x5A0u));
    set->finalizeSet();
    session->setScreen(set);
    session->setState(kServerStateActivated);
    dispatch::advanceAndRun(0.5);
    EXPECT_TRUE(encoder->dirty.empty()); // the next try is due a whole second after the last
    dispatch::advanceAndRun(0.5);
    const auto bounds = set->arrayOfScreenBounds();
    ASSERT_EQ(bounds.size(), 1u);
    ASSERT_EQ(bounds[0].origin.x, 1440);
    ASSERT_EQ(encoder->dirty.size(), 1u);
    EXPECT_EQ(encoder->dirty[0].origin.x, 0);
    EXPECT_EQ(encoder->dirty[0].origin.y, 0);
    EXPECT_EQ(encoder->dirty[0].size.width, 800);
    EXPECT_EQ(encoder->dirty[0].size.height, 600);
    EXPECT_EQ(encoder->enqueues.load(), 1);
    EXPECT_TRUE(session->clientNeedsCursorImageUpdate());
    EXPECT_TRUE(session->clientNeedsCursorPosUpdate());
    dispatch::advanceAndRun(5.0);
    EXPECT_EQ(encoder->dirty.size(), 1u); // done: no more tries
    socket->closePeer();
    waitForLoops(session, 0);
}

// The session's own socket, no longer connected: nothing is marked, the tries go on (a new
// connection ends them, as below).
TEST_F(ScreenServerOnAWindowServer, ASocketNoLongerConnectedIsNotWoken) {
    auto session = makeSession();
    auto socket = std::make_shared<PipeSocket>();
    session->setClientSocket(socket); // no read loop: nothing ends the connection meanwhile
    session->setScreen(mainDisplaySet());
    session->setState(kServerStateActivated);
    socket->close(); // isConnected() answers no; the session still holds it
    auto encoder = wakeWithEncoder(*session);
    EXPECT_TRUE(encoder->dirty.empty());
    dispatch::advanceAndRun(2.0);
    EXPECT_TRUE(encoder->dirty.empty());
    EXPECT_EQ(encoder->enqueues.load(), 0);
    session->setClientSocket(nullptr);
}

TEST_F(ScreenServerOnAWindowServer, TheRetriesStopWithTheConnection) {
    auto session = makeSession();
    auto socket = connect(session);
    auto encoder = wakeWithEncoder(*session);
    dispatch::advanceAndRun(1.0);
    socket->closePeer();
    waitForLoops(session, 0); // the connection ends: reset

    // A new connection, activated: the old chain must not wake it.
    auto next = connect(session);
    session->setScreen(mainDisplaySet());
    session->setState(kServerStateActivated);
    dispatch::advanceAndRun(10.0);
    EXPECT_TRUE(encoder->dirty.empty());
    next->closePeer();
    waitForLoops(session, 0);
}

TEST_F(ScreenServerOnAWindowServer, TheDisplayDumpListsTheMainDisplay) {
    auto session = makeSession();
    ::testing::internal::CaptureStdout();
    session->dumpDisplayInfo();
    const std::string dump = ::testing::internal::GetCapturedStdout();
    const uint32_t main = cg::CGMainDisplayID();
    EXPECT_EQ(dump.find(platform::format("Main Display ID                :0x%x (%d)\n", main, main)), 0u);
    EXPECT_NE(dump.find(platform::format("Display ID [0]                 :0x%x (%d)\n", main, main)),
              std::string::npos);
    EXPECT_NE(dump.find("CGDisplayIsMain                :true\n"), std::string::npos);
    EXPECT_NE(dump.find("CGDisplayUsesOpenGLAcceleration:"), std::string::npos);
    EXPECT_NE(dump.find("CGDisplayRotation              :0.000000\n"), std::string::npos);
}

// ---- Encoder, driver signal, names ----------------------------------------------------------

TEST_F(SessionTest, ScreenServerDisablesItsDisplayUnderFrameBufferLock) {
    auto session = makeSession();
    session->disconnectFromDevice();
    EXPECT_EQ(m_mediator->disables, 1);
    EXPECT_EQ(m_mediator->disablesUnderFrameBufferLock, 1);
    EXPECT_FALSE(session->displayIsEnabled());
    EXPECT_EQ(session->videoCaptureFileFd(), -1);
}

TEST_F(SessionTest, ScreenServerTheSameEncoderClassKeepsTheEncoderAnotherStopsIt) {
    auto session = makeSession();
    session->updateEncoderClass();
    EXPECT_EQ(session->encoderClass()->name, "QNBJPEGVellEncoder");
    EXPECT_TRUE(std::dynamic_pointer_cast<capture::QNBJPEGVellEncoder>(session->encoder()));

    std::vector<std::shared_ptr<FakeEncoder>> made;
    auto maker = [&] {
        made.push_back(std::make_shared<FakeEncoder>());
        return made.back();
    };
    session->setEncoderClass({"RecordingEncoder", maker});
    auto first = session->encoder();
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(first, made[0]);
    EXPECT_EQ(made[0]->delegate().get(),
              static_cast<capture::QNBVellEncoderDelegateProtocol*>(session.get()));
    session->setEncoderClass({"RecordingEncoder", maker});
    EXPECT_EQ(session->encoder(), first);
    EXPECT_EQ(made[0]->stops.load(), 0);
    session->updateEncoderClass();
    EXPECT_EQ(made[0]->stops.load(), 1);
    EXPECT_TRUE(std::dynamic_pointer_cast<capture::QNBJPEGVellEncoder>(session->encoder())); // made anew

    auto replacement = std::make_shared<FakeEncoder>();
    session->setEncoderClass({"RecordingEncoder", maker});
    auto second = session->encoder();
    session->setEncoder(replacement);
    EXPECT_EQ(made[1]->stops.load(), 1);
    session->stop();
    EXPECT_EQ(replacement->stops.load(), 1);
    EXPECT_FALSE(session->clientSpeaksVersionTwo());
}

TEST_F(SessionTest, ScreenServerTheDriversSelectorAndSignalNames) {
    EXPECT_EQ(stringWithIOKitScalarMethodSelector(0), "kQNExUCOpen");
    EXPECT_EQ(stringWithIOKitScalarMethodSelector(5), "kQNExQueryMouseStatus");
    EXPECT_EQ(stringWithIOKitScalarMethodSelector(8), "kQNExUCEnableWithResolutions");
    EXPECT_EQ(stringWithIOKitScalarMethodSelector(9), "selector: 0x00000009");
    EXPECT_EQ(stringWithIOKitScalarMethodSelector(12), "selector: 0x0000000C");
    EXPECT_EQ(vblNotifyStatusName(static_cast<int32_t>(0xE00002D7)), "kIOReturnOffline");
    EXPECT_EQ(vblNotifyStatusName(static_cast<int32_t>(0xE00002DF)), "kIOReturnNoInterrupt");
    EXPECT_EQ(vblNotifyStatusName(-536870212), "Unexpected kernel return: -536870212");
}

TEST_F(SessionTest, ScreenServerTheVerticalBlankSignalNeedsAConnectionAndTheSwitch) {
    auto session = makeSession();
    platform::LogCapture log(true);
    session->encoderReadyToEncode();
    session->setFrameBufferPort(0x1234);
    session->encoderReadyToEncode(); // the switch is off
    EXPECT_TRUE(log.lines().empty());
    session->setSignalUserClientforVBL(true);
    session->encoderReadyToEncode(); // no such connection: the driver refuses
    EXPECT_TRUE(log.contains("kQNExVBLNotifyInterruptClient did not succeed..."));
    EXPECT_TRUE(log.contains("kQNExVBLNotifyInterruptClient: "));
}

} // namespace
