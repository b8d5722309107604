#include "capture/QNNetOutboundRTPSocket.h"
#include "capture/tests/RTPReceiver.h"

#include "net/QNClientStreamReader.h"
#include "net/QNHandshakeReader.h"

#include "platform/core/Log.h"

#include <gtest/gtest.h>

#include <chrono>
#include <numeric>

using capture::QNNetOutboundRTPSocket;
using capture::QNNetRTPBroadcastSocket;
using capture::RTPSocketConfig;
using namespace capture::testing;

namespace {

std::vector<uint8_t> pattern(size_t length, uint8_t seed) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

void sendFrame(QNNetOutboundRTPSocket& socket, const std::vector<uint8_t>& frame) {
    if (!frame.empty()) socket.sendBytes(frame.data(), frame.size());
    socket.endRTPPacketWithDelay(false);
}

class QNNetOutboundRTPSocketTest : public ::testing::Test {
  protected:
    RTPSocketConfig config() {
        RTPSocketConfig c;
        c.rtcpReportIntervalMs = 5000;
        return c;
    }
    std::vector<RTPPacket> receiveFrame(RTPReceiver& receiver, size_t packets) {
        std::vector<RTPPacket> out;
        for (size_t i = 0; i < packets; ++i) {
            auto p = receiver.nextPacket();
            if (!p) break;
            out.push_back(*p);
        }
        return out;
    }
    platform::LogCapture log{true};
};

} // namespace

TEST_F(QNNetOutboundRTPSocketTest, ServesTheWholeHandshakeThenUpdateRequests) {
    auto socket = QNNetOutboundRTPSocket::create(config());
    EXPECT_TRUE(log.contains("!!!DISPLAY MODE SIZE: 0"));
    EXPECT_TRUE(socket->isConnected());
    EXPECT_FALSE(socket->hasClientAddr());
    uint8_t type = 0;
    ASSERT_TRUE(socket->getClientBytes(&type, 1));
    EXPECT_EQ(type, 1);
    // The session's reader takes 4, 100, 4, 2 and then the 277 bytes a 3.0.1 client sends.
    auto record = net::QNHandshakeReader(*socket).read();
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->handshakeLength, net::QNClientHandshake::kSize);
    EXPECT_EQ(record->handshake.majorversion, 3);
    EXPECT_EQ(record->handshake.minorversion, 0);
    EXPECT_EQ(record->handshake.subversion, 1);
    EXPECT_EQ(record->handshake.capabilities.encodingModes, 122u);
    EXPECT_EQ(record->handshake.nominalWidth, 1024);
    EXPECT_EQ(record->handshake.nominalHeight, 768);
    EXPECT_EQ(record->handshake.numberOfDisplayRequests, 0);
    EXPECT_EQ(socket->state(), QNNetOutboundRTPSocket::Running);
    for (int i = 0; i < 3; ++i) {
        uint8_t request = 0;
        ASSERT_TRUE(socket->getClientBytes(&request, 1));
        EXPECT_EQ(request, 0x20);
    }
    EXPECT_GE(socket->timerTicks(), 3u); // each request waited for a tick of the RTP timer
    EXPECT_TRUE(socket->getClientBytes(nullptr, 0));
    uint8_t two[2];
    EXPECT_FALSE(socket->getClientBytes(two, 2));
    EXPECT_TRUE(log.contains("Server requested a suprise number of 2 bytes"));
    socket->close();
    EXPECT_EQ(socket->state(), QNNetOutboundRTPSocket::Closed);
    EXPECT_TRUE(socket->getClientBytes(two, 2));
}

TEST_F(QNNetOutboundRTPSocketTest, HandshakeBytesAreTheLegacyRecordThenZeros) {
    auto bytes = QNNetOutboundRTPSocket::handshakeBytes();
    EXPECT_EQ(bytes[0], 1);
    EXPECT_TRUE(std::all_of(bytes.begin() + net::QNClientHandshake::kLegacySize, bytes.end(),
                            [](uint8_t b) { return b == 0; }));
}

TEST_F(QNNetOutboundRTPSocketTest, ReadsPastTheHandshakeFail) {
    auto socket = QNNetOutboundRTPSocket::create(config());
    std::vector<uint8_t> buffer(400);
    ASSERT_TRUE(socket->getClientBytes(buffer.data(), 0));
    ASSERT_TRUE(socket->getClientBytes(buffer.data(), 300));
    EXPECT_FALSE(socket->getClientBytes(buffer.data(), 89));
    EXPECT_TRUE(log.contains("Server requested a suprise number of 89 bytes"));
    EXPECT_EQ(socket->state(), QNNetOutboundRTPSocket::Running);

    auto whole = QNNetOutboundRTPSocket::create(config());
    EXPECT_FALSE(whole->getClientBytes(buffer.data(), 389));
    auto exact = QNNetOutboundRTPSocket::create(config());
    EXPECT_TRUE(exact->getClientBytes(buffer.data(), 388));
    EXPECT_EQ(exact->state(), QNNetOutboundRTPSocket::Running);
}

TEST_F(QNNetOutboundRTPSocketTest, BeginRTPPacketAppendsTheSixtyOneByteBlock) {
    auto socket = QNNetOutboundRTPSocket::create(config());
    std::array<uint8_t, 47> record{1, 3, 0, 1, 1, 0, 0, 0, 3, 0, 1};
    std::array<uint8_t, 11> resolution{16, 0, 0, 0, 0, 0x04, 0x00, 0x03, 0x00, 0, 0};
    socket->beginRTPPacket(record, resolution);
    socket->sendBytes("ab", 2);
    auto packets = socket->outboundPackets();
    ASSERT_EQ(packets.size(), 2u);
    ASSERT_EQ(packets[0].size(), 61u);
    EXPECT_EQ(packets[0][0], 0x79);
    EXPECT_EQ(packets[0][1], 61);
    EXPECT_EQ(packets[0][2], 0);
    EXPECT_TRUE(std::equal(record.begin(), record.end(), packets[0].begin() + 3));
    EXPECT_TRUE(std::equal(resolution.begin(), resolution.end(), packets[0].begin() + 50));
    EXPECT_EQ(packets[1], (std::vector<uint8_t>{'a', 'b'}));
}

// 6001 bytes: {0, 2} + 6000 with the marker, {1, 2} + 1 without; one timestamp per frame.
TEST_F(QNNetOutboundRTPSocketTest, FramesReachBothReceivers) {
    RTPReceiver first("127.0.0.20"), second("127.0.0.21");
    auto socket = QNNetOutboundRTPSocket::create(config());
    const auto frame = pattern(6001, 3);
    sendFrame(*socket, frame);
    EXPECT_TRUE(socket->outboundPackets().empty());
    uint32_t timestamp = 0, ssrc = 0;
    for (RTPReceiver* receiver : {&first, &second}) {
        auto packets = receiveFrame(*receiver, 2);
        ASSERT_EQ(packets.size(), 2u);
        for (const RTPPacket& p : packets) {
            EXPECT_EQ(p.version, 2);
            EXPECT_EQ(p.payloadType, 125);
        }
        EXPECT_TRUE(packets[0].marker);
        EXPECT_FALSE(packets[1].marker);
        EXPECT_EQ(packets[0].timestamp, packets[1].timestamp);
        EXPECT_EQ(packets[0].ssrc, packets[1].ssrc);
        EXPECT_EQ(static_cast<uint16_t>(packets[0].sequence + 1), packets[1].sequence);
        ASSERT_EQ(packets[0].payload.size(), 6002u);
        ASSERT_EQ(packets[1].payload.size(), 3u);
        EXPECT_EQ(packets[0].payload[0], 0);
        EXPECT_EQ(packets[0].payload[1], 2);
        EXPECT_EQ(packets[1].payload[0], 1);
        EXPECT_EQ(packets[1].payload[1], 2);
        std::vector<uint8_t> joined(packets[0].payload.begin() + 2, packets[0].payload.end());
        joined.insert(joined.end(), packets[1].payload.begin() + 2, packets[1].payload.end());
        EXPECT_EQ(joined, frame);
        if (receiver == &first) {
            timestamp = packets[0].timestamp;
            ssrc = packets[0].ssrc;
        } else {
            EXPECT_EQ(packets[0].timestamp, timestamp);
            EXPECT_EQ(packets[0].ssrc, ssrc);
        }
    }
    // Multiples of 6000 bytes advance the timestamp too.
    sendFrame(*socket, pattern(12000, 9));
    sendFrame(*socket, pattern(10, 1));
    auto twelve = receiveFrame(first, 2);
    auto ten = receiveFrame(first, 1);
    ASSERT_EQ(twelve.size(), 2u);
    ASSERT_EQ(ten.size(), 1u);
    EXPECT_EQ(twelve[0].timestamp, timestamp + 50000);
    EXPECT_EQ(twelve[1].timestamp, timestamp + 50000);
    EXPECT_EQ(twelve[1].payload.size(), 6002u);
    EXPECT_EQ(ten[0].timestamp, timestamp + 100000);
    EXPECT_EQ(ten[0].ssrc, ssrc);
}

TEST_F(QNNetOutboundRTPSocketTest, FrameSizesAtTheEdges) {
    RTPReceiver first("127.0.0.20"), second("127.0.0.21");
    auto socket = QNNetOutboundRTPSocket::create(config());
    sendFrame(*socket, {}); // nothing to send
    sendFrame(*socket, pattern(6000, 1));
    auto one = receiveFrame(first, 1);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_TRUE(one[0].marker);
    EXPECT_EQ(one[0].payload[0], 0);
    EXPECT_EQ(one[0].payload[1], 1);
    EXPECT_EQ(one[0].payload.size(), 6002u);

    sendFrame(*socket, pattern(1530000, 2));
    auto most = receiveFrame(first, 255);
    ASSERT_EQ(most.size(), 255u);
    EXPECT_EQ(most[254].payload[0], 254);
    EXPECT_EQ(most[254].payload[1], 255);
    EXPECT_EQ(most[254].timestamp, one[0].timestamp + 50000);
}

// A frame of more than 255 packets cannot say so in its one-byte count: it is not sent.
TEST_F(QNNetOutboundRTPSocketTest, OverlongFrameIsNotSent) {
    RTPReceiver first("127.0.0.20"), second("127.0.0.21");
    auto socket = QNNetOutboundRTPSocket::create(config());
    sendFrame(*socket, pattern(1530001, 4));
    EXPECT_TRUE(log.contains("RTP frame of 1530001 bytes needs 256 packets; not sent"));
    EXPECT_TRUE(socket->outboundPackets().empty());
    sendFrame(*socket, pattern(5, 5)); // the next frame is the first to arrive
    auto next = receiveFrame(first, 1);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].payload, (std::vector<uint8_t>{0, 1, 5, 12, 19, 26, 33}));
    EXPECT_FALSE(first.rtp.pending());
}

// The BYE reaches both receivers before they are removed; SR and SDES travel with it.
TEST_F(QNNetOutboundRTPSocketTest, CloseSendsByeToBothReceivers) {
    RTPReceiver first("127.0.0.20"), second("127.0.0.21");
    auto socket = QNNetOutboundRTPSocket::create(config());
    sendFrame(*socket, pattern(100, 1));
    socket->close();
    for (RTPReceiver* receiver : {&first, &second}) {
        auto report = receiver->nextReport([](const RTCPReport& r) { return r.bye; });
        ASSERT_TRUE(report.has_value());
        EXPECT_EQ(report->byeReason, "End transmission");
        EXPECT_TRUE(report->senderReport);
        EXPECT_NE(report->cname.find('@'), std::string::npos);
    }
    socket->close();                    // twice is harmless
    sendFrame(*socket, pattern(10, 1)); // nowhere to go
    EXPECT_EQ(socket->state(), QNNetOutboundRTPSocket::Closed);
}

TEST_F(QNNetOutboundRTPSocketTest, SenderReportsGoOutFromTheSendPath) {
    RTPReceiver first("127.0.0.20"), second("127.0.0.21");
    RTPSocketConfig c = config();
    c.rtcpReportIntervalMs = 1;
    auto socket = QNNetOutboundRTPSocket::create(c);
    std::optional<RTCPReport> reports[2];
    RTPReceiver* receivers[2] = {&first, &second};
    // A report goes out with a frame once its interval has passed on the RTP library's clock
    // (CLOCK_MONOTONIC, the steady clock), however many frames a fast build sends meanwhile: frames
    // go on until both receivers have one, each frame awaited at both and its report briefly.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!(reports[0] && reports[1])) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no sender report within 30 s";
        sendFrame(*socket, pattern(50, 1));
        for (int i = 0; i < 2; ++i) {
            ASSERT_TRUE(receivers[i]->nextPacket().has_value());
            while (!reports[i]) {
                auto datagram = receivers[i]->rtcp.receive(std::chrono::milliseconds(5));
                if (!datagram) break;
                RTCPReport r = parseRTCP(*datagram);
                if (r.senderReport && !r.cname.empty()) reports[i] = r;
            }
        }
    }
    ASSERT_TRUE(reports[0].has_value());
    ASSERT_TRUE(reports[1].has_value());
    EXPECT_EQ(reports[0]->cname, reports[1]->cname);
    EXPECT_FALSE(reports[0]->bye);
}

TEST_F(QNNetOutboundRTPSocketTest, HostileDatagramsAtTheRTCPPortAreIgnored) {
    RTPReceiver first("127.0.0.20"), second("127.0.0.21");
    auto socket = QNNetOutboundRTPSocket::create(config());
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(8001);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    std::vector<std::vector<uint8_t>> hostile{pattern(1, 0x80),
                                              pattern(200, 0x81),
                                              std::vector<uint8_t>(65507, 0x81),
                                              {0x81, 200, 0xFF, 0xFF, 1, 2, 3, 4},
                                              {0x80, 203, 0, 0}};
    for (const auto& d : hostile)
        ::sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::close(fd);
    for (int i = 0; i < 3; ++i) {
        sendFrame(*socket, pattern(7000, 1));
        ASSERT_EQ(receiveFrame(first, 2).size(), 2u);
    }
}

namespace {
struct AcceptingDelegate : net::QNNetSocketDelegate {
    void acceptedNewClientSocket(const std::shared_ptr<net::QNNetSocketProtocol>& socket) override {
        accepted.push_back(socket);
    }
    std::vector<std::shared_ptr<net::QNNetSocketProtocol>> accepted;
};
} // namespace

TEST_F(QNNetOutboundRTPSocketTest, BroadcastSocketHandsOneOutboundSocketToItsDelegate) {
    auto delegate = std::make_shared<AcceptingDelegate>();
    auto broadcast = std::make_shared<QNNetRTPBroadcastSocket>(config());
    EXPECT_TRUE(broadcast->isOpen());
    EXPECT_TRUE(broadcast->listenOnPort(6001, delegate, nullptr));
    ASSERT_EQ(delegate->accepted.size(), 1u);
    auto outbound = std::dynamic_pointer_cast<QNNetOutboundRTPSocket>(delegate->accepted[0]);
    ASSERT_NE(outbound, nullptr);
    EXPECT_EQ(outbound->activeHosts().size(), 2u);
    EXPECT_EQ(broadcast->delegate(), delegate);
    outbound->close();
}
