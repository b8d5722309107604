// Golden bytes of every main-stream record, both ways, and the version rules.
#include "net/DisplayChangeRequest.h"
#include "net/QNClientHandshake.h"
#include "net/QNMessages.h"
#include "net/QNSessionMessageWriter.h"

#include "FakeSocket.h"

#include "platform/core/Log.h"

#include <gtest/gtest.h>

using namespace net;
using Bytes = std::vector<uint8_t>;

namespace {

template <typename Container> Bytes bytesOf(const Container& c) {
    return Bytes(c.begin(), c.end());
}

// A 388-byte handshake written out by hand, field by field at its documented offset.
Bytes goldenHandshake() {
    Bytes b(388, 0);
    b[0] = 1;
    b[1] = 3, b[2] = 0, b[3] = 1;
    b[4] = 0x07;                                        // legacy display mode
    b[5] = 0x44, b[6] = 0x33, b[7] = 0x22, b[8] = 0x11; // encodingModes
    b[9] = 0x00, b[10] = 0x04;                          // displaySizes[0] = 1024
    b[71] = 0x00, b[72] = 0x03;                         // displaySizes[31] = 768
    b[73] = 0x01, b[74] = 0x00;                         // keyboardSupport
    b[75] = 0x02, b[76] = 0x00;                         // androidFlags
    b[77] = 0x03, b[78] = 0x00;                         // retinaFlags
    b[79] = 0x02, b[80] = 0x00;                         // iconHashCount
    for (int i = 0; i < 8; ++i)
        b[81 + i] = uint8_t(0x81 + i);                          // gateletClientId
    b[89] = 0x00, b[90] = 0x08;                                 // displayWidth 2048
    b[91] = 0x00, b[92] = 0x06;                                 // displayHeight 1536
    b[93] = 0x84, b[94] = 0x00;                                 // displayDensity 132
    b[95] = 0x05;                                               // productType
    b[96] = 0x06;                                               // platformType
    b[97] = 0x01, b[103] = 0x04;                                // otherFlags[0], otherFlags[3]
    b[105] = 0x00, b[106] = 0x04;                               // nominalWidth 1024
    b[107] = 0x00, b[108] = 0x03;                               // nominalHeight 768
    b[109] = 0x02, b[110] = 0x00;                               // numberOfDisplayRequests
    b[127] = 0xFE, b[128] = 0xFF, b[129] = 0xFF, b[130] = 0xFF; // displayMode -2
    const std::string id = "dev-1", name = "Ref", platformName = "iPad";
    std::copy(id.begin(), id.end(), b.begin() + 131);
    std::copy(name.begin(), name.end(), b.begin() + 175);
    std::copy(platformName.begin(), platformName.end(), b.begin() + 255);
    return b;
}

QNClientHandshake goldenHandshakeFields() {
    QNClientHandshake h;
    h.majorversion = 3, h.minorversion = 0, h.subversion = 1;
    h.legacyDisplayMode = 7;
    h.capabilities.encodingModes = 0x11223344;
    h.capabilities.displaySizes[0] = 1024;
    h.capabilities.displaySizes[31] = 768;
    h.capabilities.keyboardSupport = 1;
    h.capabilities.androidFlags = 2;
    h.capabilities.retinaFlags = 3;
    h.capabilities.iconHashCount = 2;
    h.capabilities.gateletClientId = 0x8887868584838281ull;
    h.capabilities.displayWidth = 2048;
    h.capabilities.displayHeight = 1536;
    h.capabilities.displayDensity = 132;
    h.capabilities.productType = 5;
    h.capabilities.platformType = 6;
    h.capabilities.otherFlags = {1, 0, 0, 4};
    h.nominalWidth = 1024;
    h.nominalHeight = 768;
    h.numberOfDisplayRequests = 2;
    h.displayMode = -2;
    QNClientHandshake::setText(h.deviceIdentifier, "dev-1");
    QNClientHandshake::setText(h.deviceName, "Ref");
    QNClientHandshake::setText(h.devicePlatform, "iPad");
    return h;
}

} // namespace

TEST(WireRecords, ClientHandshakeGoldenBytesBothWays) {
    EXPECT_EQ(bytesOf(goldenHandshakeFields().encode()), goldenHandshake());
    auto decoded = QNClientHandshake::decode(goldenHandshake());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, goldenHandshakeFields());
    EXPECT_EQ(decoded->deviceIdentifierText(), "dev-1");
    EXPECT_EQ(decoded->deviceNameText(), "Ref");
    EXPECT_EQ(decoded->devicePlatformText(), "iPad");
    EXPECT_EQ(decoded->capabilities.gateletClientId, 0x8887868584838281ull);

    // Only the exact record length is a handshake.
    Bytes shortRecord(387, 0), longRecord(389, 0);
    EXPECT_FALSE(QNClientHandshake::decode(shortRecord));
    EXPECT_FALSE(QNClientHandshake::decode(longRecord));
}

TEST(WireRecords, CapabilitiesAreTheHundredBytesAtOffsetFive) {
    auto golden = goldenHandshake();
    auto caps = goldenHandshakeFields().capabilities.encode();
    EXPECT_EQ(bytesOf(caps), Bytes(golden.begin() + 5, golden.begin() + 105));
    EXPECT_FALSE(QNCapabilities::decode(Bytes(99, 0)));
    EXPECT_EQ(QNCapabilities::kGateletClientIdOffset + 5, 81u);
}

TEST(WireRecords, TextFieldsStopAtNulAndRefuseInvalidUTF8) {
    QNClientHandshake h;
    // A 44-byte field filled to the end with no NUL reads the whole width.
    h.deviceIdentifier.fill('a');
    EXPECT_EQ(h.deviceIdentifierText(), std::string(44, 'a'));
    // Invalid UTF-8 gives no text at all.
    h.deviceName = {};
    h.deviceName[0] = 0xC3, h.deviceName[1] = 0x28;
    EXPECT_EQ(h.deviceNameText(), std::nullopt);
    h.devicePlatform = {};
    h.devicePlatform[0] = 0xED, h.devicePlatform[1] = 0xA0, h.devicePlatform[2] = 0x80; // a surrogate
    EXPECT_EQ(h.devicePlatformText(), std::nullopt);
    // setText cuts at a character boundary so the NUL always fits: 31 bytes of "é" pairs
    // would split the sixteenth character, so 15 characters (30 bytes) remain.
    std::string accents;
    for (int i = 0; i < 20; ++i)
        accents += "\xC3\xA9";
    QNClientHandshake::setText(h.devicePlatform, accents);
    EXPECT_EQ(h.devicePlatformText()->size(), 30u);
    EXPECT_EQ(h.devicePlatform[31], 0);
}

TEST(WireRecords, ProtocolVersionRecordAndComparisons) {
    EXPECT_EQ(bytesOf(kServerProtocolVersion.encode()), (Bytes{3, 0, 1, 1, 0, 0}));
    EXPECT_EQ(QNProtocolVersionInfo::decode(Bytes{2, 9, 9, 1, 0, 0}),
              (QNProtocolVersionInfo{2, 9, 9, 1, 0, 0}));
    EXPECT_FALSE(QNProtocolVersionInfo::decode(Bytes{2, 9, 9}));

    EXPECT_EQ(QNVersionCompare(3, 0, 1, 3, 0, 1), 0);
    EXPECT_EQ(QNVersionCompare(2, 9, 9, 3, 0, 0), -1);
    EXPECT_EQ(QNVersionCompare(3, 0, 0, 2, 255, 255), 1);
    EXPECT_EQ(QNVersionCompare(1, 1, 2, 1, 1, 1), 1);

    EXPECT_TRUE(weSpeakProtocolVersion(3, 0, 1));
    EXPECT_TRUE(weSpeakProtocolVersion(2, 9, 9));
    EXPECT_FALSE(weSpeakProtocolVersion(3, 0, 2));
    EXPECT_FALSE(weSpeakProtocolVersion(3, 1, 0));

    QNProtocolVersionInfo v{1, 1, 2, 9, 9, 9}; // the required-version bytes never count
    EXPECT_TRUE(theySpeakProtocolVersion(v, 1, 1, 2));
    EXPECT_FALSE(theySpeakProtocolVersion(v, 1, 2, 0));
    QNClientHandshake h;
    h.majorversion = 2, h.minorversion = 0, h.subversion = 0;
    EXPECT_TRUE(handshakeSpeaksProtocolVersion(1, 1, 2, h));
    EXPECT_FALSE(handshakeSpeaksProtocolVersion(2, 0, 1, h));
}

TEST(WireRecords, DisplayModeLivesByVersion) {
    QNClientHandshake h;
    h.legacyDisplayMode = 9;
    h.displayMode = 0x12345;
    // Below 2.3 the u8 at offset 4; from 2.3 on the i32 at offset 127.
    EXPECT_EQ(QNBScreenProtocolHelper::displayModeFromHandshakeUnion(h, {2, 2, 0, 0, 0, 0}), 9);
    EXPECT_EQ(QNBScreenProtocolHelper::displayModeFromHandshakeUnion(h, {1, 9, 9, 0, 0, 0}), 9);
    EXPECT_EQ(QNBScreenProtocolHelper::displayModeFromHandshakeUnion(h, {2, 3, 0, 0, 0, 0}), 0x12345);
    EXPECT_EQ(QNBScreenProtocolHelper::displayModeFromHandshakeUnion(h, {3, 0, 1, 0, 0, 0}), 0x12345);

    QNBScreenProtocolHelper::setDisplayMode(0x1FF, h, {2, 2, 0, 0, 0, 0});
    EXPECT_EQ(h.legacyDisplayMode, 0xFF); // the low byte
    EXPECT_EQ(h.displayMode, 0x12345);
    QNBScreenProtocolHelper::setDisplayMode(0, h, {3, 0, 0, 0, 0, 0});
    EXPECT_EQ(h.displayMode, 0);
    EXPECT_EQ(h.encode()[127], 0);
    EXPECT_EQ(h.encode()[4], 0xFF);
}

TEST(WireRecords, ServerHelloIsFortySevenBytes) {
    Bytes golden{0x01, 0x03, 0x00, 0x01, 0x01, 0x00, 0x00, 0x03, 0x00, 0x02, 0x00};
    golden.resize(47, 0);
    EXPECT_EQ(bytesOf(serverHandShakeMessage()), golden);
    auto hello = QNServerHelloMsg::decode(golden);
    ASSERT_TRUE(hello);
    EXPECT_EQ(*hello, QNServerHelloMsg{});
    golden[46] = 1; // a non-zero tail is not a hello
    EXPECT_FALSE(QNServerHelloMsg::decode(golden));
    EXPECT_FALSE(QNServerHelloMsg::decode(Bytes(46, 0)));
}

TEST(WireRecords, BusyMessagesAndAnswers) {
    EXPECT_EQ(bytesOf(QNBusyMsg{0}.encode()), (Bytes{0x02, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(bytesOf(QNBusyMsg{0x0102030405060708ull}.encode()), (Bytes{0x02, 8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(QNBusyMsg::decode(Bytes{0x02, 8, 7, 6, 5, 4, 3, 2, 1})->attachedClientId,
              0x0102030405060708ull);
    EXPECT_FALSE(QNBusyMsg::decode(Bytes{0x03, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(QNBusyMsg::decode(Bytes{0x02, 0, 0}));

    EXPECT_EQ(bytesOf(QNBusyAnswer{0xAABBull}.encode()), (Bytes{0xBB, 0xAA, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(QNBusyAnswer::decode(Bytes{0xBB, 0xAA, 0, 0, 0, 0, 0, 0})->clientId, 0xAABBull);
    EXPECT_FALSE(QNBusyAnswer::decode(Bytes{0xBB, 0xAA}));

    EXPECT_EQ(bytesOf(QNClientHeartbeatMsg{}.encode()), (Bytes{0x04, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(QNClientHeartbeatMsg::decode(Bytes{0x04, 1, 2, 3, 4, 5, 6, 7, 8})); // body ignored
    EXPECT_FALSE(QNClientHeartbeatMsg::decode(Bytes{0x04, 0}));
}

TEST(WireRecords, ResolutionMessageHasTwoForms) {
    QNResolutionMsg shortForm{1024, 768, std::nullopt};
    QNResolutionMsg longForm{2732, 2048, 0};
    EXPECT_EQ(shortForm.encode(), (Bytes{0x10, 0, 0, 0, 0, 0x00, 0x04, 0x00, 0x03}));
    EXPECT_EQ(longForm.encode(), (Bytes{0x10, 0, 0, 0, 0, 0xAC, 0x0A, 0x00, 0x08, 0x00, 0x00}));
    EXPECT_EQ(QNResolutionMsg::decode(shortForm.encode()), shortForm);
    EXPECT_EQ(QNResolutionMsg::decode(Bytes{0x10, 0, 0, 0, 0, 1, 0, 2, 0, 7, 0})->requestNumber, 7);
    EXPECT_FALSE(QNResolutionMsg::decode(Bytes{0x10, 1, 0, 0, 0, 1, 0, 2, 0})); // the u32 must be 0
    EXPECT_FALSE(QNResolutionMsg::decode(Bytes{0x10, 0, 0, 0, 0, 1, 0, 2, 0, 7}));

    EXPECT_FALSE(clientReceivesResolution({1, 1, 1, 0, 0, 0}));
    EXPECT_TRUE(clientReceivesResolution({1, 1, 2, 0, 0, 0}));
    EXPECT_FALSE(clientReceivesRequestNumber({1, 9, 9, 0, 0, 0}));
    EXPECT_TRUE(clientReceivesRequestNumber({2, 0, 0, 0, 0, 0}));
}

TEST(WireRecords, EmptyUpdatesHeartbeatAndSmallMessages) {
    EXPECT_EQ(emptyUpdateMessage(3), (Bytes{0x20, 0, 0}));
    EXPECT_EQ(emptyUpdateMessage(4), (Bytes{0x20, 0, 0}));
    EXPECT_EQ(emptyUpdateMessage(2), (Bytes{0x20, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0}));
    EXPECT_EQ(emptyUpdateMessage(1).size(), 16u);
    EXPECT_EQ(bytesOf(kServerHeartbeatMsg), (Bytes{0x20, 0, 0}));
    EXPECT_EQ(bytesOf(kUpdateRequestMsg), (Bytes{0x20}));
    EXPECT_EQ(bytesOf(multiDisplayMessage(0)), (Bytes{0x25, 0, 0}));
    EXPECT_EQ(bytesOf(multiDisplayMessage(0x0102)), (Bytes{0x25, 0x02, 0x01}));
    EXPECT_EQ(bytesOf(applicationInfoBracketMessage(false)), (Bytes{0x27, 0}));
    EXPECT_EQ(bytesOf(applicationInfoBracketMessage(true)), (Bytes{0x27, 1}));
    EXPECT_EQ(NSStringFromMessageType(0x10), "QNResolutionMsg");
    EXPECT_EQ(NSStringFromMessageType(0x99), "unknown message type 0x99");
}

TEST(WireRecords, SystemInformationFitsItsLengthByteOrIsNotBuilt) {
    EXPECT_EQ(*systemInformationMessage("<a/>"), (Bytes{0x31, 4, '<', 'a', '/', '>'}));
    EXPECT_EQ(*systemInformationMessage(""), (Bytes{0x31, 0}));
    EXPECT_EQ(systemInformationMessage(std::string(255, 'x'))->size(), 257u);
    EXPECT_FALSE(systemInformationMessage(std::string(256, 'x')));
    EXPECT_EQ(parseSystemInformationMessage(Bytes{0x31, 2, 'h', 'i'}), "hi");
    EXPECT_FALSE(parseSystemInformationMessage(Bytes{0x31, 3, 'h', 'i'})); // cut document
    EXPECT_FALSE(parseSystemInformationMessage(Bytes{0x31}));
}

TEST(SessionMessageWriter, WritesWholeMessagesUnderTheSocketLock) {
    net::testing::FakeSocket socket;
    QNSessionMessageWriter writer(socket);
    EXPECT_TRUE(writer.sendBusy(0));
    EXPECT_TRUE(writer.sendHeartbeat());
    EXPECT_EQ(socket.written, (Bytes{0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0}));
    EXPECT_EQ(socket.lockedWrites, 2);
    socket.written.clear();
    EXPECT_TRUE(writer.sendServerHello());
    EXPECT_EQ(socket.written.size(), 47u);
}

TEST(SessionMessageWriter, ResolutionFollowsTheClientsVersion) {
    net::testing::FakeSocket socket;
    QNSessionMessageWriter writer(socket);
    EXPECT_TRUE(writer.sendResolution(800, 600, 5, {1, 1, 1, 0, 0, 0})); // none below 1.1.2
    EXPECT_TRUE(socket.written.empty());
    EXPECT_TRUE(writer.sendResolution(800, 600, 5, {1, 1, 2, 0, 0, 0}));
    EXPECT_EQ(socket.written.size(), 9u);
    socket.written.clear();
    EXPECT_TRUE(writer.sendResolution(800, 600, 5, {2, 0, 0, 0, 0, 0}));
    EXPECT_EQ(socket.written, (Bytes{0x10, 0, 0, 0, 0, 0x20, 0x03, 0x58, 0x02, 5, 0}));
}

TEST(SessionMessageWriter, OversizedSystemInformationGoesOutEmptyNotCut) {
    platform::LogCapture capture(true);
    net::testing::FakeSocket socket;
    QNSessionMessageWriter writer(socket);
    EXPECT_TRUE(writer.sendSystemInformation(std::string(300, 'x')));
    EXPECT_EQ(socket.written, (Bytes{0x31, 0}));
    EXPECT_TRUE(capture.contains("does not fit"));
    socket.failSends = true;
    EXPECT_FALSE(writer.sendEmptyUpdate(3));
}

TEST(DisplayChangeRequest, TakesOnlyWhatTheVersionSent) {
    auto h = goldenHandshakeFields();
    h.majorversion = 1, h.minorversion = 0, h.subversion = 0;
    auto old = DisplayChangeRequest::displayChangeRequestWithHandshakeUnion(h);
    EXPECT_EQ(old->displayMode(), 7);
    EXPECT_EQ(old->capabilities(), QNCapabilities{});
    EXPECT_EQ(old->nominalWidth(), 0);
    EXPECT_EQ(old->numberOfDisplayRequests(), 0);
    EXPECT_FALSE(old->isHostInitiated());

    h.minorversion = 1, h.subversion = 2;
    auto mid = DisplayChangeRequest::displayChangeRequestWithHandshakeUnion(h);
    EXPECT_EQ(mid->capabilities(), h.capabilities);
    EXPECT_EQ(mid->nominalWidth(), 1024);
    EXPECT_EQ(mid->nominalHeight(), 768);
    EXPECT_EQ(mid->numberOfDisplayRequests(), 0);

    h.majorversion = 3, h.minorversion = 0, h.subversion = 1;
    auto current = DisplayChangeRequest::displayChangeRequestWithHandshakeUnion(h);
    EXPECT_EQ(current->displayMode(), 7); // always the u8 at offset 4
    EXPECT_EQ(current->numberOfDisplayRequests(), 2);
}
