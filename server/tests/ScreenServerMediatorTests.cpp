// The mediator over four real sessions, fake sockets and virtual time: the invite road, pending
// connect requests, accepting and routing, disconnect requests and hostile requests.
#include "server/tests/MediatorTestSupport.h"

#include "net/QNMessages.h"

#include "foundation/Vocabulary.h"

#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/Testing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

using namespace server;
using namespace server::testing;

class ScreenServerMediatorTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { platform::installFakeClock(); }
    MediatorFixture f;
    platform::LogCapture log{true};
};

const std::vector<uint8_t> kInvite = [] {
    auto hello = net::serverHandShakeMessage();
    return std::vector<uint8_t>(hello.begin(), hello.end());
}();

// ---- The invite road -----------------------------------------------------------------------

TEST_F(ScreenServerMediatorTest, AnIPv4OnlyHostGetsOneInviteToPort6000AtOnce) {
    f.ipv4Names["ipad.local"] = v4("10.0.0.2");
    f.mediator->connectToScreenServerWithDictionary(f.request("ipad.local"));
    auto sent = f.invitations();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, kInvite);
    EXPECT_EQ(sent[0].bytes.size(), 47u);
    EXPECT_EQ(sent[0].port, 6000);
    EXPECT_EQ(sent[0].to.numericHost(), "10.0.0.2");
    EXPECT_EQ(f.virtualTime, 0.0) << "no IPv6 address: no wait";
    EXPECT_TRUE(f.datagramSockets[0]->closed());
    EXPECT_TRUE(log.contains("Resolved IPv4 address: 10.0.0.2   (::ffff:10.0.0.2)"));
    EXPECT_TRUE(log.contains("Could not resolve IPv6 address"));
}

TEST_F(ScreenServerMediatorTest, ADeviceAnsweringTheIPv6InviteWithinTheWaitGetsNoIPv4Invite) {
    f.ipv4Names["ipad.local"] = v4("10.0.0.2");
    f.ipv6Names["ipad.local"] = v6("fd00::2");
    f.hooks.emplace_back(1.0, [&] { f.connect(v6("fd00::2", 50000)); });
    f.mediator->connectToScreenServerWithDictionary(f.request("ipad.local"));
    auto sent = f.invitations();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].to.numericHost(), "fd00::2");
    EXPECT_NEAR(f.virtualTime, 1.0, 0.01);
    EXPECT_TRUE(log.contains("Resolved IPv6 address:fd00::2"));
    EXPECT_TRUE(log.contains("Done waiting..."));
}

TEST_F(ScreenServerMediatorTest, AnUnansweredIPv6InviteIsFollowedByTheIPv4OneAfterThreeAndAHalfSeconds) {
    f.ipv4Names["ipad.local"] = v4("10.0.0.2");
    f.ipv6Names["ipad.local"] = v6("fd00::2");
    f.mediator->connectToScreenServerWithDictionary(f.request("ipad.local"));
    auto sent = f.invitations();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].to.numericHost(), "fd00::2");
    EXPECT_EQ(sent[1].to.numericHost(), "10.0.0.2");
    EXPECT_EQ(f.datagramSocketTimes[0], 0.0);
    EXPECT_NEAR(f.datagramSocketTimes[1], 3.5, 0.001);
    EXPECT_EQ(f.datagramSockets[1]->family(), AF_INET);
}

TEST_F(ScreenServerMediatorTest, AHostThatResolvesToNothingIsKeptLoggedTwiceAndNotInvited) {
    f.mediator->connectToScreenServerWithDictionary(f.request("nowhere.local"));
    EXPECT_TRUE(f.invitations().empty());
    EXPECT_TRUE(log.contains("Could not resolve IPv4 address"));
    EXPECT_TRUE(log.contains("Could not resolve IPv6 address"));
    ASSERT_EQ(f.mediator->connectionDataArray().size(), 1u);
    EXPECT_FALSE(f.mediator->connectionDataArray()[0].ipv4Address);
}

// ---- Pending requests ----------------------------------------------------------------------

TEST_F(ScreenServerMediatorTest, ARequestOlderThanThirtySecondsGoesOnlyWhenTheNextArrives) {
    f.ipv4Names["old.local"] = v4("10.0.0.2");
    f.mediator->connectToScreenServerWithDictionary(f.request("old.local", "old-key", "Old"));
    f.wall += 31;
    EXPECT_EQ(f.mediator->connectionDataArray().size(), 1u) << "kept without a newer request";
    f.mediator->connectToScreenServerWithDictionary(f.request("other.local"));
    auto pending = f.mediator->connectionDataArray();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].connectToHostName, "other.local");

    f.connect(v4("10.0.0.2", 51000));
    EXPECT_TRUE(log.contains("Could not index connection data with socket address"));
    EXPECT_FALSE(f.servers[0]->connectedHostName());
    EXPECT_FALSE(f.servers[0]->connectedServiceKey());
    EXPECT_FALSE(f.servers[0]->connectedDisplayName());
    // A request without an invite date goes at the next request too.
    cf::Value undated = cf::Dictionary{{foundation::kConnectToHostName, "undated.local"}};
    f.mediator->connectToScreenServerWithDictionary(undated);
    f.mediator->connectToScreenServerWithDictionary(f.request("third.local"));
    for (const auto& request : f.mediator->connectionDataArray())
        EXPECT_NE(request.connectToHostName, "undated.local");
}

TEST_F(ScreenServerMediatorTest, AMatchingRequestNamesTheSessionAndIsRemoved) {
    f.ipv4Names["127.0.0.2"] = v4("127.0.0.2");
    f.mediator->connectToScreenServerWithDictionary(
        f.request("127.0.0.2", "local.~_qnexvscreen._udp~Ref", "Ref"));
    f.connect(v4("127.0.0.2", 52000));
    auto& s = *f.servers[0];
    EXPECT_EQ(s.connectedHostName(), "127.0.0.2");
    EXPECT_EQ(s.connectedServiceKey(), "local.~_qnexvscreen._udp~Ref");
    EXPECT_EQ(s.connectedDisplayName(), "Ref");
    EXPECT_EQ(s.connectedAddressIdentifier(), "qnbAddressStringKey~127.0.0.2");
    EXPECT_EQ(s.connectedAddress(), v4("127.0.0.2", 52000));
    EXPECT_TRUE(f.mediator->connectionDataArray().empty());
    // Its outbound sideband goes to the device's address.
    ASSERT_TRUE(s.sidebandSocket());
    EXPECT_EQ(s.sidebandSocket()->knownClientAddr(), v4("127.0.0.2", 52000));
    EXPECT_TRUE(s.sidebandSocket()->hasClientAddr());
    EXPECT_FALSE(log.contains("Could not index connection data"));
}

TEST_F(ScreenServerMediatorTest, TheIPv6RecordOfAnyRequestIsMatchedBeforeAnyIPv4Record) {
    f.ipv4Names["a.local"] = v4("10.0.0.9");
    f.ipv6Names["b.local"] = v6("::ffff:10.0.0.9");
    f.mediator->connectToScreenServerWithDictionary(f.request("a.local", "key-a"));
    f.mediator->connectToScreenServerWithDictionary(f.request("b.local", "key-b"));
    f.connect(v4("10.0.0.9", 40000));
    EXPECT_EQ(f.servers[0]->connectedHostName(), "b.local");
    ASSERT_EQ(f.mediator->connectionDataArray().size(), 1u);
    EXPECT_EQ(f.mediator->connectionDataArray()[0].connectToHostName, "a.local");
    // No IPv4 record in the matched request: no address identifier.
    EXPECT_FALSE(f.servers[0]->connectedAddressIdentifier());
}

TEST_F(ScreenServerMediatorTest, AnOlderClientStillGetsTheDisplayNameWhateverThePreviousClientSpoke) {
    f.servers[0]->setProtocolVersionInfo(net::QNProtocolVersionInfo{3, 0, 1, 1, 0, 0});
    f.ipv4Names["10.0.0.3"] = v4("10.0.0.3");
    f.mediator->connectToScreenServerWithDictionary(f.request("10.0.0.3", "k", "Kitchen"));
    f.connect(v4("10.0.0.3", 1));
    EXPECT_EQ(f.servers[0]->connectedDisplayName(), "Kitchen");
}

// ---- Accepting, routing, disconnecting -----------------------------------------------------

TEST_F(ScreenServerMediatorTest, AReconnectLandsOnItsSessionAndCancelsTheOldSocket) {
    auto first = f.connect(v4("10.0.0.2", 1000));
    f.connect(v4("10.0.0.7", 1000));
    ASSERT_TRUE(f.servers[0]->isActive());
    auto again = f.connect(v4("10.0.0.2", 2000));
    EXPECT_TRUE(first->closed());
    EXPECT_EQ(f.servers[0]->clientSocket(), again);
    EXPECT_EQ(f.servers[0]->connectedAddress().port(), 2000);
    // The old loop ends and leaves the new connection served.
    ASSERT_TRUE(f.servers[0]->waitForReadLoopCount(1, soon()));
    EXPECT_TRUE(f.servers[0]->isActive());
    EXPECT_EQ(f.servers[0]->clientSocket(), again);
    EXPECT_FALSE(f.servers[2]->isActive());
}

TEST_F(ScreenServerMediatorTest, AFifthDeviceIsToldBusyAndClosedAndNoSessionChanges) {
    for (int i = 2; i <= 5; ++i)
        f.connect(v4("127.0.0." + std::to_string(i), 3000));
    EXPECT_EQ(f.mediator->activeServerCount(), 4u);
    EXPECT_FALSE(f.mediator->roomForOneMore());
    EXPECT_EQ(f.mediator->availableScreens(), 0u);
    auto fifth = std::make_shared<MemorySocket>(v4("127.0.0.6", 3000));
    fifth->feed({1, 2, 3, 4}); // bytes it sent already change nothing
    f.mediator->acceptedNewClientSocket(fifth);
    EXPECT_EQ(fifth->written(), (std::vector<uint8_t>{0x02, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(fifth->closed());
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(f.servers[static_cast<size_t>(i)]->connectedAddress().numericHost(),
                  "127.0.0." + std::to_string(i + 2));
}

// Four connections that never send a byte take the four sessions, and a device is told busy;
// 10 s after their accepts they are closed, and the next device is served.
TEST_F(ScreenServerMediatorTest, FourSilentConnectionsHoldTheSessionsOnlyUntilTheHandshakeDeadline) {
    for (int i = 2; i <= 5; ++i)
        f.connect(v4("127.0.0." + std::to_string(i), 3000));
    auto early = std::make_shared<MemorySocket>(v4("127.0.0.6", 3000));
    f.mediator->acceptedNewClientSocket(early);
    EXPECT_TRUE(early->closed()) << "told busy while the four hold the sessions";
    // The deadlines fire on a global queue; the main queue is not run (other tests' posts wait there).
    platform::installFakeClock().advance(platform::seconds(10));
    dispatch::drain(dispatch::dispatch_get_global_queue(dispatch::DISPATCH_QUEUE_PRIORITY_DEFAULT));
    // Bounded in real time: the fake clock would never end a wait for loops that do not end.
    auto loopsEnded = [&] {
        for (const auto& server : f.servers)
            if (server->readLoopCount() != 0) return false;
        return true;
    };
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!loopsEnded() && std::chrono::steady_clock::now() < bound)
        std::this_thread::yield();
    ASSERT_TRUE(loopsEnded()) << "the silent connections still hold their sessions";
    EXPECT_EQ(f.mediator->activeServerCount(), 0u);
    EXPECT_EQ(log.count("no handshake from"), 4u);
    auto invited = f.connect(v4("127.0.0.6", 3001));
    EXPECT_FALSE(invited->closed());
    EXPECT_EQ(f.mediator->activeServerCount(), 1u);
}

TEST_F(ScreenServerMediatorTest, APickedSessionIsTakenUntilItsSocketIsWiredIn) {
    // Two roads picking at once (network and USB) never get the same session.
    auto first = f.mediator->nextAvailableServer();
    auto second = f.mediator->nextAvailableServer();
    EXPECT_EQ(first, f.servers[0]);
    EXPECT_EQ(second, f.servers[1]);
    f.mediator->connectIPScreenServer(first, std::make_shared<MemorySocket>(v4("127.0.0.2", 1)));
    f.mediator->connectIPScreenServer(second, std::make_shared<MemorySocket>(v4("127.0.0.3", 1)));
    EXPECT_EQ(f.mediator->nextAvailableServer(), f.servers[2]);
    for (const auto& s : {first, second})
        s->clientSocket()->close();
}

TEST_F(ScreenServerMediatorTest, AConnectionThatClosesAtOnceLeavesNoSessionTaken) {
    auto gone = std::make_shared<MemorySocket>(v4("127.0.0.2", 1));
    gone->close();
    f.mediator->acceptedNewClientSocket(gone);
    ASSERT_TRUE(f.servers[0]->waitForReadLoopCount(0, soon()));
    EXPECT_EQ(f.mediator->activeServerCount(), 0u);
    EXPECT_EQ(f.mediator->availableScreens(), 4u);
    f.connect(v4("127.0.0.3", 1));
    EXPECT_EQ(f.servers[0]->connectedAddress().numericHost(), "127.0.0.3");
}

TEST_F(ScreenServerMediatorTest, EachSendersDatagramsReachOnlyItsActiveSession) {
    f.connect(v4("127.0.0.2", 7000));
    f.connect(v4("127.0.0.3", 7000));
    ASSERT_TRUE(f.inSideband);
    EXPECT_EQ(f.inSideband->listenedPort(), 0) << "the loop runs on its queue";
    ASSERT_EQ(f.sidebandLoops.size(), 1u) << "one inbound sideband socket for every session";
    std::vector<uint8_t> tap{2, 1, 0, 2, 0}, key{3, 9};
    f.mediator->datagramReceivedForSocket(f.inSideband, tap, v4("127.0.0.2", 6000));
    f.mediator->datagramReceivedForSocket(f.inSideband, key, v4("127.0.0.3", 6000));
    f.mediator->datagramReceivedForSocket(f.inSideband, key, v4("127.0.0.9", 6000));        // unknown
    f.mediator->datagramReceivedForSocket(f.inSideband, key, v6("::ffff:127.0.0.2", 6000)); // other family
    EXPECT_EQ(f.servers[0]->datagrams(), std::vector<std::vector<uint8_t>>{tap});
    EXPECT_EQ(f.servers[1]->datagrams(), std::vector<std::vector<uint8_t>>{key});
    // A session that lost its device is never chosen, though its address still matches.
    f.servers[1]->clientSocket()->close();
    ASSERT_TRUE(f.servers[1]->waitForReadLoopCount(0, soon()));
    f.servers[1]->setConnectedAddress(v4("127.0.0.3", 7000));
    f.mediator->datagramReceivedForSocket(f.inSideband, tap, v4("127.0.0.3", 6000));
    EXPECT_EQ(f.servers[1]->datagrams().size(), 1u);
    EXPECT_FALSE(f.mediator->attemptToReconnectServerFromAddress(v4("127.0.0.3")));
}

TEST_F(ScreenServerMediatorTest, AnEndedSidebandLoopIsLoggedAndStartedAgainByTheNextConnection) {
    f.connect(v4("127.0.0.2", 1));
    auto firstSocket = f.inSideband;
    ASSERT_EQ(f.sidebandLoops.size(), 1u);
    f.sidebandLoops[0](); // the memory socket's loop ends at once, as a refused bind does
    EXPECT_EQ(firstSocket->listenedPort(), 6002);
    EXPECT_TRUE(log.contains("sideband datagram loop on port 6002 ended"));
    EXPECT_FALSE(f.mediator->inSidebandSocket());
    f.connect(v4("127.0.0.3", 1));
    EXPECT_EQ(f.sidebandLoops.size(), 2u);
    EXPECT_NE(f.mediator->inSidebandSocket(), firstSocket);
}

TEST_F(ScreenServerMediatorTest, DisconnectRequestsPickByDeviceIdentifierAloneThenServiceKeyThenHostName) {
    f.ipv4Names["127.0.0.2"] = v4("127.0.0.2");
    f.ipv4Names["127.0.0.3"] = v4("127.0.0.3");
    f.mediator->connectToScreenServerWithDictionary(f.request("127.0.0.2", "key-2"));
    f.mediator->connectToScreenServerWithDictionary(f.request("127.0.0.3", "key-3"));
    auto a = f.connect(v4("127.0.0.2", 1));
    auto b = f.connect(v4("127.0.0.3", 1));
    f.servers[0]->setDeviceIdentifier("device-2");

    // An unknown identifier decides alone, even with a matching service key.
    f.mediator->shutdownWithDictionary(cf::Value(
        cf::Dictionary{{foundation::kDeviceIdentifier, "device-9"}, {foundation::kServiceKey, "key-2"}}));
    EXPECT_FALSE(a->closed());
    // Wrong-typed values count as absent: the host name decides.
    f.mediator->shutdownWithDictionary(
        cf::Value(cf::Dictionary{{foundation::kDeviceIdentifier, 7},
                                 {foundation::kServiceKey, cf::Value::emptyArray()},
                                 {foundation::kDisconnectedHostName, "127.0.0.3"}}));
    EXPECT_TRUE(b->closed());
    EXPECT_FALSE(a->closed());
    f.mediator->shutdownWithDictionary(std::nullopt);
    f.mediator->shutdownWithDictionary(cf::Value("not a dictionary"));
    f.mediator->shutdownWithDictionary(cf::Value(cf::Dictionary{{foundation::kServiceKey, "key-2"}}));
    EXPECT_TRUE(a->closed());
    EXPECT_EQ(f.servers[0]->state(), kServerStateAwaitingHandshake);
    EXPECT_EQ(f.mediator->activeServerCount(), 0u);
}

TEST_F(ScreenServerMediatorTest, LookupsAnswerActiveSessionsOnly) {
    f.ipv4Names["127.0.0.2"] = v4("127.0.0.2");
    f.mediator->connectToScreenServerWithDictionary(f.request("127.0.0.2", "key-2", "Two"));
    auto a = f.connect(v4("127.0.0.2", 1));
    EXPECT_EQ(f.mediator->serverForHostName("127.0.0.2"), f.servers[0]);
    EXPECT_EQ(f.mediator->serverForServiceKey("key-2"), f.servers[0]);
    EXPECT_EQ(f.mediator->indexOfSubScreen(f.servers[3].get()), 3);
    EXPECT_EQ(f.mediator->indexOfSubScreen(nullptr), 4);
    EXPECT_TRUE(cg::CGRectIsNull(f.mediator->boundsForDisplayName("None")));
    EXPECT_TRUE(cg::CGRectEqualToRect(f.mediator->boundsForDisplayName("Two"), cg::CGRectZero));
    EXPECT_EQ(f.mediator->isVirtualScreen(nullptr), 2) << "no screen, no description";
    EXPECT_TRUE(f.mediator->isActive());
    a->close();
    ASSERT_TRUE(f.servers[0]->waitForReadLoopCount(0, soon()));
    EXPECT_FALSE(f.mediator->serverForHostName("127.0.0.2"));
    EXPECT_FALSE(f.mediator->isActive());
}

// ---- Hostile requests ----------------------------------------------------------------------

TEST_F(ScreenServerMediatorTest, UnusableHostNamesAreRefusedWithNothingStoredOrSent) {
    f.ipv4Names[""] = v4("10.0.0.1");
    std::string nul("ab\0cd", 5);
    f.ipv4Names[nul] = v4("10.0.0.1");
    std::vector<std::pair<cf::Value, std::string>> cases = {
        {cf::Dictionary{{foundation::kServiceKey, "k"}}, "it has no connectToHostName"},
        {cf::Dictionary{{foundation::kConnectToHostName, ""}}, "its connectToHostName is empty"},
        {cf::Dictionary{{foundation::kConnectToHostName, 42}}, "its connectToHostName is not a text"},
        {cf::Dictionary{{foundation::kConnectToHostName, std::string(256, 'a')}},
         "its connectToHostName is longer than 255 bytes"},
        {cf::Dictionary{{foundation::kConnectToHostName, nul}}, "its connectToHostName holds a NUL"},
        {cf::Value("text"), "the request is not a dictionary"},
    };
    for (const auto& [request, why] : cases) {
        f.mediator->connectToScreenServerWithDictionary(request);
        EXPECT_TRUE(log.contains("Refusing connect request: " + why)) << why;
    }
    EXPECT_TRUE(f.mediator->connectionDataArray().empty());
    EXPECT_TRUE(f.datagramSockets.empty());
    // 255 bytes is still a name; mistyped key and name count as absent.
    cf::Value ok = cf::Dictionary{{foundation::kConnectToHostName, std::string(255, 'a')},
                                  {foundation::kServiceKey, 5},
                                  {foundation::kDisplayNameKey, cf::Value::emptyDictionary()},
                                  {foundation::kConnectionInviteDate, cf::Value::date(f.wall)}};
    f.mediator->connectToScreenServerWithDictionary(ok);
    auto pending = f.mediator->connectionDataArray();
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_FALSE(pending[0].serviceKey);
    EXPECT_FALSE(pending[0].displayName);
}

} // namespace
