#include "regions/ScreenUpdateWriter.h"

#include "regions/tests/RecordingSocket.h"

#include "net/ByteOrder.h"

#include "platform/core/Log.h"

#include <gtest/gtest.h>

#include <cmath>
#include <latch>
#include <thread>

using namespace regions;
using namespace cg;
using regions::testing::RecordingSocket;
using Bytes = std::vector<uint8_t>;

namespace {

template <size_t N> Bytes bytesOf(const std::array<uint8_t, N>& a) { return Bytes(a.begin(), a.end()); }

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

} // namespace

TEST(ScreenUpdateRecords, RectangleRecordGoldenBytes) {
    EXPECT_EQ(bytesOf(QNRectangleMsg::withRect(CGRectMake(0, 0, 1024, 768), QNScreenEncodingJPG, 50000).encode()),
              (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x03, 0x04, 0x50, 0xC3, 0x00, 0x00}));
    // Truncation toward zero, then the low 16 bits: -1.9 is -1, 65535 stays all ones.
    EXPECT_EQ(bytesOf(QNRectangleMsg::withRect(CGRectMake(-1.9, 300.7, 65535, 70000), 14, 0x01020304).encode()),
              (Bytes{0xFF, 0xFF, 0x2C, 0x01, 0xFF, 0xFF, 0x70, 0x11, 0x0E, 0x04, 0x03, 0x02, 0x01}));
    // A coordinate no 32-bit integer holds goes out as 0.
    EXPECT_EQ(QNRectangleMsg::withRect(CGRectMake(std::nan(""), 1e12, 1, 1), 4, 0).x, 0);
    EXPECT_EQ(QNRectangleMsg::withRect(CGRectMake(std::nan(""), 1e12, 1, 1), 4, 0).y, 0);
}

TEST(ScreenUpdateRecords, HeaderAndCursorRecordGoldenBytes) {
    EXPECT_EQ(bytesOf(QNScreenUpdateMsg{kScreenUpdateDesignation, 3}.encode()), (Bytes{0x20, 0x03, 0x00}));
    EXPECT_EQ(bytesOf(QNScreenUpdateMsg{kScreenUpdateWithAppInfoDesignation, 0x1234}.encode()), (Bytes{0x28, 0x34, 0x12}));

    EXPECT_EQ(bytesOf(cursorPositionRecord(CGPointMake(10, 20), false, CGPointZero).encode()),
              (Bytes{0x0A, 0x00, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(bytesOf(cursorPositionRecord(CGPointMake(1740, 200), false, CGPointMake(1440, 0)).encode()),
              (Bytes{0x2C, 0x01, 0xC8, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00}));
    const QNRectangleMsg left = cursorPositionRecord(CGPointMake(-5.7, 3.2), true, CGPointZero);
    EXPECT_EQ(left.x, -5); // FB FF
    EXPECT_EQ(left.y, 3);
    EXPECT_EQ(left.width, 1);
    // The location is narrowed to 16 bits before the origin is taken off: 70000 is 4464.
    EXPECT_EQ(cursorPositionRecord(CGPointMake(70000, 0), true, CGPointMake(4000.5, 0)).x, 463);
    // A display origin off the integers truncates once more after the subtraction.
    EXPECT_EQ(cursorPositionRecord(CGPointMake(100.9, 0), true, CGPointMake(0.5, 0)).x, 99);

    EXPECT_EQ(bytesOf(cursorImageRecord(CGPointMake(4.9, 5.2), CGSizeMake(32, 32), 900).encode()),
              (Bytes{0x04, 0x00, 0x05, 0x00, 0x20, 0x00, 0x20, 0x00, 0x03, 0x84, 0x03, 0x00, 0x00}));
}

TEST(ScreenUpdateWriter, AFrameOfThreeRectanglesInHeaderOrder) {
    RecordingSocket socket;
    const Bytes p1{1, 2, 3}, p2{}, p3{9, 9, 9, 9, 9};
    const ScreenUpdateRecord records[] = {{CGRectMake(0, 0, 10, 10), QNScreenEncodingJPG, p1},
                                          {CGRectMake(10, 0, 10, 10), QNScreenEncodingJPG, p2},
                                          {CGRectMake(0, 10, 20, 5), QNScreenEncodingJPG, p3}};
    ASSERT_TRUE(sendScreenUpdate(socket, kScreenUpdateDesignation, records));
    const Bytes stream = socket.stream();
    ASSERT_EQ(stream.size(), 3 + 3 * 13 + 3 + 0 + 5);
    EXPECT_EQ(stream, concat({{0x20, 0x03, 0x00},
                              bytesOf(QNRectangleMsg::withRect(records[0].rect, 4, 3).encode()), p1,
                              bytesOf(QNRectangleMsg::withRect(records[1].rect, 4, 0).encode()),
                              bytesOf(QNRectangleMsg::withRect(records[2].rect, 4, 5).encode()), p3}));
    for (const auto& write : socket.writes) {
        EXPECT_TRUE(write.lockHeld);
        EXPECT_EQ(write.withTimeout, write.bytes == p1 || write.bytes == p3); // payloads only
    }
}

TEST(ScreenUpdateWriter, RecordWithPayloadAndWithoutOne) {
    RecordingSocket socket;
    const Bytes jpeg(50000, 0xAB);
    ASSERT_TRUE(SendClientUpdateDataJPEG(socket, QNScreenEncodingJPG, 50000, jpeg.data(), CGRectMake(0, 0, 1024, 768)));
    ASSERT_EQ(socket.writes.size(), 2u);
    EXPECT_EQ(socket.writes[0].bytes,
              (Bytes{0x00, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x03, 0x04, 0x50, 0xC3, 0x00, 0x00}));
    EXPECT_EQ(socket.writes[1].bytes, jpeg);
    EXPECT_TRUE(socket.writes[1].withTimeout);

    // A payload that could not be made: the record must not promise bytes that never come.
    RecordingSocket empty;
    ASSERT_TRUE(SendClientUpdateDataJPEG(empty, QNScreenEncodingJPG, 1234, nullptr, CGRectMake(0, 0, 8, 8)));
    ASSERT_EQ(empty.writes.size(), 1u);
    EXPECT_EQ(net::LittleEndianReader(std::span<const uint8_t>(empty.writes[0].bytes).subspan(9)).u32(), 0u);
}

TEST(ScreenUpdateWriter, MultiDisplayAndApplicationBrackets) {
    RecordingSocket socket;
    ASSERT_TRUE(sendMultiDisplayMsg(socket, 2));
    ASSERT_TRUE(sendMultiDisplayMsg(socket, 0));
    ASSERT_TRUE(sendApplicationInfoBracket(socket, false));
    ASSERT_TRUE(sendApplicationInfoBracket(socket, true));
    EXPECT_EQ(socket.stream(), (Bytes{0x25, 0x02, 0x00, 0x25, 0x00, 0x00, 0x27, 0x00, 0x27, 0x01}));
    for (const auto& write : socket.writes) EXPECT_TRUE(write.lockHeld);
}

TEST(ScreenUpdateWriter, CursorImageUpdateAndStreamCursorPosition) {
    RecordingSocket socket;
    const Bytes png{0x89, 'P', 'N', 'G'};
    ASSERT_TRUE(sendCursorImageUpdate(socket, CGPointMake(3, 4), CGSizeMake(16, 24), png));
    EXPECT_EQ(socket.stream(), concat({{0x20, 0x01, 0x00},
                                       {0x03, 0x00, 0x04, 0x00, 0x10, 0x00, 0x18, 0x00, 0x03, 0x04, 0x00, 0x00, 0x00},
                                       png}));

    RecordingSocket stream;
    ASSERT_TRUE(sendCursorPositionUpdate(stream, CGPointMake(1740.8, -3.5), true));
    EXPECT_EQ(stream.stream(),
              (Bytes{0x20, 0x01, 0x00, 0xCC, 0x06, 0xFD, 0xFF, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00}));
}

TEST(ScreenUpdateWriter, CursorPositionGoesAsOneDatagramUnderTheSendersLock) {
    RecordingSocket sideband, client;
    ASSERT_TRUE(sendCursorPositionDatagram(sideband, &client, 6000, CGPointMake(10, 20), false, CGPointZero));
    ASSERT_EQ(sideband.datagrams.size(), 1u);
    EXPECT_EQ(sideband.datagrams[0].bytes,
              (Bytes{0x0A, 0x00, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(sideband.datagrams[0].clientSocket, &client);
    EXPECT_EQ(sideband.datagrams[0].port, 6000);
    EXPECT_TRUE(sideband.datagrams[0].lockHeld);
    EXPECT_TRUE(sideband.writes.empty());
}

TEST(ScreenUpdateWriter, OversizedUpdatesAreRefusedBeforeAnyByte) {
    platform::LogCapture capture(true);
    RecordingSocket socket;
    const std::vector<ScreenUpdateRecord> tooMany(65536);
    EXPECT_FALSE(sendScreenUpdate(socket, kScreenUpdateDesignation, tooMany));
    EXPECT_FALSE(sendMultiDisplayMsg(socket, 70000));
    EXPECT_TRUE(socket.writes.empty());
    EXPECT_EQ(capture.count("refused"), 2u);

    const std::vector<ScreenUpdateRecord> most(65535);
    EXPECT_TRUE(sendScreenUpdate(socket, kScreenUpdateDesignation, std::span(most).first(0)));
    EXPECT_EQ(socket.stream(), (Bytes{0x20, 0x00, 0x00}));
}

TEST(ScreenUpdateWriter, AFailedSendStopsTheUpdateAndReportsIt) {
    RecordingSocket socket;
    socket.failFromWrite = 2; // header and first record go out, the first payload fails
    const Bytes payload{1};
    const ScreenUpdateRecord records[] = {{CGRectMake(0, 0, 1, 1), 4, payload}, {CGRectMake(1, 0, 1, 1), 4, payload}};
    EXPECT_FALSE(sendScreenUpdate(socket, kScreenUpdateDesignation, records));
    EXPECT_EQ(socket.writes.size(), 2u);
    RecordingSocket dead;
    dead.failFromWrite = 0;
    EXPECT_FALSE(sendCursorImageUpdate(dead, CGPointZero, CGSizeMake(1, 1), payload));
    EXPECT_FALSE(sendCursorPositionUpdate(dead, CGPointZero, true));
}

TEST(ScreenUpdateWriter, UpdatesFromTwoThreadsNeverInterleave) {
    RecordingSocket socket;
    socket.probeLock = false;
    const Bytes a(7, 0xAA), b(5, 0xBB);
    std::latch start(2);
    auto writer = [&socket, &start](const Bytes& payload, int n) {
        start.arrive_and_wait();
        const ScreenUpdateRecord records[] = {{CGRectMake(0, 0, 1, 1), 4, payload}, {CGRectMake(0, 0, 1, 1), 4, payload}};
        for (int i = 0; i < n; ++i) {
            sendScreenUpdate(socket, kScreenUpdateDesignation, records);
            sendCursorImageUpdate(socket, CGPointZero, CGSizeMake(1, 1), payload);
        }
    };
    std::thread one(writer, a, 200), two(writer, b, 200);
    one.join();
    two.join();
    // Walk the stream message by message: each must be whole and of one writer.
    const Bytes stream = socket.stream();
    net::LittleEndianReader in(stream);
    int messages = 0;
    while (in.remaining() > 0) {
        ASSERT_EQ(in.u8(), 0x20);
        const uint16_t count = in.u16();
        uint8_t fill = 0;
        for (uint16_t r = 0; r < count; ++r) {
            in.skip(9);
            const uint32_t length = in.u32();
            Bytes payload(length);
            in.bytes(payload.data(), length);
            ASSERT_TRUE(in.ok());
            ASSERT_TRUE(length == 7 || length == 5);
            ASSERT_EQ(payload, length == 7 ? a : b);
            if (fill == 0) fill = payload[0];
            ASSERT_EQ(payload[0], fill) << "message " << messages << " mixes writers";
        }
        ++messages;
    }
    EXPECT_EQ(messages, 800);
}
