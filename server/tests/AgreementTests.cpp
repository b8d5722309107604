// The device's codec and the server's records, written apart, must agree byte for byte:
// what one side writes the other reads back with the same values, in both directions,
// record by record and then over real sockets on the protocol's ports.
#include "net/QNClientStreamReader.h"
#include "net/QNHandshakeReader.h"
#include "net/QNMessages.h"
#include "net/QNNetSocket.h"
#include "net/QNSessionMessageWriter.h"
#include "platform/core/Log.h"
#include "regions/ScreenUpdateRecords.h"
#include "regions/ScreenUpdateWriter.h"
#include "tools/refclient/Client.h"
#include "tools/refclient/ClientMessages.h"
#include "tools/refclient/PngFile.h"
#include "tools/refclient/SidebandDatagram.h"
#include "tools/refclient/tests/TestJpeg.h"

#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

using namespace refclient;

namespace {

const char* const kVersions[] = {"1.0.0", "1.1.0", "1.1.2", "2.0.0", "2.2.0", "2.9.9", "3.0.0", "3.0.1"};

// Every call the device's stream reader makes, as text.
class Recorder : public StreamHandler {
public:
    std::vector<std::string> events;
    void busyReceived(uint64_t id) override { events.push_back("busy " + std::to_string(id)); }
    void resolutionReceived(const ResolutionMessage& m) override {
        events.push_back("resolution " + std::to_string(m.width) + "x" + std::to_string(m.height) +
                         (m.requestNumber ? " req " + std::to_string(*m.requestNumber) : ""));
    }
    void updateBegan(uint8_t type, uint16_t count) override {
        events.push_back("update " + std::to_string(type) + " " + std::to_string(count));
    }
    void updateRecordReceived(const RectangleRecord& r, ByteView payload) override {
        events.push_back("rect " + std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.width) +
                         "x" + std::to_string(r.height) + " enc " + std::to_string(r.encoding) + " len " +
                         std::to_string(payload.size()));
    }
    void updateEnded() override { events.push_back("end"); }
    void multiDisplayReceived(uint16_t count) override { events.push_back("displays " + std::to_string(count)); }
    void systemInformationReceived(ByteView doc, bool ok) override {
        events.push_back("sysinfo " + std::string(doc.begin(), doc.end()) + (ok ? " ok" : " bad"));
    }
    void protocolError(const std::string& what, bool) override { events.push_back("error " + what); }
};

std::vector<std::string> readAs(const char* version, ByteView bytes) {
    Recorder r;
    StreamParser p(*ProtocolVersion::parse(version), r);
    p.feed(bytes);
    EXPECT_TRUE(p.idle()) << "bytes left over for " << version;
    return r.events;
}

template <typename Container> ByteView view(const Container& c) { return ByteView(c.data(), c.size()); }

net::QNProtocolVersionInfo serverVersion(const char* text) {
    auto v = *ProtocolVersion::parse(text);
    return {v.major, v.minor, v.sub, 0, 0, 0};
}

HandshakeFields richFields(const char* version) {
    Config c;
    c.protocol = *ProtocolVersion::parse(version);
    c.bindAddress = "127.0.0.9";
    c.name = "Ref \xC3\xA9";
    c.legacyMode = 5;
    c.nominalWidth = 1366;
    c.nominalHeight = 1024;
    c.requestNumber = 7;
    std::string error;
    for (const char* kv : {"encodingModes=0x10", "displaySizes=1024:768:2048:1536", "keyboardSupport=1",
                           "androidFlags=2", "retinaFlags=3", "iconHashCount=2", "gateletClientId=0x1122334455667788",
                           "displayDensity=264", "productType=4", "platformType=5", "otherFlags=9:8:7:6"}) {
        std::string_view s(kv);
        size_t eq = s.find('=');
        EXPECT_TRUE(c.caps.set(s.substr(0, eq), s.substr(eq + 1), error)) << error;
    }
    return c.handshakeFields();
}

void expectSameCapabilities(const net::QNCapabilities& s, const Capabilities& d) {
    EXPECT_EQ(s.encodingModes, d.encodingModes);
    EXPECT_TRUE(std::equal(s.displaySizes.begin(), s.displaySizes.end(), d.displaySizes.begin()));
    EXPECT_EQ(s.keyboardSupport, d.keyboardSupport);
    EXPECT_EQ(s.androidFlags, d.androidFlags);
    EXPECT_EQ(s.retinaFlags, d.retinaFlags);
    EXPECT_EQ(s.iconHashCount, d.iconHashCount);
    EXPECT_EQ(s.gateletClientId, d.gateletClientId);
    EXPECT_EQ(s.displayWidth, d.displayWidth);
    EXPECT_EQ(s.displayHeight, d.displayHeight);
    EXPECT_EQ(s.displayDensity, d.displayDensity);
    EXPECT_EQ(s.productType, d.productType);
    EXPECT_EQ(s.platformType, d.platformType);
    EXPECT_TRUE(std::equal(s.otherFlags.begin(), s.otherFlags.end(), d.otherFlags.begin()));
}

} // namespace

TEST(RefclientAgreement, ServerHelloIsTheInvitationBothWays) {
    auto hello = net::serverHandShakeMessage();
    EXPECT_EQ(Bytes(hello.begin(), hello.end()), invitationBytes());
    EXPECT_EQ(SidebandDatagram::classify(view(hello)).kind, SidebandDatagram::Kind::Invitation);
    auto decoded = net::QNServerHelloMsg::decode(invitationBytes());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->version, net::kServerProtocolVersion);
    EXPECT_EQ(decoded->value7, 3);
    EXPECT_EQ(decoded->value9, 2);
}

TEST(RefclientAgreement, HandshakeOfEveryVersionIsReadExactlyAsSent) {
    for (const char* version : kVersions) {
        SCOPED_TRACE(version);
        HandshakeFields f = richFields(version);
        Bytes sent = encodeHandshake(f);
        Bytes hashes = encodeIconHashes(f);
        sent.insert(sent.end(), hashes.begin(), hashes.end());
        ASSERT_EQ(sent.at(0), 1);
        size_t at = 1; // the stream reader has taken the type byte
        net::QNHandshakeReader reader([&](uint8_t* buffer, size_t length) {
            if (sent.size() - at < length) return false;
            std::memcpy(buffer, sent.data() + at, length);
            at += length;
            return true;
        });
        auto record = reader.read();
        ASSERT_TRUE(record);
        EXPECT_EQ(at, sent.size()); // every byte read, none asked beyond
        EXPECT_EQ(record->handshakeLength, handshakeLength(f.version));
        EXPECT_EQ(net::QNHandshakeReader::handshakeLength(f.version.major, f.version.minor, f.version.sub),
                  handshakeLength(f.version));
        const auto& h = record->handshake;
        EXPECT_EQ(h.majorversion, f.version.major);
        EXPECT_EQ(h.minorversion, f.version.minor);
        EXPECT_EQ(h.subversion, f.version.sub);
        EXPECT_EQ(h.legacyDisplayMode, f.legacyDisplayMode);
        bool caps = f.version.atLeast(1, 1, 0);
        if (caps) expectSameCapabilities(h.capabilities, f.capabilities);
        EXPECT_EQ(record->iconHashes.size(), caps ? 2u : 0u);
        for (size_t i = 0; i < record->iconHashes.size(); ++i)
            EXPECT_EQ(record->iconHashes[i], iconHash(static_cast<unsigned>(i)));
        EXPECT_EQ(h.nominalWidth, f.version.atLeast(1, 1, 2) ? 1366 : 0);
        EXPECT_EQ(h.numberOfDisplayRequests, f.version.atLeast(2, 0, 0) ? 7 : 0);
        if (f.version.atLeast(3, 0, 0)) {
            EXPECT_EQ(h.deviceNameText(), "Ref \xC3\xA9");
            EXPECT_EQ(h.deviceIdentifierText(), "refclient-127.0.0.9");
            EXPECT_EQ(h.devicePlatformText(), "iPad");
        }
        // And back: the server's whole record starts with exactly the bytes the device sent.
        auto whole = h.encode();
        size_t length = handshakeLength(f.version);
        EXPECT_TRUE(std::equal(sent.begin(), sent.begin() + static_cast<std::ptrdiff_t>(length), whole.begin()));
        auto mode = net::QNBScreenProtocolHelper::displayModeFromHandshakeUnion(h, serverVersion(version));
        EXPECT_EQ(mode, f.version.atLeast(2, 3, 0) ? 0 : 5);
    }
}

TEST(RefclientAgreement, ClientMessagesAreTheServersRecords) {
    EXPECT_EQ(updateRequestMessage(), Bytes(net::kUpdateRequestMsg.begin(), net::kUpdateRequestMsg.end()));
    EXPECT_TRUE(net::QNClientHeartbeatMsg::decode(clientHeartbeatMessage()));
    auto heartbeat = net::QNClientHeartbeatMsg{}.encode();
    EXPECT_EQ(Bytes(heartbeat.begin(), heartbeat.end()), clientHeartbeatMessage());
    auto answer = net::QNBusyAnswer::decode(busyAnswerMessage(0x8877665544332211ull));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->clientId, 0x8877665544332211ull);
}

TEST(RefclientAgreement, ServerMessagesReadBackWithTheirValues) {
    auto busy = net::QNBusyMsg{0x0102030405060708ull}.encode();
    EXPECT_EQ(readAs("3.0.1", view(busy)), std::vector<std::string>{"busy 72623859790382856"});

    for (const char* version : kVersions) {
        SCOPED_TRACE(version);
        auto v = serverVersion(version);
        net::QNResolutionMsg m{1366, 1024, std::nullopt};
        if (net::clientReceivesRequestNumber(v)) m.requestNumber = 3;
        if (!net::clientReceivesResolution(v)) {
            EXPECT_FALSE(ProtocolVersion::parse(version)->atLeast(1, 1, 2));
            continue;
        }
        std::string expected = "resolution 1366x1024" + std::string(m.requestNumber ? " req 3" : "");
        EXPECT_EQ(readAs(version, m.encode()), std::vector<std::string>{expected});
    }

    EXPECT_EQ(readAs("3.0.1", net::emptyUpdateMessage(3)), (std::vector<std::string>{"update 32 0", "end"}));
    EXPECT_EQ(readAs("2.2.0", net::emptyUpdateMessage(2)),
              (std::vector<std::string>{"update 32 1", "rect 0,0 0x0 enc 4 len 0", "end"}));
    EXPECT_EQ(readAs("3.0.1", view(net::kServerHeartbeatMsg)),
              (std::vector<std::string>{"update 32 0", "end"}));
    EXPECT_EQ(readAs("3.0.1", view(net::multiDisplayMessage(2))), std::vector<std::string>{"displays 2"});
    EXPECT_EQ(readAs("3.0.1", view(net::multiDisplayMessage(0))), std::vector<std::string>{"displays 0"});

    std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\"?><si><os>10.12.6</os>"
                      "<release>16.7.0</release><revision>0</revision><clock>2.5 GHz</clock><cpus>4</cpus>"
                      "<memory>16 gb</memory><chipset>Intel HD Graphics</chipset></si>";
    auto info = net::systemInformationMessage(doc);
    ASSERT_TRUE(info);
    EXPECT_EQ(readAs("3.0.1", *info), std::vector<std::string>{"sysinfo " + doc + " ok"});
    // Too long for its length byte: the server sends no document, which the device accepts.
    EXPECT_FALSE(net::systemInformationMessage(doc + std::string(300, ' ')));
    EXPECT_EQ(readAs("3.0.1", *net::systemInformationMessage("")), std::vector<std::string>{"sysinfo  ok"});
}

TEST(RefclientAgreement, RectangleRecordsAgreeBothWays) {
    struct Case {
        cg::CGRect rect;
        uint8_t encoding;
        uint32_t length;
    } cases[] = {{cg::CGRectMake(0, 0, 1024, 768), 4, 50000},
                 {cg::CGRectMake(-5.7, 20.9, 3.2, 1), 2, 0},
                 {cg::CGRectMake(32767, -32768, 65535, 1), 3, 0xFFFFFFFFu}};
    for (const auto& c : cases) {
        auto serverRecord = regions::QNRectangleMsg::withRect(c.rect, c.encoding, c.length);
        auto bytes = serverRecord.encode();
        auto device = RectangleRecord::decode(view(bytes));
        ASSERT_TRUE(device);
        EXPECT_EQ(device->x, serverRecord.x);
        EXPECT_EQ(device->y, serverRecord.y);
        EXPECT_EQ(device->width, serverRecord.width);
        EXPECT_EQ(device->height, serverRecord.height);
        EXPECT_EQ(device->encoding, c.encoding);
        EXPECT_EQ(device->length, c.length);
        EXPECT_EQ(device->encode(), Bytes(bytes.begin(), bytes.end()));
    }

    // The cursor datagram: -5.7 on a display at the origin reads as -5, hidden.
    auto hidden =
        regions::cursorPositionRecord(cg::CGPointMake(-5.7, 20), false, cg::CGPointMake(0, 0)).encode();
    auto d = SidebandDatagram::classify(view(hidden));
    ASSERT_EQ(d.kind, SidebandDatagram::Kind::CursorPosition);
    EXPECT_EQ(d.record.x, -5);
    EXPECT_EQ(d.record.y, 20);
    EXPECT_FALSE(d.visible());
    auto shown =
        regions::cursorPositionRecord(cg::CGPointMake(110, 220), true, cg::CGPointMake(100, 200)).encode();
    d = SidebandDatagram::classify(view(shown));
    ASSERT_EQ(d.kind, SidebandDatagram::Kind::CursorPosition);
    EXPECT_EQ(d.record.x, 10);
    EXPECT_TRUE(d.visible());

    auto header = regions::QNScreenUpdateMsg{0x20, 1}.encode();
    auto image = regions::cursorImageRecord(cg::CGPointMake(3, 4), cg::CGSizeMake(16, 16), 5).encode();
    Bytes update(header.begin(), header.end());
    update.insert(update.end(), image.begin(), image.end());
    update.insert(update.end(), 5, 0xAA);
    EXPECT_EQ(readAs("3.0.1", update), (std::vector<std::string>{"update 32 1", "rect 3,4 16x16 enc 3 len 5", "end"}));
}

// ---- Over real sockets on the protocol's ports ----

namespace {

class ServerSide : public net::QNClientMessageHandler {
public:
    std::optional<net::QNClientHandshakeRecord> handshake;
    int requests = 0;
    int heartbeats = 0;
    void processClientHandshakeMsg(const net::QNClientHandshakeRecord& h) override { handshake = h; }
    void processClientHeartBeatMsg() override { ++heartbeats; }
    bool processUpdateRequestMsg() override {
        ++requests;
        return false;
    }
};

int listenOnStreamPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kServerStreamPort);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

TEST(RefclientAgreementOverSockets, ServerRecordsDriveTheDeviceAndItsAnswersReadBack) {
    platform::LogCapture quiet(true);
    int listener = listenOnStreamPort();
    ASSERT_GE(listener, 0) << "port 6001 is taken";
    Config config;
    config.bindAddress = "127.0.0.2";
    config.announce = false;
    config.nominalWidth = 64;
    config.nominalHeight = 48;
    config.caps.gateletClientId = 42;
    Client device(config);
    ASSERT_TRUE(device.start());

    auto sideband = net::QNNetSocket::initUDPClientWithFamily(AF_INET);
    ASSERT_TRUE(sideband);
    auto hello = net::serverHandShakeMessage();
    auto deviceAddress = net::SocketAddress::fromNumericHost("127.0.0.2", kDeviceSidebandPort);
    ASSERT_TRUE(sideband->sendDatagram(hello.data(), hello.size(), *deviceAddress));

    pollfd p{listener, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
    ::close(listener);
    auto stream = net::QNNetSocket::initWithSocket(fd);
    ASSERT_TRUE(stream);
    stream->setKnownClientAddr(net::SocketAddress(reinterpret_cast<sockaddr*>(&peer), peerLength));
    stream->setHasClientAddr(true);

    net::QNClientStreamReader reader(*stream);
    ServerSide side;
    ASSERT_EQ(reader.readMessage(side), net::QNClientStreamReader::Outcome::Continue);
    ASSERT_TRUE(side.handshake);
    EXPECT_EQ(side.handshake->handshake.deviceNameText(), "Ref");
    EXPECT_EQ(side.handshake->handshake.capabilities.gateletClientId, 42u);
    EXPECT_EQ(side.handshake->handshake.nominalWidth, 64);
    ASSERT_EQ(reader.readMessage(side), net::QNClientStreamReader::Outcome::Continue);
    EXPECT_EQ(side.requests, 1);

    net::QNSessionMessageWriter writer(*stream);
    auto v = side.handshake->handshake.version();
    ASSERT_TRUE(writer.sendResolution(64, 48, 1, v));
    ASSERT_TRUE(writer.sendSystemInformation("<?xml version=\"1.0\"?><si><os>10.12.6</os><release/><revision>0"
                                             "</revision><clock/><cpus>2</cpus><memory>8 gb</memory></si>"));
    Bytes jpeg = test::solidJpeg(16, 16, 0, 0, 250);
    regions::ScreenUpdateRecord rect{cg::CGRectMake(32, 16, 16, 16), regions::QNScreenEncodingJPG,
                                     view(jpeg)};
    ASSERT_TRUE(regions::sendScreenUpdate(*stream, regions::kScreenUpdateDesignation, std::span(&rect, 1)));
    ASSERT_EQ(reader.readMessage(side), net::QNClientStreamReader::Outcome::Continue); // the frame's request
    EXPECT_EQ(side.requests, 2);

    std::string error;
    auto png = encodePng(Picture(4, 3), error);
    ASSERT_TRUE(png) << error;
    ASSERT_TRUE(
        regions::sendCursorImageUpdate(*stream, cg::CGPointMake(1, 2), cg::CGSizeMake(4, 3), view(*png)));
    ASSERT_TRUE(regions::sendCursorPositionDatagram(*sideband, stream.get(), kDeviceSidebandPort,
                                                    cg::CGPointMake(12.5, 7), true, cg::CGPointMake(0, 0)));
    ASSERT_TRUE(writer.sendHeartbeat());
    ASSERT_TRUE(device.waitFor(
        [](const Snapshot& s) { return s.frames == 1 && s.emptyUpdates == 1 && s.cursor.haveImage && s.cursor.haveDatagram; },
        platform::seconds(5)));
    ASSERT_EQ(reader.readMessage(side), net::QNClientStreamReader::Outcome::Continue); // the empty answer
    EXPECT_EQ(side.requests, 3);

    Snapshot s = device.snapshot();
    EXPECT_TRUE(s.protocolErrors.empty());
    EXPECT_EQ(s.lastResolution->requestNumber, 1);
    EXPECT_TRUE(s.systemInformationOk);
    EXPECT_EQ(s.cursor.x, 12);
    EXPECT_EQ(s.cursor.hotX, 1);
    EXPECT_EQ(s.cursor.pngWidth, 4u);
    EXPECT_GT(device.picture().pixel(40, 24) & 0xFF, 0xF0u);
    EXPECT_EQ(device.picture().pixel(31, 24), 0u);

    // The device's heartbeat and busy answer, read by the server's side.
    device.sendStream(clientHeartbeatMessage());
    ASSERT_EQ(reader.readMessage(side), net::QNClientStreamReader::Outcome::Continue);
    EXPECT_EQ(side.heartbeats, 1);
    ASSERT_TRUE(writer.sendBusy(42));
    uint8_t answer[8];
    ASSERT_TRUE(stream->getClientBytes(answer, sizeof answer));
    EXPECT_EQ(net::QNBusyAnswer::decode(std::span<const uint8_t>(answer, 8))->clientId, 42u);
    device.stop();
    stream->close();
}
