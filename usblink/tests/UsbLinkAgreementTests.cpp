// The USB link against the reference client in USB mode, through the usbmuxd double: the test
// plays the mediator and the session over USB sockets, with the server's own record codec.
#include "DeviceTestSupport.h"

#include "net/QNHandshakeReader.h"
#include "net/QNMessages.h"
#include "platform/core/Log.h"
#include "tools/refclient/Client.h"
#include "tools/refclient/Datagrams.h"
#include "usblink/QNBPeerTalkNetSocket.h"

#include <gtest/gtest.h>

#include <future>

using namespace usblink;
using namespace usblink::testing;

namespace {

class Session : public net::QNNetSocketDelegate {
  public:
    DatagramForm datagramForm() const override { return DatagramForm::Data; }
    void datagramReceivedForSocket(const std::shared_ptr<net::QNNetSocketProtocol>&,
                                   std::span<const uint8_t> data) override {
        std::lock_guard lock(mutex);
        datagrams.emplace_back(data.begin(), data.end());
        cv.notify_all();
    }
    bool waitForDatagrams(size_t n) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(10), [&] { return datagrams.size() >= n; });
    }
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::vector<uint8_t>> datagrams;
};

std::vector<uint8_t> featureState(uint16_t feature, uint16_t op) {
    return {0,
            0,
            0,
            0,
            static_cast<uint8_t>(feature),
            static_cast<uint8_t>(feature >> 8),
            static_cast<uint8_t>(op),
            static_cast<uint8_t>(op >> 8),
            0x13,
            0,
            0,
            0,
            0};
}

// A frame for the client: one JPEG record of 1 x 1 whose JPEG could not be made (length 0).
const std::vector<uint8_t> kEmptyFrame = {0x20, 1, 0, 0, 0, 0, 0, 1, 0, 1, 0, 4, 0, 0, 0, 0};

struct UsbLink {
    DoubleFixture f;
    std::unique_ptr<refclient::Client> client;
    std::shared_ptr<QNBPeerTalkDeviceManager> manager;
    std::shared_ptr<Session> session = std::make_shared<Session>();
    std::shared_ptr<QNBPeerTalkNetSocket> stream, sideband, inSideband;

    explicit UsbLink(refclient::Config config = {}) {
        config.usb = true;
        config.usbDeviceId = 5;
        config.announce = false;
        client = std::make_unique<refclient::Client>(config);
        std::string error;
        EXPECT_TRUE(client->start(&error)) << error;
        manager = QNBPeerTalkDeviceManager::create();
        manager->startListeningForDevices();
        EXPECT_TRUE(pumpUntil([&] { return manager->hasDeviceID(5); }));
    }
    bool refclientSees(const std::function<bool(const refclient::Snapshot&)>& pred) {
        return pumpUntil([&] { return pred(client->snapshot()); });
    }
    // The wake-up: a datagram socket on 6005, the 47-byte hello, close.
    void wake() {
        auto wakeup = QNBPeerTalkNetSocket::initUDPWithPort(kUSBClientSidebandPort, 5, manager);
        wakeup->setTag("Wakeup Socket");
        ASSERT_TRUE(wakeup->connectToAddress(net::SocketAddress(), kUSBClientSidebandPort, nullptr));
        ASSERT_TRUE(wakeup->isConnected());
        auto hello = net::serverHandShakeMessage();
        ASSERT_TRUE(wakeup->sendDatagram(hello.data(), hello.size(), net::SocketAddress()));
        wakeup->close();
    }
    void connect() {
        stream = QNBPeerTalkNetSocket::initWithPort(kUSBMainDataTrafficPort, 5, manager);
        sideband = QNBPeerTalkNetSocket::initUDPWithPort(kUSBClientSidebandPort, 5, manager);
        inSideband = QNBPeerTalkNetSocket::initUDPWithPort(kUSBServerSidebandPort, 5, manager);
        for (auto& s : {stream, sideband, inSideband}) {
            s->setDelegate(session);
            ASSERT_TRUE(s->connectToAddress(net::SocketAddress(), s->port(), nullptr));
            ASSERT_TRUE(s->isConnected()) << s->description();
        }
    }
    // Reads on a worker while the main queue keeps being served.
    bool read(void* buffer, size_t length) {
        auto reading = std::async(std::launch::async, [&] { return stream->getClientBytes(buffer, length); });
        EXPECT_TRUE(pumpUntil(
            [&] { return reading.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
        return reading.get();
    }
    std::optional<net::QNClientHandshakeRecord> handshake() {
        uint8_t type = 0;
        if (!read(&type, 1) || type != 1) return std::nullopt;
        auto reading = std::async(std::launch::async, [&] {
            net::QNHandshakeReader reader(*stream);
            return reader.read();
        });
        EXPECT_TRUE(pumpUntil(
            [&] { return reading.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
        return reading.get();
    }
    ~UsbLink() {
        for (auto& s : {stream, sideband, inSideband})
            if (s) s->close();
        client->stop();
    }
};

} // namespace

TEST(UsbLinkAgreement, WakeUpHandshakeRecordsAndDatagramsAgreeWithTheReferenceClient) {
    UsbLink link;
    link.wake();
    ASSERT_TRUE(link.refclientSees([](const auto& s) { return s.invitations == 1; }));
    auto log = link.client->log();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& l) {
        return l.find("usb6005 invite") != std::string::npos;
    }));
    link.connect();
    auto record = link.handshake();
    ASSERT_TRUE(record);
    EXPECT_EQ(record->handshakeLength, 388u);
    EXPECT_EQ(record->handshake.deviceNameText(), "Ref");
    EXPECT_EQ(record->handshake.nominalWidth, 1024);
    uint8_t request = 0;
    ASSERT_TRUE(link.read(&request, 1));
    EXPECT_EQ(request, 0x20);
    // The session's first answers: the chosen resolution, an empty update, the feature states.
    auto resolution = net::QNResolutionMsg{800, 600, uint16_t(1)}.encode();
    ASSERT_TRUE(link.stream->sendBytes(resolution.data(), resolution.size()));
    auto empty = net::emptyUpdateMessage(3);
    ASSERT_TRUE(link.stream->sendBytes(empty.data(), empty.size()));
    for (uint16_t feature : {2, 1}) {
        auto state = featureState(feature, 1);
        ASSERT_TRUE(link.sideband->sendDatagram(state.data(), state.size(), net::SocketAddress()));
    }
    ASSERT_TRUE(link.refclientSees(
        [](const auto& s) { return s.resolutions == 1 && s.emptyUpdates == 1 && s.features.size() == 2; }));
    auto snapshot = link.client->snapshot();
    EXPECT_EQ(snapshot.lastResolution->width, 800);
    EXPECT_EQ(snapshot.lastResolution->requestNumber, 1);
    EXPECT_TRUE(snapshot.protocolErrors.empty());
    log = link.client->log();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& l) {
        return l.find("usb6004 resolution") != std::string::npos;
    }));
    // A tap from the device reaches the session through its in-sideband socket.
    link.client->send(refclient::datagram::tap(0, 10, 20));
    ASSERT_TRUE(link.session->waitForDatagrams(1));
    EXPECT_EQ(link.session->datagrams[0], refclient::datagram::tap(0, 10, 20));
}

// A display left of the main one puts the cursor at negative x: the device reads the position
// signed over USB as over the network.
TEST(UsbLinkAgreement, ANegativeCursorPositionIsReadSigned) {
    UsbLink link;
    link.connect();
    const int16_t x = -1341, y = -7;
    const std::vector<uint8_t> cursor = {
        uint8_t(x), uint8_t(uint16_t(x) >> 8), uint8_t(y), uint8_t(uint16_t(y) >> 8), 1, 0, 0, 0, 2, 0, 0, 0,
        0};
    ASSERT_TRUE(link.sideband->sendDatagram(cursor.data(), cursor.size(), net::SocketAddress()));
    ASSERT_TRUE(link.refclientSees([](const auto& s) { return s.cursor.haveDatagram; }));
    EXPECT_EQ(link.client->snapshot().cursor.x, -1341);
    auto log = link.client->log();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& l) {
        return l.find("usb6005 cursor x=-1341 y=-7 visible=1") != std::string::npos;
    }));
}

class UsbLinkFrameFault : public ::testing::TestWithParam<const char*> {};

TEST_P(UsbLinkFrameFault, IsRefusedAsDecided) {
    std::string kind = GetParam();
    refclient::Config config;
    config.usbFrameFault = kind;
    platform::LogCapture log(true);
    UsbLink link(config);
    link.connect();
    ASSERT_TRUE(link.handshake());
    uint8_t byte = 0;
    ASSERT_TRUE(link.read(&byte, 1)); // the first update request
    ASSERT_TRUE(link.stream->sendBytes(kEmptyFrame.data(), kEmptyFrame.size()));
    // The client answers the frame with a request and sends its bad frame.
    bool brokenStream = kind == "version2" || kind == "huge";
    if (brokenStream) {
        ASSERT_TRUE(pumpUntil([&] { return !link.stream->isOpen(); })) << kind;
        EXPECT_FALSE(link.read(&byte, 1));
        return;
    }
    ASSERT_TRUE(link.read(&byte, 1)) << kind;
    EXPECT_EQ(byte, 0x20) << kind << ": the next byte read is the client's request";
    // The link still carries datagrams both ways.
    link.client->send(refclient::datagram::tap(0, 1, 2));
    ASSERT_TRUE(link.session->waitForDatagrams(1)) << kind;
    EXPECT_EQ(link.session->datagrams.back()[0], 2);
    EXPECT_TRUE(link.stream->isOpen());
    if (kind == "short101" || kind == "long101") {
        EXPECT_TRUE(log.contains("a datagram frame of")) << kind;
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, UsbLinkFrameFault,
                         ::testing::Values("version2", "zero100", "short101", "long101", "huge", "type99",
                                           "type102"));

TEST(UsbLinkAgreement, ADetachFailsPendingReads) {
    refclient::Config config;
    config.usbDetachAfterFrames = 1;
    UsbLink link(config);
    link.connect();
    ASSERT_TRUE(link.handshake());
    uint8_t byte = 0;
    ASSERT_TRUE(link.read(&byte, 1));
    ASSERT_TRUE(link.stream->sendBytes(kEmptyFrame.data(), kEmptyFrame.size()));
    uint8_t more[64];
    EXPECT_FALSE(link.read(more, sizeof more)); // the device leaves: nothing more comes
    EXPECT_FALSE(link.stream->isOpen());
    ASSERT_TRUE(pumpUntil([&] { return !link.manager->hasDeviceID(5); }));
    EXPECT_EQ(link.client->waitForExit(), 0);
}

TEST(UsbLinkAgreement, ADeviceThatOffersItsPortsLateIsReachedByTheRetries) {
    refclient::Config config;
    config.usbListenDelay = 0.3; // refused with 3 until then; the link retries every second
    UsbLink link(config);
    auto stream = QNBPeerTalkNetSocket::initWithPort(kUSBMainDataTrafficPort, 5, link.manager);
    stream->connectToAddress(net::SocketAddress(), kUSBMainDataTrafficPort, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return stream->isConnected(); }));
    size_t connects = 0;
    for (const auto& r : link.f.muxd->requests())
        connects += r.messageType == "Connect" ? 1 : 0;
    EXPECT_GE(connects, 2u);
    link.stream = stream;
    ASSERT_TRUE(link.handshake());
}
