// The client against a scripted server on loopback sockets.
#include "platform/core/Log.h"
#include "tools/refclient/Client.h"
#include "tools/refclient/PngFile.h"
#include "tools/refclient/SidebandDatagram.h"
#include "tools/refclient/tests/FakeServer.h"
#include "tools/refclient/tests/TestJpeg.h"

#include <algorithm>
#include <fstream>
#include <gtest/gtest.h>

using namespace refclient;
using namespace refclient::test;

namespace {

const auto kWait = platform::seconds(5);
const std::string kClientIp = "127.0.0.2";

Bytes resolution(uint16_t w, uint16_t h, std::optional<uint16_t> req) {
    ByteWriter s;
    s.u8(0x10).u32(0).u16(w).u16(h);
    if (req) s.u16(*req);
    return s.take();
}

Bytes frame(int16_t x, int16_t y, uint16_t w, uint16_t h, ByteView jpeg) {
    ByteWriter s;
    s.u8(0x20).u16(1).i16(x).i16(y).u16(w).u16(h).u8(4).u32(static_cast<uint32_t>(jpeg.size())).bytes(jpeg);
    return s.take();
}

const Bytes kEmptyUpdate = {0x20, 0x00, 0x00};
const Bytes kRequest = {0x20};

bool logHas(const Client& c, const std::string& text) {
    auto lines = c.log();
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

// A client invited by the fake server and past its handshake and first request.
class RefclientSession : public ::testing::Test {
protected:
    void connect(Config config, size_t handshakeBytes = 388) {
        m_client = std::make_unique<Client>(std::move(config));
        std::string error;
        ASSERT_TRUE(m_client->start(&error)) << error;
        m_server.invite(kClientIp, m_client->snapshot().sidebandPort, invitationBytes());
        ASSERT_TRUE(m_server.accept());
        EXPECT_EQ(m_server.peerIp(), kClientIp);
        m_handshake = m_server.read(handshakeBytes).value_or(Bytes());
        ASSERT_EQ(m_handshake.size(), handshakeBytes);
        ASSERT_EQ(m_server.read(1), kRequest);
    }
    Client& client() { return *m_client; }
    bool waitFor(const std::function<bool(const Snapshot&)>& p) { return m_client->waitFor(p, kWait); }

    FakeServer m_server;
    std::unique_ptr<Client> m_client;
    Bytes m_handshake;
    platform::LogCapture m_quiet{true};
};

} // namespace

TEST_F(RefclientSession, InvitedClientHandshakesAndPaintsItsFirstFrame) {
    Config config = m_server.configFor(kClientIp);
    config.name = "Tablet";
    connect(config);
    EXPECT_EQ(m_handshake[0], 1);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&m_handshake[175])), "Tablet");

    // A second invitation while connected must not start a second connection.
    m_server.invite(kClientIp, client().snapshot().sidebandPort, invitationBytes());
    m_server.write(resolution(64, 48, 1));
    Bytes jpeg = solidJpeg(16, 16, 250, 0, 0);
    m_server.write(frame(16, 8, 16, 16, jpeg));
    ASSERT_EQ(m_server.read(1), kRequest); // a frame is answered at once
    ASSERT_TRUE(waitFor([](const Snapshot& s) { return s.frames == 1 && s.invitations == 2; }));
    Snapshot s = client().snapshot();
    EXPECT_EQ(s.sessions, 1u);
    EXPECT_TRUE(s.activated);
    EXPECT_EQ(s.lastResolution->requestNumber, 1);
    Picture p = client().picture();
    EXPECT_GT(p.pixel(20, 10) & 0xFF0000, 0xF00000u);
    EXPECT_EQ(p.pixel(15, 10), 0u);
    EXPECT_TRUE(logHas(client(), platform::format("rect x=16 y=8 w=16 h=16 enc=4 len=%u", jpeg.size())));
    EXPECT_TRUE(logHas(client(), "invite from=127.0.0.1 acted=0"));
}

TEST_F(RefclientSession, EmptyUpdatesAreAnsweredLaterAndCursorUpdatesNever) {
    connect(m_server.configFor(kClientIp));
    // A cursor image (a 1x1 PNG header is enough to size it) then an empty update.
    static const uint8_t kPng[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R',
                                   0,    0,   0,   2,   0,    0,    0,    3};
    ByteWriter cursor;
    cursor.u8(0x20).u16(1).i16(1).i16(2).u16(2).u16(3).u8(3).u32(sizeof kPng).bytes(kPng);
    m_server.write(cursor.bytes());
    m_server.write(kEmptyUpdate);
    ASSERT_EQ(m_server.read(1), kRequest);
    ASSERT_TRUE(waitFor([](const Snapshot& s) { return s.emptyUpdates == 1 && s.requestsSent == 2; }));
    Snapshot s = client().snapshot();
    EXPECT_EQ(s.cursorOnlyUpdates, 1u);
    EXPECT_EQ(s.frames, 0u);
    EXPECT_EQ(s.cursor.hotX, 1);
    EXPECT_EQ(s.cursor.pngWidth, 2u);
    EXPECT_EQ(s.cursor.pngHeight, 3u);
    ASSERT_TRUE(client().cursorImage());
    EXPECT_EQ(client().cursorImage()->png.size(), sizeof kPng);
}

TEST_F(RefclientSession, FeatureRequestsAreAnsweredWithTheOwnSetting) {
    Config config = m_server.configFor(kClientIp);
    config.keyboard = false;
    connect(config);
    uint16_t port = client().snapshot().sidebandPort;
    m_server.sendDatagram(kClientIp, port, Bytes{0, 0, 0, 0, 2, 0, 3, 0, 0x13, 0, 0, 0, 0}); // keyboard, request on
    m_server.sendDatagram(kClientIp, port, Bytes{0, 0, 0, 0, 1, 0, 3, 0, 0x13, 0, 0, 0, 0}); // touch, request on
    m_server.sendDatagram(kClientIp, port, Bytes{0, 0, 0, 0, 1, 0, 1, 0, 0x13, 0, 0, 0, 0}); // touch on: no answer
    auto keyboard = m_server.receiveDatagram();
    auto touch = m_server.receiveDatagram();
    ASSERT_TRUE(keyboard && touch);
    EXPECT_EQ(keyboard->bytes, (Bytes{9, 2, 0, 2, 0}));
    EXPECT_EQ(touch->bytes, (Bytes{9, 1, 0, 1, 0}));
    EXPECT_EQ(touch->fromIp, kClientIp);
    ASSERT_TRUE(waitFor([](const Snapshot& s) { return s.features.size() == 2 && s.features.at(1) == 1; }));
    // A visible cursor at (-5, 7).
    m_server.sendDatagram(kClientIp, port, Bytes{0xFB, 0xFF, 7, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0});
    ASSERT_TRUE(waitFor([](const Snapshot& s) { return s.cursor.haveDatagram; }));
    EXPECT_EQ(client().snapshot().cursor.x, -5);
    EXPECT_TRUE(client().snapshot().cursor.visible);
}

TEST_F(RefclientSession, ScriptedDatagramsFollowTheFirstFrameInOrder) {
    Config config = m_server.configFor(kClientIp);
    std::string error;
    for (const char* stepText : {"tap:0,10,20", "wait:1", "key:0,0,0,65", "raw:"})
        config.sends.push_back(*SendStep::parse(stepText, error));
    connect(config);
    m_server.write(frame(0, 0, 8, 8, solidJpeg(8, 8, 1, 2, 3)));
    auto tap = m_server.receiveDatagram();
    auto key = m_server.receiveDatagram();
    auto raw = m_server.receiveDatagram();
    ASSERT_TRUE(tap && key && raw);
    EXPECT_EQ(tap->bytes, datagram::tap(0, 10, 20));
    EXPECT_EQ(key->bytes, datagram::key(0, 0, 0, 65));
    EXPECT_TRUE(raw->bytes.empty());
    client().send(datagram::mouse(1, 3, 4));
    auto mouse = m_server.receiveDatagram();
    ASSERT_TRUE(mouse);
    EXPECT_EQ(mouse->bytes, datagram::mouse(1, 3, 4));
}

TEST_F(RefclientSession, OldClientGetsShortHandshakeAndItsEmptyForm) {
    Config config = m_server.configFor(kClientIp);
    config.protocol = *ProtocolVersion::parse("2.2.0");
    config.caps.iconHashCount = 2;
    connect(config, 111 + 32);
    m_server.write(resolution(32, 32, 0));
    ByteWriter empty;
    empty.u8(0x20).u16(1).zeros(8).u8(4).u32(0);
    m_server.write(empty.bytes());
    ASSERT_EQ(m_server.read(1), kRequest);
    Snapshot s = client().snapshot();
    EXPECT_EQ(s.emptyUpdates, 1u);
    EXPECT_EQ(s.frames, 0u);
    EXPECT_EQ(s.pictureWidth, 32);
}

TEST_F(RefclientSession, HostileBytesEndAStrictRunWithCodeOne) {
    connect(m_server.configFor(kClientIp));
    m_server.write(Bytes{0x99, 1, 2, 3});
    ASSERT_TRUE(waitFor([](const Snapshot& s) { return s.exitCode.has_value(); }));
    EXPECT_EQ(*client().snapshot().exitCode, 1);
    EXPECT_TRUE(logHas(client(), "protocol-error what=unknown%20message%20type%200x99"));
    EXPECT_TRUE(m_server.readsEndOfStream());
}

TEST_F(RefclientSession, LenientClientSurvivesHostileBytesAndDropsOnlyWhatCannotBeFramed) {
    Config config = m_server.configFor(kClientIp);
    config.lenient = true;
    connect(config);
    uint16_t port = client().snapshot().sidebandPort;
    m_server.sendDatagram(kClientIp, port, Bytes{1, 2, 3});                // odd length
    m_server.sendDatagram(kClientIp, port, Bytes(47, 0xEE));               // a false invitation
    m_server.write(frame(60, 40, 16, 16, solidJpeg(16, 16, 9, 9, 9)));     // outside the picture
    m_server.write(frame(0, 0, 8, 8, solidJpeg(16, 16, 9, 9, 9)));         // wrong size
    m_server.write(frame(0, 0, 8, 8, Bytes(300, 0x00)));                   // no JPEG at all
    ByteWriter badCursor;
    badCursor.u8(0x20).u16(1).zeros(8).u8(3).u32(4).u32(0xDEADBEEF);      // cursor that is no PNG
    m_server.write(badCursor.bytes());
    ASSERT_TRUE(waitFor([](const Snapshot& s) { return s.protocolErrors.size() >= 6; }));
    Snapshot s = client().snapshot();
    EXPECT_EQ(s.state, ClientState::Session);
    EXPECT_EQ(s.frames, 3u); // failed JPEGs still count as frames
    EXPECT_EQ(client().picture().pixel(0, 0), 0u);

    ByteWriter huge;
    huge.u8(0x20).u16(1).zeros(8).u8(4).u32(0xFFFFFFF0u);
    m_server.write(huge.bytes());
    ASSERT_TRUE(waitFor([](const Snapshot& s) { return s.state == ClientState::Idle; }));
    EXPECT_FALSE(client().snapshot().exitCode);
    EXPECT_TRUE(logHas(client(), "closed reason=protocol-error"));
}

// The record-log lines from the first one holding marker on, without their times.
std::vector<std::string> eventsFrom(const Client& c, const std::string& marker) {
    std::vector<std::string> events;
    for (const std::string& line : c.log()) {
        std::string event = line.substr(line.find(' ') + 1);
        if (events.empty() && event.find(marker) == std::string::npos) continue;
        events.push_back(event);
    }
    return events;
}

ByteWriter& jpegRecord(ByteWriter& w, int16_t x, int16_t y, uint16_t width, uint16_t height, ByteView jpeg) {
    return w.i16(x).i16(y).u16(width).u16(height).u8(4).u32(static_cast<uint32_t>(jpeg.size())).bytes(jpeg);
}

TEST_F(RefclientSession, RecordsDecodedSideBySideArePaintedAndLoggedInTheirOrder) {
    Config config = m_server.configFor(kClientIp);
    config.lenient = true;
    connect(config);
    m_server.write(resolution(64, 48, 1));
    // Overlapping rectangles (later ones paint over earlier ones), a JPEG that cannot be read,
    // a stream cursor position, a rectangle outside the picture, and a last small one.
    const Bytes red = solidJpeg(32, 32, 250, 0, 0), green = solidJpeg(32, 32, 0, 250, 0);
    const Bytes blue = solidJpeg(16, 16, 0, 0, 250), unreadable(200, 0x55);
    ByteWriter update;
    update.u8(0x20).u16(6);
    jpegRecord(update, 0, 0, 32, 32, red);
    jpegRecord(update, 16, 16, 32, 32, green);
    jpegRecord(update, 0, 32, 16, 16, unreadable);
    update.i16(5).i16(6).u16(1).u16(0).u8(2).u32(0);
    jpegRecord(update, 56, 40, 16, 16, blue);
    jpegRecord(update, 48, 0, 16, 16, blue);
    m_server.write(update.bytes());
    ASSERT_EQ(m_server.read(1), kRequest);
    ASSERT_TRUE(waitFor([](const Snapshot& s) { return s.frames == 1; }));

    Picture serial(64, 48);
    std::string error;
    ASSERT_TRUE(serial.paintJpeg(0, 0, 32, 32, red, error));
    ASSERT_TRUE(serial.paintJpeg(16, 16, 32, 32, green, error));
    ASSERT_TRUE(serial.paintJpeg(48, 0, 16, 16, blue, error));
    EXPECT_EQ(client().picture().pixels(), serial.pixels());

    auto events = eventsFrom(client(), "update count=6");
    ASSERT_GE(events.size(), 10u);
    const std::vector<std::string> expected = {
        "tcp update count=6",
        platform::format("tcp rect x=0 y=0 w=32 h=32 enc=4 len=%u", red.size()),
        platform::format("tcp rect x=16 y=16 w=32 h=32 enc=4 len=%u", green.size()),
        "tcp rect x=0 y=32 w=16 h=16 enc=4 len=200",
        "tcp protocol-error what=JPEG",
        "tcp rect x=5 y=6 w=1 h=0 enc=2 len=0",
        "tcp cursor x=5 y=6 visible=1",
        platform::format("tcp rect x=56 y=40 w=16 h=16 enc=4 len=%u", blue.size()),
        "tcp protocol-error what=rectangle",
        platform::format("tcp rect x=48 y=0 w=16 h=16 enc=4 len=%u", blue.size())};
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(events[i].rfind(expected[i], 0), 0u) << i << ": " << events[i];
}

TEST_F(RefclientSession, AStrictRunStopsAtTheFirstUnreadableRecordWhateverWasDecodedAfterIt) {
    connect(m_server.configFor(kClientIp));
    m_server.write(resolution(64, 48, 1));
    const Bytes red = solidJpeg(16, 16, 250, 0, 0);
    ByteWriter update;
    update.u8(0x20).u16(4);
    jpegRecord(update, 0, 0, 16, 16, red);
    jpegRecord(update, 16, 0, 16, 16, Bytes(100, 0x55));
    jpegRecord(update, 32, 0, 16, 16, red);
    jpegRecord(update, 48, 0, 16, 16, red);
    m_server.write(update.bytes());
    ASSERT_TRUE(waitFor([](const Snapshot& s) { return s.exitCode.has_value(); }));
    EXPECT_EQ(*client().snapshot().exitCode, 1);
    EXPECT_EQ(client().snapshot().frames, 0u);
    Picture p = client().picture();
    EXPECT_NE(p.pixel(4, 4), 0u);
    EXPECT_EQ(p.pixel(36, 4), 0u); // read, decoded, and never painted
    auto events = eventsFrom(client(), "update count=4");
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(events[1].rfind("tcp rect x=0 y=0", 0), 0u);
    EXPECT_EQ(events[2].rfind("tcp rect x=16 y=0", 0), 0u);
    EXPECT_EQ(events[3].rfind("tcp protocol-error", 0), 0u);
    for (const std::string& event : events)
        EXPECT_EQ(event.find("rect x=32"), std::string::npos) << event;
}

TEST_F(RefclientSession, ServerClosingMidMessageJustEndsTheSession) {
    Config config = m_server.configFor(kClientIp);
    config.once = true;
    connect(config);
    m_server.write(Bytes{0x20, 0x01, 0x00, 0x00, 0x00});
    m_server.closeConnection();
    ASSERT_TRUE(waitFor([](const Snapshot& s) { return s.exitCode.has_value(); }));
    EXPECT_EQ(*client().snapshot().exitCode, 0);
    EXPECT_TRUE(logHas(client(), "closed reason=eof"));
}

TEST_F(RefclientSession, BusyZeroUnderOnceEndsWithCodeFour) {
    Config config = m_server.configFor(kClientIp);
    config.once = true;
    connect(config);
    m_server.write(Bytes{0x02, 0, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(waitFor([](const Snapshot& s) { return s.exitCode.has_value(); }));
    EXPECT_EQ(*client().snapshot().exitCode, 4);
    EXPECT_EQ(client().snapshot().busyId, 0u);
}

TEST_F(RefclientSession, BusyWithOurIdIsAnsweredWithIt) {
    Config config = m_server.configFor(kClientIp);
    config.caps.gateletClientId = 0x0102030405060708ull;
    connect(config);
    ByteWriter busy;
    busy.u8(0x02).u64(0x0102030405060708ull);
    m_server.write(busy.bytes());
    EXPECT_EQ(m_server.read(8), (Bytes{8, 7, 6, 5, 4, 3, 2, 1}));
    busy = ByteWriter();
    busy.u8(0x02).u64(99);
    m_server.write(busy.bytes());
    EXPECT_TRUE(m_server.readsEndOfStream()); // not ours: the client leaves
}

TEST_F(RefclientSession, ExitAfterFramesEndsNormallyAndWritesThePicture) {
    Config config = m_server.configFor(kClientIp);
    config.exitAfterFrames = 1;
    config.pngPath = ::testing::TempDir() + "refclient-exit-after.png";
    std::remove(config.pngPath.c_str());
    connect(config);
    m_server.write(resolution(40, 30, 1));
    m_server.write(frame(0, 0, 8, 8, solidJpeg(8, 8, 0, 255, 0)));
    ASSERT_TRUE(waitFor([](const Snapshot& s) { return s.exitCode.has_value(); }));
    EXPECT_EQ(*client().snapshot().exitCode, 0);
    EXPECT_TRUE(m_server.readsEndOfStream());
    std::ifstream png(config.pngPath, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(png)), std::istreambuf_iterator<char>());
    EXPECT_EQ(pngSize(bytes), (std::pair<uint32_t, uint32_t>(40, 30)));
}

TEST_F(RefclientSession, HandshakeCutSendsOnlyThatManyBytes) {
    Config config = m_server.configFor(kClientIp);
    config.handshakeCut = 10;
    m_client = std::make_unique<Client>(config);
    ASSERT_TRUE(m_client->start());
    m_server.invite(kClientIp, m_client->snapshot().sidebandPort, invitationBytes());
    ASSERT_TRUE(m_server.accept());
    EXPECT_TRUE(m_server.read(10));
    EXPECT_TRUE(m_server.readsEndOfStream());
    ASSERT_TRUE(waitFor([](const Snapshot& s) { return s.exitCode.has_value(); }));
}

TEST(RefclientStart, UnusableBindAddressIsAnEnvironmentError) {
    platform::LogCapture quiet(true);
    Config config;
    config.announce = false;
    config.bindAddress = "not-an-address";
    Client client(config);
    std::string error;
    EXPECT_FALSE(client.start(&error));
    EXPECT_EQ(client.snapshot().exitCode, 2);

    Config taken = config;
    taken.bindAddress = "127.0.0.2";
    taken.sidebandPort = 0;
    Client first(taken);
    ASSERT_TRUE(first.start());
    taken.sidebandPort = first.snapshot().sidebandPort;
    Client second(taken);
    EXPECT_FALSE(second.start(&error));
    EXPECT_NE(error.find("cannot bind"), std::string::npos);
}

TEST_F(RefclientSession, SilentEndKeepsTheSocketAndReconnectsFromTheSameAddress) {
    Config config = m_server.configFor(kClientIp);
    config.exitAfterFrames = 1;
    config.endMode = EndMode::Silent;
    config.reconnectAfterSilent = 0.05;
    connect(config);
    m_server.write(frame(0, 0, 8, 8, solidJpeg(8, 8, 1, 2, 3)));
    ASSERT_TRUE(m_server.accept()); // the old connection is still open on the client's side
    EXPECT_EQ(m_server.peerIp(), kClientIp);
    EXPECT_TRUE(m_server.read(388));
    Snapshot s = client().snapshot();
    EXPECT_EQ(s.sessions, 2u);
    EXPECT_FALSE(s.exitCode);
}

TEST_F(RefclientSession, ResetEndModeAbortsTheConnection) {
    Config config = m_server.configFor(kClientIp);
    config.exitAfterFrames = 1;
    config.endMode = EndMode::Rst;
    connect(config);
    m_server.write(frame(0, 0, 8, 8, solidJpeg(8, 8, 1, 2, 3)));
    ASSERT_TRUE(waitFor([](const Snapshot& s) { return s.exitCode.has_value(); }));
    errno = 0;
    EXPECT_TRUE(m_server.readsEndOfStream());
    EXPECT_EQ(errno, ECONNRESET);
}
