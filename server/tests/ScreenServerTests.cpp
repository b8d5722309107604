// The session's state road, its read loop (handshake, update requests, heartbeats), the
// replacement of its connection, the busy answer and takeover, and the accepted-address list.
#include "SessionTestSupport.h"

#include "net/QNMessages.h"
#include "net/QNNetSocket.h"

#include "platform/core/Log.h"
#include "platform/dispatch/Dispatch.h"

#include <arpa/inet.h>

using namespace server;
using namespace server::testing;

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kEmptyUpdate3 = {0x20, 0x00, 0x00};
const Bytes kEmptyUpdate2 = {0x20, 0x01, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0x04, 0, 0, 0, 0};

TEST_F(SessionTest, ScreenServerStateRoadInitStartHandshakeAndPeerClose) {
    auto session = makeSession();
    EXPECT_EQ(session->state(), kServerStateSleeping);
    EXPECT_EQ(ScreenServer::init()->state(), kServerStateSleeping);

    auto socket = connect(session);
    EXPECT_EQ(session->state(), kServerStateInit);
    EXPECT_EQ(session->displayScale(), 1.0);

    socket->feed(handshakeBytes(3, 0, 1, 0x1122334455667788ull));
    ASSERT_TRUE(session->waitForActivations(1));
    ASSERT_TRUE(socket->waitForIdleReader());
    {
        std::lock_guard lock(session->m);
        ASSERT_EQ(session->activations.size(), 1u);
        EXPECT_EQ(session->activations[0].first.displayMode, 0); // offset 127 cleared
        EXPECT_EQ(session->activations[0].first.nominalWidth, 1024);
        EXPECT_FALSE(session->activations[0].second);
    }
    EXPECT_EQ(session->attachedClientId(), 0x1122334455667788ull);
    EXPECT_EQ(session->requestedDisplaySize(), 1024u | (768u << 16));
    EXPECT_EQ(session->connectedDisplayName(), "Ref");
    EXPECT_EQ(session->deviceIdentifier(), "ref-1");
    EXPECT_EQ(session->devicePlatform(), "iPad");
    EXPECT_EQ(session->protocolVersionInfo().majorversion, 3);
    EXPECT_TRUE(session->mouseRunning());
    EXPECT_TRUE(session->isActive());

    socket->closePeer();
    waitForLoops(session, 0);
    EXPECT_EQ(session->state(), kServerStateAwaitingHandshake);
    EXPECT_FALSE(session->mouseRunning());
    EXPECT_EQ(session->clientSocket(), nullptr);
    EXPECT_TRUE(socket->wasClosed());
    EXPECT_EQ(session->attachedClientId(), 0u);
    EXPECT_EQ(session->stylusEnds, 1);               // the pressed button is released
    EXPECT_EQ(session->endSteps, "stroke release "); // then what the session's posts hold
    EXPECT_FALSE(session->isActive());
}

TEST_F(SessionTest, ScreenServerHandshakeOfA2xClientKeepsNoNamesAndNonUTF8NamesStayNil) {
    auto session = makeSession();
    auto socket = connect(session);
    socket->feed(handshakeBytes(2, 2, 0));
    ASSERT_TRUE(session->waitForActivations(1));
    EXPECT_EQ(session->connectedDisplayName(), std::nullopt);

    auto second = makeSession();
    auto other = connect(second);
    Bytes bad = handshakeBytes(3, 0, 1);
    bad[net::QNClientHandshake::kDeviceNameOffset] = 0xC3; // a lead byte without its continuation
    bad[net::QNClientHandshake::kDeviceNameOffset + 1] = 0x28;
    other->feed(bad);
    ASSERT_TRUE(second->waitForActivations(1));
    EXPECT_EQ(second->connectedDisplayName(), std::nullopt);
    EXPECT_EQ(second->deviceIdentifier(), "ref-1");
    socket->closePeer();
    other->closePeer();
    waitForLoops(session, 0);
    waitForLoops(second, 0);
}

TEST_F(SessionTest, ScreenServerMidHandshakeDropStoresNothingAndAsksNoActivation) {
    auto session = makeSession();
    auto socket = connect(session);
    Bytes cut = handshakeBytes();
    cut.resize(50);
    socket->feed(cut);
    socket->closePeer();
    waitForLoops(session, 0);
    EXPECT_TRUE(session->activations.empty());
    EXPECT_FALSE(session->mouseRunning());
    EXPECT_EQ(session->connectedDisplayName(), std::nullopt);
    EXPECT_EQ(session->protocolVersionInfo().majorversion, 0);
    EXPECT_EQ(session->state(), kServerStateAwaitingHandshake);
}

TEST_F(SessionTest, ScreenServerUnknownBytesAreSkippedAndHeartbeatsTakeExactlyEightBytes) {
    auto session = makeSession();
    auto socket = connect(session);
    // Three unknown bytes, a heartbeat whose body holds what would be an update request,
    // then a real update request.
    socket->feed({0x77, 0x00, 0xFF, 0x04, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20});
    ASSERT_TRUE(socket->waitForWritten(16));
    ASSERT_TRUE(socket->waitForIdleReader());
    EXPECT_EQ(socket->written(), kEmptyUpdate2); // one answer; no handshake yet: major 0, the long form
    socket->closePeer();
    waitForLoops(session, 0);
}

TEST_F(SessionTest, ScreenServerUpdateRequestsAreAnsweredByTheClientsMajorBeforeActivation) {
    for (auto [major, expected] :
         {std::pair<uint8_t, Bytes>{3, kEmptyUpdate3}, {2, kEmptyUpdate2}, {1, kEmptyUpdate2}}) {
        SCOPED_TRACE(int(major));
        auto session = makeSession();
        auto socket = connect(session);
        Bytes bytes = handshakeBytes(major, major == 1 ? 1 : 0, major == 3 ? 1 : 0);
        bytes.push_back(0x20);
        socket->feed(bytes);
        ASSERT_TRUE(socket->waitForWritten(expected.size()));
        ASSERT_TRUE(socket->waitForIdleReader());
        EXPECT_EQ(socket->written(), expected);
        EXPECT_EQ(socket->writesUnderLock(), 1u);
        EXPECT_EQ(session->screenUpdates, 0); // not asked before state 5
        socket->closePeer();
        waitForLoops(session, 0);
    }
}

TEST_F(SessionTest, ScreenServerUpdateRequestsInState5GoToTheFrameAnswer) {
    auto session = makeSession();
    auto socket = connect(session);
    session->setState(kServerStateActivated);
    session->screenUpdateAnswer = true;
    socket->feed({0x20, 0x20});
    ASSERT_TRUE(socket->waitForIdleReader());
    EXPECT_TRUE(socket->written().empty()); // answered by the frame, nothing else
    EXPECT_EQ(session->screenUpdates, 2);

    // A frame answer that did not answer gets the empty update.
    session->screenUpdateAnswer = false;
    socket->feed({0x20});
    ASSERT_TRUE(socket->waitForWritten(3));

    // The stop flag ends the loop.
    session->screenUpdateAnswer = true;
    session->screenUpdateSetsStop = true;
    socket->feed({0x20});
    waitForLoops(session, 0);
    EXPECT_EQ(session->state(), kServerStateAwaitingHandshake);
}

TEST_F(SessionTest, ScreenServerDisplayLocalClientWindowShowsThePanelOnTheMainThreadAndSleeps) {
    auto panel = std::make_shared<FakePanel>();
    input::QNDesktopReflectorPanel::setMaker([panel](const auto&) { return panel; });
    auto session = dropWithLocalWindow(handshakeBytes());
    EXPECT_EQ(panel->shows.load(), 1);
    EXPECT_TRUE(panel->shownOnMainThread.load());
    EXPECT_EQ(session->state(), kServerStateSleeping);
    EXPECT_TRUE(session->isInBackground());
    EXPECT_TRUE(session->isActive()); // the panel keeps the display
    EXPECT_FALSE(panel->reflectorDelegate.expired());

    // A USB session is reset instead.
    auto usb = makeSession();
    usb->setDisplayLocalClientWindow(true);
    usb->setIsUSB(true);
    auto usbSocket = connect(usb);
    usbSocket->feed(handshakeBytes());
    ASSERT_TRUE(usb->waitForActivations(1));
    usbSocket->closePeer();
    waitForLoops(usb, 0);
    dispatch::runUntilIdle();
    EXPECT_EQ(usb->state(), kServerStateAwaitingHandshake);
    EXPECT_FALSE(usb->isUSB());
}

TEST_F(SessionTest, ScreenServerLoopEndMakesThePanelOnTheMainThread) {
    auto panel = std::make_shared<FakePanel>();
    std::atomic<int> made{0}, madeElsewhere{0};
    input::QNDesktopReflectorPanel::setMaker([&, panel](const auto&) {
        ++made;
        if (!dispatch::isMainThread()) ++madeElsewhere;
        return panel;
    });
    dropWithLocalWindow(handshakeBytes());
    EXPECT_EQ(made.load(), 1);
    EXPECT_EQ(madeElsewhere.load(), 0) << "a window is made on the main thread only";
    EXPECT_EQ(panel->shows.load(), 1);
}

TEST_F(SessionTest, ScreenServerReplacedConnectionEndsQuietlyAndTheNewOneStaysServed) {
    for (bool silent : {false, true}) {
        SCOPED_TRACE(silent ? "old one silent" : "old one failing");
        auto session = makeSession();
        auto old = connect(session);
        old->feed(handshakeBytes());
        ASSERT_TRUE(session->waitForActivations(1));

        auto fresh = std::make_shared<PipeSocket>();
        session->setClientSocket(fresh);
        session->start();
        EXPECT_TRUE(old->wasCancelled()); // replacing the client socket cancels the old one
        fresh->feed(handshakeBytes());
        ASSERT_TRUE(session->waitForActivations(2));
        ASSERT_TRUE(fresh->waitForIdleReader());
        session->setState(kServerStateActivated);
        if (!silent) old->closePeer();
        waitForLoops(session, 1); // the old reader has ended
        EXPECT_TRUE(old->wasClosed());
        EXPECT_FALSE(fresh->wasClosed());
        EXPECT_EQ(session->clientSocket(), fresh);
        EXPECT_TRUE(session->mouseRunning());
        EXPECT_EQ(session->state(), kServerStateActivated);
        EXPECT_EQ(session->stylusEnds, 0);

        // start on the served socket starts no second reader.
        session->start();
        EXPECT_EQ(session->readLoopCount(), 1u);
        EXPECT_EQ(session->state(), kServerStateActivated);
        fresh->closePeer();
        waitForLoops(session, 0);
        EXPECT_EQ(session->state(), kServerStateAwaitingHandshake);
    }
}

TEST_F(SessionTest, ScreenServerResetIsSafeTwiceAndFromTwoThreads) {
    auto session = makeSession();
    auto socket = connect(session);
    session->setConnectedAddress(*net::SocketAddress::fromNumericHost("127.0.0.2", 50000));
    session->reset();
    session->reset();
    EXPECT_FALSE(session->connectedAddress().isPresent());
    EXPECT_EQ(session->state(), kServerStateAwaitingHandshake);
    waitForLoops(session, 0);

    auto again = connect(session);
    std::thread other([&] { session->reset(); });
    session->reset();
    other.join();
    waitForLoops(session, 0);
    EXPECT_TRUE(again->wasClosed());
    EXPECT_EQ(session->sidebandSocket(), nullptr);
    EXPECT_EQ(session->state(), kServerStateAwaitingHandshake);
}

// ---- Busy answer and takeover -------------------------------------------------------------

class ScreenServerBusy : public SessionTest {
  protected:
    // A served session whose handshake gave the client id.
    std::shared_ptr<PipeSocket> holdWith(const std::shared_ptr<RecordingSession>& session,
                                         uint64_t clientId) {
        auto socket = connect(session);
        socket->feed(handshakeBytes(3, 0, 1, clientId));
        EXPECT_TRUE(session->waitForActivations(1));
        EXPECT_TRUE(socket->waitForIdleReader());
        return socket;
    }
};

TEST_F(ScreenServerBusy, ClientIdZeroGetsTheBusyAnswerAndIsClosed) {
    auto session = makeSession();
    auto held = holdWith(session, 0);
    auto newcomer = std::make_shared<PipeSocket>();
    session->acceptedNewClientSocket(newcomer);
    EXPECT_EQ(newcomer->written(), Bytes({0x02, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(newcomer->wasClosed());
    EXPECT_EQ(session->clientSocket(), held);
    held->closePeer();
    waitForLoops(session, 0);
}

TEST_F(ScreenServerBusy, AnEchoedIdTakesOverWhileTheMainQueueKeepsRunning) {
    auto session = makeSession();
    auto held = holdWith(session, 0x0102030405060708ull);
    auto newcomer = std::make_shared<PipeSocket>();
    session->acceptedNewClientSocket(newcomer);
    EXPECT_EQ(newcomer->written(), Bytes({0x02, 8, 7, 6, 5, 4, 3, 2, 1}));
    ASSERT_TRUE(newcomer->waitForIdleReader()); // the echo is awaited on a global queue

    bool ran = false;
    dispatch::dispatch_async(dispatch::dispatch_get_main_queue(), [&] { ran = true; });
    dispatch::runUntilIdle();
    EXPECT_TRUE(ran); // the main thread never waits for the echo

    newcomer->feed({8, 7, 6, 5, 4, 3, 2, 1});
    dispatch::drain(dispatch::dispatch_get_global_queue(dispatch::DISPATCH_QUEUE_PRIORITY_DEFAULT));
    dispatch::runUntilIdle();
    dispatch::runUntilIdle();
    EXPECT_TRUE(held->wasClosed());
    EXPECT_EQ(session->clientSocket(), newcomer);
    EXPECT_EQ(session->state(), kServerStateInit); // served from a fresh start
    EXPECT_EQ(m_poster.named(foundation::kServerRespondedToConnectRequest).size(), 1u);
    newcomer->feed(handshakeBytes(3, 0, 1, 0x0102030405060708ull));
    ASSERT_TRUE(session->waitForActivations(2));
    newcomer->closePeer();
    waitForLoops(session, 0);
}

TEST_F(ScreenServerBusy, AWrongOrShortEchoClosesTheNewcomerAndLeavesTheSessionAlone) {
    for (Bytes echo : {Bytes{1, 2, 3, 4, 5, 6, 7, 9}, Bytes{8, 7, 6}}) {
        auto session = makeSession();
        auto held = holdWith(session, 0x0102030405060708ull);
        auto newcomer = std::make_shared<PipeSocket>();
        session->acceptedNewClientSocket(newcomer);
        newcomer->feed(echo);
        newcomer->closePeer();
        dispatch::drain(dispatch::dispatch_get_global_queue(dispatch::DISPATCH_QUEUE_PRIORITY_DEFAULT));
        dispatch::runUntilIdle();
        EXPECT_TRUE(newcomer->wasClosed());
        EXPECT_FALSE(held->wasClosed());
        EXPECT_EQ(session->clientSocket(), held);
        EXPECT_EQ(session->attachedClientId(), 0x0102030405060708ull);
        held->closePeer();
        waitForLoops(session, 0);
    }
}

TEST_F(ScreenServerBusy, AFreeSessionTakesTheSocketAndAnnouncesTheResponse) {
    auto session = makeSession();
    auto socket = std::make_shared<PipeSocket>();
    std::thread([&] { session->acceptedNewClientSocket(socket); }).join(); // performed on the main thread
    EXPECT_EQ(session->clientSocket(), nullptr);
    dispatch::runUntilIdle();
    dispatch::runUntilIdle();
    EXPECT_EQ(session->clientSocket(), socket);
    EXPECT_EQ(session->state(), kServerStateInit);
    auto posts = m_poster.named(foundation::kServerRespondedToConnectRequest);
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].options, ns::NSNotificationPostToAllSessions);
    socket->closePeer();
    waitForLoops(session, 0);
}

// ---- A real socket's 45 s silence ---------------------------------------------------------

struct Acceptor : net::QNNetSocketDelegate {
    std::mutex m;
    std::condition_variable cv;
    std::shared_ptr<net::QNNetSocketProtocol> accepted;
    void acceptedNewClientSocket(const std::shared_ptr<net::QNNetSocketProtocol>& socket) override {
        std::lock_guard lock(m);
        accepted = socket;
        cv.notify_all();
    }
};

struct ReceiveMeter : net::BandwidthMeter {
    std::mutex m;
    std::condition_variable cv;
    size_t received = 0;
    void reportBytesReceived(size_t n) override {
        std::lock_guard lock(m);
        received += n;
        cv.notify_all();
    }
    void reportBytesSent(size_t) override {}
};

TEST_F(SessionTest, ScreenServer45SecondsOfSilenceResetWithOneDisconnectionNotice) {
    auto acceptor = std::make_shared<Acceptor>();
    auto listener = net::QNNetSocket::init();
    platform::Error error;
    ASSERT_TRUE(listener->listenOnPort(0, acceptor, &error)) << error.description();
    auto client = net::QNNetSocket::init();
    in_addr loopback{};
    ::inet_pton(AF_INET, "127.0.0.1", &loopback);
    ASSERT_TRUE(client->connectToAddress(net::SocketAddress::ipv4(loopback, 0), listener->port(), &error));
    ASSERT_TRUE(waitUntil(acceptor->m, acceptor->cv, [&] { return acceptor->accepted != nullptr; }));
    auto served = std::static_pointer_cast<net::QNNetSocket>(acceptor->accepted);
    auto meter = std::make_shared<ReceiveMeter>();
    served->setBandwidthMeter(meter);

    auto session = makeSession();
    session->setClientSocket(served);
    session->setConnectedHostName("127.0.0.2");
    session->setDeviceIdentifier("ref-1");
    session->setScreen(std::make_shared<display::QNBDisplaySet>());
    session->start();
    // Past its handshake the connection keeps the 45 s rule, not the handshake's 10 s.
    const Bytes handshake = handshakeBytes();
    ASSERT_TRUE(client->sendBytes(handshake.data(), handshake.size()));
    ASSERT_TRUE(client->sendBytes("\x04\x00", 2)); // a heartbeat's type and one of its 8 bytes
    ASSERT_TRUE(waitUntil(meter->m, meter->cv, [&] { return meter->received >= handshake.size() + 2; }));
    ASSERT_TRUE(session->waitForActivations(1));
    platform::LogCapture log(true);
    dispatch::advanceAndRun(30.0);
    dispatch::drain(dispatch::dispatch_get_global_queue(dispatch::DISPATCH_QUEUE_PRIORITY_DEFAULT));
    EXPECT_EQ(log.count("no handshake from"), 0u) << "held to the handshake's 10 s";
    EXPECT_EQ(session->clientSocket(), served) << "closed before 45 s of silence";
    m_clock->advance(platform::seconds(15));
    waitForLoops(session, 0);
    dispatch::runUntilIdle();
    EXPECT_EQ(session->state(), kServerStateAwaitingHandshake);
    auto notices = m_poster.named(foundation::kServerDisconnectedFromDevice);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].text(foundation::kDeviceNameKey), "127.0.0.2");
    EXPECT_EQ(notices[0].text(foundation::kDeviceIdentifier), "ref-1");
    EXPECT_EQ(m_mediator->disables, 1);
    client->close();
    listener->close();
    EXPECT_TRUE(listener->waitUntilIdle(platform::kDistantFuture));
}

// A peer that trickles a byte a second never finishes its handshake: 10 s after the accept its
// connection is closed and the session is free, however recently its last byte came.
TEST_F(SessionTest, ScreenServerAConnectionWithoutItsHandshakeTenSecondsAfterTheAcceptIsClosed) {
    platform::LogCapture log(true);
    auto session = makeSession();
    auto socket = connect(session);
    const Bytes handshake = handshakeBytes();
    auto global = dispatch::dispatch_get_global_queue(dispatch::DISPATCH_QUEUE_PRIORITY_DEFAULT);
    for (size_t second = 0; second < 9; ++second) {
        socket->feed({handshake[second]});
        dispatch::advanceAndRun(1.0);
        dispatch::drain(global);
    }
    dispatch::advanceAndRun(0.9);
    dispatch::drain(global);
    EXPECT_FALSE(socket->wasCancelled()) << "closed before 10 s";
    dispatch::advanceAndRun(0.1);
    dispatch::drain(global);
    ASSERT_TRUE(socket->wasCancelled()) << "still open 10 s after the accept";
    waitForLoops(session, 0);
    EXPECT_EQ(session->clientSocket(), nullptr);
    EXPECT_FALSE(session->isActive()) << "the session is free for the next device";
    EXPECT_EQ(session->state(), kServerStateAwaitingHandshake);
    EXPECT_TRUE(session->activations.empty());
    EXPECT_EQ(log.count("no handshake from"), 1u);
}

TEST_F(SessionTest, ScreenServerAHandshakeWithinTenSecondsKeepsTheConnection) {
    auto session = makeSession();
    auto socket = connect(session);
    dispatch::advanceAndRun(9.0);
    socket->feed(handshakeBytes());
    ASSERT_TRUE(session->waitForActivations(1));
    dispatch::advanceAndRun(2.0);
    dispatch::drain(dispatch::dispatch_get_global_queue(dispatch::DISPATCH_QUEUE_PRIORITY_DEFAULT));
    EXPECT_FALSE(socket->wasCancelled());
    EXPECT_EQ(session->clientSocket(), socket);
    socket->closePeer();
    waitForLoops(session, 0);
}

// ---- Accepted addresses and descriptions --------------------------------------------------

TEST_F(SessionTest, ScreenServerAcceptedAddressesMatchUntil3Point5Seconds) {
    auto session = makeSession();
    in6_addr six{};
    ::inet_pton(AF_INET6, "fe80::1", &six);
    in6_addr other{};
    ::inet_pton(AF_INET6, "fe80::2", &other);
    session->addAcceptedAddress(net::SocketAddress::ipv6(six, 6001));
    m_clock->advance(platform::seconds(3.49));
    EXPECT_TRUE(
        session->successfulConnectionForAddress(net::SocketAddress::ipv6(six, 1234))); // ports never count
    EXPECT_FALSE(session->successfulConnectionForAddress(net::SocketAddress::ipv6(other, 6001)));
    m_clock->advance(platform::seconds(0.01));
    EXPECT_FALSE(session->successfulConnectionForAddress(net::SocketAddress::ipv6(six, 6001)));
    EXPECT_TRUE(session->acceptedAddresses().empty());
}

TEST_F(SessionTest, ScreenServerDescriptionsAndStateNames) {
    auto session = makeSession();
    const std::string prefix =
        platform::format("<ScreenServer: %p; state=", static_cast<const void*>(session.get()));
    EXPECT_EQ(session->description(), prefix + "Sleeping>");
    session->setState(kServerStateAwaitingHandshake);
    EXPECT_EQ(session->description(), prefix + "Awaiting_Handshake; host = Unknown>");
    session->setConnectedHostName("127.0.0.2");
    session->setState(kServerStateActivated);
    session->setDisplayID(0x5A1);
    EXPECT_EQ(session->description(), prefix + "Activated; host = 127.0.0.2; displayID = 1441>");
    EXPECT_EQ(NSStringFromServerState(3), "Resolving_New_Size");
    EXPECT_EQ(NSStringFromServerState(6), "Deactivated");
    EXPECT_EQ(NSStringFromServerState(7), "unknown/invalid");
    EXPECT_EQ(NSStringFromServerState(-1), "unknown/invalid");
    EXPECT_EQ(ScreenServer::serverStateString(7), std::nullopt);
    EXPECT_EQ(session->serverForDeviceName("127.0.0.2"), session);
    EXPECT_EQ(session->serverForDeviceName("127.0.0.3"), nullptr);
}

TEST_F(SessionTest, ScreenServerResolutionMessagesAnswerQueuedRequestsOnce) {
    auto session = makeSession();
    auto socket = connect(session);
    session->setProtocolVersionInfo({2, 0, 0, 0, 0, 0});
    session->setClientDisplayRequests({7, 7, 9});
    session->notifyClientOfResolutionChange({1280, 800}, true);
    EXPECT_EQ(socket->written(), Bytes({0x10, 0, 0, 0, 0, 0x00, 0x05, 0x20, 0x03, 7, 0}));
    EXPECT_EQ(session->clientDisplayRequests(), std::deque<uint32_t>{9});
    session->notifyClientOfResolutionChange({1280, 800}, false); // unchanged, not forced: nothing
    EXPECT_EQ(socket->written().size(), 11u);
    session->setProtocolVersionInfo({1, 1, 2, 0, 0, 0});
    session->notifyClientOfResolutionChange({1024.9, 768}, false);
    EXPECT_EQ(socket->written().size(), 20u); // the 9-byte form, sizes truncated
    session->setProtocolVersionInfo({1, 1, 1, 0, 0, 0});
    session->notifyClientOfResolutionChange({640, 480}, true);
    EXPECT_EQ(socket->written().size(), 20u); // too old for resolution messages
    EXPECT_EQ(session->clientDisplayResolution().width, 640);
    socket->closePeer();
    waitForLoops(session, 0);
}

} // namespace
