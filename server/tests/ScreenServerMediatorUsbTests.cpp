// The mediator's USB road over fake USB sockets and a device manager that is never started:
// the supervision loop and its wake-up step run inline on virtual time.
#include "server/tests/MediatorTestSupport.h"

#include "net/QNMessages.h"

#include "platform/core/Clock.h"
#include "platform/core/Log.h"

#include <gtest/gtest.h>

namespace {

using namespace server;
using namespace server::testing;

class ScreenServerMediatorUsbTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { platform::installFakeClock(); }

    void attach(int64_t id) {
        f.usbManager->addDeviceID(id);
        f.mediator->peerTalkDeviceConnected(id, cf::Value::emptyDictionary());
    }
    void detachAt(double when, int64_t id = 5) {
        f.hooks.emplace_back(when, [this, id] { f.usbManager->removeDeviceID(id); });
    }
    // Runs the device's loop until its device is detached.
    void runLoop(size_t index = 0) {
        ASSERT_LT(index, f.usbLoops.size());
        f.usbLoops[index]();
    }
    std::vector<MediatorFixture::UsbSocket> tagged(const std::string& tag) {
        std::vector<MediatorFixture::UsbSocket> found;
        for (const auto& made : f.usbSockets())
            if (made.tag == tag) found.push_back(made);
        return found;
    }

    MediatorFixture f;
    platform::LogCapture log{true};
};

const std::vector<uint8_t> kHello = [] {
    auto hello = net::serverHandShakeMessage();
    return std::vector<uint8_t>(hello.begin(), hello.end());
}();

TEST_F(ScreenServerMediatorUsbTest, ADeviceIsWokenOnceAndServedOverThreeTaggedUsbSockets) {
    EXPECT_EQ(f.usbManager->delegate(), f.mediator) << "start makes the mediator the manager's delegate";
    attach(5);
    detachAt(9.0);
    runLoop();

    auto made = f.usbSockets();
    ASSERT_EQ(made.size(), 4u) << "a served device is not woken again";
    const auto& wakeup = made[0];
    EXPECT_EQ(wakeup.tag, "Wakeup Socket");
    EXPECT_TRUE(wakeup.datagram);
    EXPECT_EQ(wakeup.port, 6005);
    EXPECT_EQ(wakeup.socket->connectedPort(), 6005);
    ASSERT_EQ(wakeup.socket->datagrams().size(), 1u);
    EXPECT_EQ(wakeup.socket->datagrams()[0].bytes, kHello);
    EXPECT_EQ(kHello.size(), 47u);
    EXPECT_TRUE(wakeup.socket->closed());

    struct Expected {
        const char* tag;
        bool datagram;
        uint16_t port;
    };
    const Expected expected[] = {
        {"Client Socket", false, 6004}, {"Sideband Socket", true, 6005}, {"In-Sideband Socket", true, 6006}};
    auto& s = *f.servers[0];
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(expected[i].tag);
        EXPECT_EQ(made[i + 1].tag, expected[i].tag);
        EXPECT_EQ(made[i + 1].datagram, expected[i].datagram);
        EXPECT_EQ(made[i + 1].port, expected[i].port);
        EXPECT_EQ(made[i + 1].deviceID, 5);
        EXPECT_EQ(made[i + 1].socket->connectedPort(), expected[i].port);
        EXPECT_EQ(made[i + 1].socket->delegateSet(), f.servers[0]);
        EXPECT_FALSE(made[i + 1].socket->closed());
    }
    EXPECT_EQ(s.clientSocket(), made[1].socket);
    EXPECT_EQ(s.sidebandSocket(), made[2].socket);
    EXPECT_EQ(s.inSidebandSocket(), made[3].socket);
    EXPECT_EQ(s.connectedHostName(), "USB Device 5");
    EXPECT_TRUE(s.isUSB());
    EXPECT_TRUE(s.isActive());
    EXPECT_TRUE(f.mediator->deviceIsConnected(5));
    EXPECT_FALSE(f.mediator->deviceIsConnected(6));
    for (size_t i = 1; i < 4; ++i)
        EXPECT_FALSE(f.servers[i]->isActive());
    EXPECT_TRUE(f.mediator->supervisedUSBDevices().empty()) << "the detach ended the loop";
}

TEST_F(ScreenServerMediatorUsbTest,
       AWakeupSocketThatNeverConnectsSendsNothingAndADetachEndsTheLoopWithinOnePoll) {
    f.onUsbSocket = [](MediatorFixture::UsbSocket& made) { made.socket->neverConnects = true; };
    attach(5);
    detachAt(0.55);
    runLoop();
    auto made = f.usbSockets();
    ASSERT_EQ(made.size(), 1u);
    EXPECT_TRUE(made[0].socket->datagrams().empty());
    EXPECT_TRUE(made[0].socket->closed());
    // The step saw the detach at its next 0.1 s poll (0.6 s) and the loop after its sleep.
    EXPECT_NEAR(f.virtualTime, 0.6 + 2.0, 1e-6);
    EXPECT_EQ(f.mediator->activeServerCount(), 0u);
    EXPECT_FALSE(f.servers[0]->clientSocket());
    EXPECT_TRUE(f.mediator->supervisedUSBDevices().empty());
}

TEST_F(ScreenServerMediatorUsbTest, AnEndedSessionIsWokenAgainAfterTheTwoSecondSleep) {
    attach(5);
    f.hooks.emplace_back(1.0, [this] {
        f.servers[0]->clientSocket()->close();
        ASSERT_TRUE(f.servers[0]->waitForReadLoopCount(0, soon()));
    });
    detachAt(7.0);
    runLoop();
    auto wakeups = tagged("Wakeup Socket");
    ASSERT_EQ(wakeups.size(), 2u);
    EXPECT_EQ(wakeups[0].madeAt, 0.0);
    EXPECT_NEAR(wakeups[1].madeAt, 2.0, 1e-9);
    EXPECT_EQ(tagged("Client Socket").size(), 2u);
    EXPECT_TRUE(f.mediator->deviceIsConnected(5));
    EXPECT_EQ(f.mediator->activeServerCount(), 1u);
}

TEST_F(ScreenServerMediatorUsbTest, ASessionTheHostDisconnectsStaysEndedUntilTheDeviceIsAttachedAgain) {
    attach(5);
    // The person's Disconnect reaches the server as the host's request for the session.
    f.hooks.emplace_back(1.0, [this] {
        f.mediator->shutdownWithDictionary(cf::Value(cf::Dictionary{
            {"disconnectHostName", "USB Device 5"}, {"serviceKey", ""}, {"deviceIdentifier", ""}}));
        EXPECT_FALSE(f.mediator->deviceIsConnected(5));
    });
    detachAt(9.0);
    runLoop();
    EXPECT_EQ(tagged("Wakeup Socket").size(), 1u) << "woken again after the person ended it";
    EXPECT_EQ(f.mediator->activeServerCount(), 0u);
    EXPECT_TRUE(f.mediator->releasedUSBDevices().empty()) << "the detach forgets the release";

    // Plugged in again, it is served again.
    attach(5);
    detachAt(f.virtualTime + 1.0);
    runLoop(1);
    EXPECT_EQ(tagged("Wakeup Socket").size(), 2u);
    EXPECT_TRUE(f.mediator->deviceIsConnected(5));
}

TEST_F(ScreenServerMediatorUsbTest, AReleasedDeviceAttachedAgainBeforeItsLoopEndedIsServedAgain) {
    attach(5);
    f.hooks.emplace_back(1.0, [this] {
        f.mediator->shutdownServer(f.servers[0]);
        EXPECT_EQ(f.mediator->releasedUSBDevices(), std::set<int64_t>{5});
    });
    // Out and in again between two passes: the loop never saw it leave.
    f.hooks.emplace_back(2.5, [this] {
        f.usbManager->removeDeviceID(5);
        attach(5);
    });
    detachAt(6.0);
    runLoop();
    EXPECT_EQ(f.usbLoops.size(), 1u);
    EXPECT_EQ(tagged("Wakeup Socket").size(), 2u);
    EXPECT_NEAR(tagged("Wakeup Socket")[1].madeAt, 4.0, 1e-9);
    EXPECT_TRUE(f.mediator->deviceIsConnected(5));
}

TEST_F(ScreenServerMediatorUsbTest, AWakeupThatEndsUnconnectedOrFailsToSendTouchesNoSessionAndIsRetried) {
    int wakeups = 0;
    f.onUsbSocket = [&](MediatorFixture::UsbSocket& made) {
        if (made.tag != "Wakeup Socket") return;
        if (++wakeups == 1) {
            made.socket->neverConnects = true; // its channel ends before connecting
            made.socket->close();
        } else if (wakeups == 2) {
            made.socket->failSends = true;
        }
    };
    f.hooks.emplace_back(3.0, [this] { EXPECT_EQ(f.mediator->activeServerCount(), 0u); });
    attach(5);
    detachAt(5.0);
    runLoop();
    auto made = tagged("Wakeup Socket");
    ASSERT_EQ(made.size(), 3u);
    EXPECT_NEAR(made[1].madeAt, 2.0, 1e-9);
    EXPECT_NEAR(made[2].madeAt, 4.0, 1e-9);
    for (const auto& wakeup : made)
        EXPECT_TRUE(wakeup.socket->closed());
    EXPECT_TRUE(log.contains("The wake-up socket for USB device 5 ended unconnected"));
    EXPECT_TRUE(log.contains("Could not send the wake-up datagram to USB device 5"));
    EXPECT_EQ(tagged("Client Socket").size(), 1u) << "only the third pass reached a session";
    EXPECT_TRUE(f.mediator->deviceIsConnected(5));
}

TEST_F(ScreenServerMediatorUsbTest, FourActiveSessionsLeaveNoUsbSocketAndTheDeviceIsWokenAgain) {
    for (int i = 2; i <= 5; ++i)
        f.connect(v4("127.0.0." + std::to_string(i), 3000));
    attach(5);
    detachAt(3.0);
    runLoop();
    EXPECT_EQ(tagged("Wakeup Socket").size(), 2u);
    ASSERT_EQ(f.usbSockets().size(), 2u) << "no session: none of the three sockets is made";
    EXPECT_TRUE(log.contains("All screens are busy; USB device 5 gets no session"));
    EXPECT_FALSE(f.mediator->deviceIsConnected(5));
    // Nothing stays taken: a session that frees up is given out.
    f.servers[2]->clientSocket()->close();
    ASSERT_TRUE(f.servers[2]->waitForReadLoopCount(0, soon()));
    EXPECT_EQ(f.mediator->nextAvailableServer(), f.servers[2]);
}

TEST_F(ScreenServerMediatorUsbTest, ARepeatedAttachStartsNoSecondLoopAndWiresOneSession) {
    attach(5);
    f.mediator->peerTalkDeviceConnected(5, cf::Value::emptyDictionary());
    EXPECT_EQ(f.usbLoops.size(), 1u);
    EXPECT_EQ(f.mediator->supervisedUSBDevices(), std::set<int64_t>{5});
    f.hooks.emplace_back(1.0,
                         [this] { f.mediator->peerTalkDeviceConnected(5, cf::Value::emptyDictionary()); });
    f.mediator->peerTalkDeviceDisconnected(5); // changes nothing: the device is still listed
    detachAt(3.0);
    runLoop();
    EXPECT_EQ(f.usbLoops.size(), 1u);
    EXPECT_EQ(tagged("Client Socket").size(), 1u);
    EXPECT_EQ(f.mediator->activeServerCount(), 1u);
    // Once the loop has ended, the next attach starts a new one.
    attach(5);
    EXPECT_EQ(f.usbLoops.size(), 2u);
}

} // namespace
