// The handshake reader against each version's exact byte count, truncated and hostile
// streams, and the client stream reader's dispatch.
#include "net/QNClientStreamReader.h"
#include "net/QNHandshakeReader.h"

#include "FakeSocket.h"

#include "platform/core/Log.h"

#include <gtest/gtest.h>

#include <random>

using namespace net;
using Bytes = std::vector<uint8_t>;

namespace {

struct VersionCase {
    uint8_t major, minor, sub;
    size_t recordLength; // type byte included
};

// The counts each version sends, as the clients in the field send them.
const VersionCase kVersionCases[] = {
    {0, 0, 0, 5},   {1, 0, 0, 5},   {1, 0, 9, 5},   {1, 1, 0, 105}, {1, 1, 1, 105},
    {1, 1, 2, 109}, {1, 9, 9, 109}, {2, 0, 0, 111}, {2, 2, 0, 111}, {2, 9, 9, 111},
    {3, 0, 0, 388}, {3, 0, 1, 388}, {9, 9, 9, 388},
};

// Bytes after the type byte: the version's record with a recognisable pattern, then the
// icon hashes when the capabilities were sent.
Bytes clientStream(const VersionCase& v, uint16_t hashCount, size_t trailing = 0) {
    Bytes b;
    b.push_back(v.major), b.push_back(v.minor), b.push_back(v.sub), b.push_back(0x2A);
    for (size_t offset = 5; offset < v.recordLength; ++offset)
        b.push_back(uint8_t(offset * 7));
    if (v.recordLength >= 105) {
        b[79 - 1] = uint8_t(hashCount & 0xFF); // iconHashCount at record offset 79
        b[80 - 1] = uint8_t(hashCount >> 8);
        for (size_t i = 0; i < hashCount * 16u; ++i)
            b.push_back(uint8_t(0xA0 + i % 16));
    }
    b.insert(b.end(), trailing, 0xEE);
    return b;
}

} // namespace

TEST(HandshakeReader, ReadsExactlyTheBytesEachVersionSends) {
    for (const auto& v : kVersionCases) {
        SCOPED_TRACE(::testing::Message() << int(v.major) << "." << int(v.minor) << "." << int(v.sub));
        EXPECT_EQ(QNHandshakeReader::handshakeLength(v.major, v.minor, v.sub), v.recordLength);
        const uint16_t hashes = v.recordLength >= 105 ? 3 : 0;
        net::testing::FakeSocket socket(clientStream(v, hashes, /*trailing*/ 10));
        auto record = QNHandshakeReader(socket).read();
        ASSERT_TRUE(record);
        EXPECT_EQ(record->handshakeLength, v.recordLength);
        EXPECT_EQ(socket.consumed, v.recordLength - 1 + hashes * 16u); // the trailing bytes stay
        EXPECT_EQ(socket.requested, socket.consumed);
        EXPECT_EQ(record->iconHashes.size(), hashes);
        EXPECT_EQ(record->handshake.majorversion, v.major);
        EXPECT_EQ(record->handshake.legacyDisplayMode, 0x2A);
        // Every field past what the version sent reads as zero.
        auto bytes = record->handshake.encode();
        for (size_t i = v.recordLength; i < bytes.size(); ++i)
            ASSERT_EQ(bytes[i], 0) << "offset " << i;
    }
}

TEST(HandshakeReader, VersionSpecificFieldsLandWhereTheyBelong) {
    // 2.9.9 sends 111 bytes: its display mode is the i32 at offset 127, which reads 0.
    net::testing::FakeSocket old(clientStream({2, 9, 9, 111}, 0));
    auto record = QNHandshakeReader(old).read();
    ASSERT_TRUE(record);
    EXPECT_EQ(record->handshake.displayMode, 0);
    EXPECT_EQ(record->handshake.numberOfDisplayRequests,
              uint16_t(109 * 7 & 0xFF) | uint16_t((110 * 7 & 0xFF) << 8));

    // 1.0.0 sends 5 bytes and no hashes, whatever follows on the stream.
    net::testing::FakeSocket oldest(Bytes{1, 0, 0, 3, 0xFF, 0xFF, 0xFF});
    record = QNHandshakeReader(oldest).read();
    ASSERT_TRUE(record);
    EXPECT_EQ(oldest.consumed, 4u);
    EXPECT_EQ(record->handshake.capabilities, QNCapabilities{});
    EXPECT_EQ(record->handshake.legacyDisplayMode, 3);
}

TEST(HandshakeReader, IconHashesFollowTheRecordInOrder) {
    auto stream = clientStream({3, 0, 1, 388}, 2);
    stream[387 + 5] = 0x55; // sixth byte of the first hash
    net::testing::FakeSocket socket(stream);
    auto record = QNHandshakeReader(socket).read();
    ASSERT_TRUE(record);
    ASSERT_EQ(record->iconHashes.size(), 2u);
    EXPECT_EQ(record->iconHashes[0][5], 0x55);
    EXPECT_EQ(record->iconHashes[1][0], 0xA0);
}

TEST(HandshakeReader, EveryTruncationIsAbandonedAtTheFirstFailedRead) {
    platform::LogCapture capture(true);
    for (const auto& v : {VersionCase{1, 1, 0, 105}, VersionCase{2, 0, 0, 111}, VersionCase{3, 0, 1, 388}}) {
        const Bytes full = clientStream(v, 2);
        for (size_t cut = 0; cut < full.size(); ++cut) {
            net::testing::FakeSocket socket(Bytes(full.begin(), full.begin() + cut));
            auto record = QNHandshakeReader(socket).read();
            ASSERT_FALSE(record) << "cut at " << cut;
            // It never asks beyond what the version implies, and stops asking at the failure.
            EXPECT_LE(socket.requested, full.size());
        }
    }
    EXPECT_TRUE(capture.contains("Client handshake abandoned"));
}

TEST(HandshakeReader, RandomStreamsNeverOverRead) {
    platform::LogCapture capture(true);
    std::mt19937 random(20240611);
    for (int round = 0; round < 3000; ++round) {
        Bytes stream(random() % 700);
        for (auto& b : stream)
            b = uint8_t(random());
        if (!stream.empty() && round % 2) stream[0] = uint8_t(random() % 4); // plausible majors too
        size_t expected = 0;
        if (stream.size() >= 3) {
            expected = QNHandshakeReader::handshakeLength(stream[0], stream[1], stream[2]) - 1;
            if (expected >= 104 && stream.size() >= 80) expected += 16u * (stream[78] | (stream[79] << 8));
        }
        net::testing::FakeSocket socket(stream);
        auto record = QNHandshakeReader(socket).read();
        if (stream.size() >= 4 && expected <= stream.size() && expected >= 4) {
            ASSERT_TRUE(record) << "round " << round;
            EXPECT_EQ(socket.consumed, expected);
            EXPECT_EQ(record->iconHashes.size(), record->handshake.capabilities.iconHashCount);
        } else {
            ASSERT_FALSE(record) << "round " << round;
        }
        EXPECT_LE(socket.consumed, stream.size());
    }
}

TEST(HandshakeReader, LargeHashCountIsReadOnlyAsFarAsTheStreamGoes) {
    platform::LogCapture capture(true);
    auto stream = clientStream({3, 0, 0, 388}, 0);
    stream[78] = 0xFF, stream[79] = 0xFF; // 65535 hashes announced, none sent
    net::testing::FakeSocket socket(stream);
    EXPECT_FALSE(QNHandshakeReader(socket).read());
    EXPECT_EQ(socket.requested, stream.size() + 16); // one hash asked for, then abandoned
    EXPECT_TRUE(capture.contains("icon hash 1 of 65535"));
}

namespace {

struct RecordingHandler : QNClientMessageHandler {
    std::vector<std::string> calls;
    bool stopOnUpdate = false;
    void processClientHandshakeMsg(const QNClientHandshakeRecord& r) override {
        calls.push_back("handshake " + std::to_string(r.handshakeLength));
    }
    void processClientHeartBeatMsg() override { calls.push_back("heartbeat"); }
    bool processUpdateRequestMsg() override {
        calls.push_back("update");
        return stopOnUpdate;
    }
    void unknownMessageType(uint8_t type) override { calls.push_back("unknown " + std::to_string(type)); }
};

} // namespace

TEST(ClientStreamReader, DispatchesEachMessageByItsTypeByte) {
    Bytes stream{0x77, 0x04, 1, 2, 3, 4, 5, 6, 7, 8, 0x20, 0x01, 1, 0, 0, 0, 0x20};
    net::testing::FakeSocket socket(stream);
    QNClientStreamReader reader(socket);
    RecordingHandler handler;
    using O = QNClientStreamReader::Outcome;
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(reader.readMessage(handler), O::Continue);
    EXPECT_EQ(handler.calls,
              (std::vector<std::string>{"unknown 119", "heartbeat", "update", "handshake 5", "update"}));
    EXPECT_EQ(reader.readMessage(handler), O::Failed); // end of stream
}

TEST(ClientStreamReader, StopsWhenAskedAndFailsOnHalfMessages) {
    RecordingHandler handler;
    handler.stopOnUpdate = true;
    net::testing::FakeSocket stopping(Bytes{0x20, 0x20});
    EXPECT_EQ(QNClientStreamReader(stopping).readMessage(handler), QNClientStreamReader::Outcome::Stop);

    platform::LogCapture capture(true);
    net::testing::FakeSocket cutHeartbeat(Bytes{0x04, 1, 2});
    EXPECT_EQ(QNClientStreamReader(cutHeartbeat).readMessage(handler), QNClientStreamReader::Outcome::Failed);
    net::testing::FakeSocket cutHandshake(Bytes{0x01, 3, 0, 1, 0, 9, 9});
    RecordingHandler fresh;
    EXPECT_EQ(QNClientStreamReader(cutHandshake).readMessage(fresh), QNClientStreamReader::Outcome::Failed);
    EXPECT_TRUE(fresh.calls.empty()); // nothing of a half-read handshake reaches the session
}
