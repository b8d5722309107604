#include "DeviceTestSupport.h"

#include "platform/core/Log.h"
#include "usblink/QNBPeerTalkNetSocket.h"
#include "usblink/QNBRingBuffer.h"

#include <gtest/gtest.h>

#include <future>
#include <numeric>
#include <thread>
#include <zlib.h>

using namespace usblink;
using namespace usblink::testing;

namespace {

std::vector<uint8_t> sequence(size_t n, uint8_t start = 0) {
    std::vector<uint8_t> v(n);
    std::iota(v.begin(), v.end(), start);
    return v;
}

// A datagram delegate that takes only the data form.
class DataOnlyDelegate : public net::QNNetSocketDelegate {
  public:
    DatagramForm datagramForm() const override { return DatagramForm::Data; }
    void datagramReceivedForSocket(const std::shared_ptr<net::QNNetSocketProtocol>& socket,
                                   std::span<const uint8_t> data) override {
        std::lock_guard lock(mutex);
        from = socket;
        received.emplace_back(data.begin(), data.end());
        cv.notify_all();
    }
    void acceptedNewClientSocket(const std::shared_ptr<net::QNNetSocketProtocol>& socket) override {
        std::lock_guard lock(mutex);
        accepted.push_back(socket);
        cv.notify_all();
    }
    std::mutex mutex;
    std::condition_variable cv;
    std::shared_ptr<net::QNNetSocketProtocol> from;
    std::vector<std::vector<uint8_t>> received;
    std::vector<std::shared_ptr<net::QNNetSocketProtocol>> accepted;
};

} // namespace

TEST(QNBRingBuffer, WritesAcrossTheEndReadBackInOrderInTwoCalls) {
    QNBRingBuffer ring(8);
    auto first = sequence(6);
    ASSERT_EQ(ring.writeBytes(first.data(), 6), 6u);
    uint8_t out[8] = {};
    ASSERT_EQ(ring.getBytes(out, 5), 5u);
    auto second = sequence(6, 100);
    EXPECT_EQ(ring.writeBytes(second.data(), 6), 6u); // wraps: 2 at the end, 4 at the start
    EXPECT_EQ(ring.length(), 7u);
    EXPECT_EQ(ring.getBytes(out, 7), 3u); // up to the end of the storage only
    EXPECT_EQ(out[0], 5);
    EXPECT_EQ(out[1], 100);
    EXPECT_EQ(out[2], 101);
    EXPECT_EQ(ring.getBytes(out, 7), 4u);
    EXPECT_EQ(out[3], 105);
    EXPECT_EQ(ring.length(), 0u);
}

TEST(QNBRingBuffer, FilledThenDrainedItIsEmptyAndTakesTheNextWrite) {
    QNBRingBuffer ring(4);
    auto bytes = sequence(6);
    EXPECT_EQ(ring.writeBytes(bytes.data(), 6), 4u); // at most the free space
    EXPECT_TRUE(ring.isFull());
    EXPECT_EQ(ring.length(), 4u);
    EXPECT_EQ(ring.writeBytes(bytes.data(), 1), 0u);
    EXPECT_TRUE(ring.isFull()); // a write that stored nothing leaves the mark alone
    uint8_t out[4];
    EXPECT_EQ(ring.getBytes(out, 4), 4u);
    EXPECT_EQ(ring.length(), 0u);
    EXPECT_FALSE(ring.isFull());
    EXPECT_EQ(ring.writeBytes(bytes.data(), 0), 0u);
    EXPECT_FALSE(ring.isFull()); // an empty write on equal indexes must not read as full
    EXPECT_EQ(ring.length(), 0u);
    EXPECT_EQ(ring.writeBytes(bytes.data() + 2, 3), 3u);
    EXPECT_EQ(ring.getBytes(out, 3), 3u);
    EXPECT_EQ(out[0], 2);
    EXPECT_EQ(out[2], 4);
    EXPECT_NE(ring.description().find("capacity=4; length=0"), std::string::npos);
}

// New storage starts empty at index 0; indexes outside the storage are refused.
TEST(QNBRingBuffer, SettersReplaceTheStorageAndKeepTheIndexesInside) {
    QNBRingBuffer ring(4);
    auto bytes = sequence(3);
    ring.writeBytes(bytes.data(), 3);
    ring.setCapacity(8);
    EXPECT_EQ(ring.capacity(), 8u);
    EXPECT_EQ(ring.length(), 0u);
    EXPECT_EQ(ring.writeBytes(bytes.data(), 3), 3u);
    ring.setBuffer({'a', 'b', 'c', 'd', 'e'});
    EXPECT_EQ(ring.capacity(), 5u);
    ring.setWriteIndex(3); // "abc" stored
    ring.setWriteIndex(5); // outside: refused
    ring.setReadIndex(-1);
    EXPECT_EQ(ring.writeIndex(), 3);
    EXPECT_EQ(ring.readIndex(), 0);
    ring.setReadIndex(1);
    char out[4] = {};
    EXPECT_EQ(ring.getBytes(out, 4), 2u);
    EXPECT_EQ(std::string(out, 2), "bc");
}

namespace {

// A stream socket connected through a local client's listener on 127.0.0.1 (no device).
struct LoopbackSocket {
    uint16_t port = freeLoopbackPort();
    LoopbackListener local{port};
    std::shared_ptr<DataOnlyDelegate> delegate = std::make_shared<DataOnlyDelegate>();
    std::shared_ptr<QNBPeerTalkNetSocket> socket;
    explicit LoopbackSocket(size_t ring = QNBPeerTalkNetSocket::kReadBufferCapacity) {
        socket = QNBPeerTalkNetSocket::initWithPort(port, std::nullopt,
                                                    QNBPeerTalkDeviceManager::create(nullptr), ring);
        socket->setDelegate(delegate);
        EXPECT_TRUE(socket->connectToAddress(net::SocketAddress(), port, nullptr));
        EXPECT_TRUE(socket->isConnected());
        local.accept();
    }
    void stream(const std::string& bytes) {
        writeAll(local.client, frameBytes(kQNBFrameTypeStream, 1,
                                          innerPayload(static_cast<uint32_t>(bytes.size()), bytes)));
    }
};

} // namespace

TEST(QNBRingBuffer, FiftyMebibytesPassThroughAOneMebibyteRingOnTwoThreadsIntact) {
    platform::installFakeClock();
    LoopbackSocket s(1 << 20);
    constexpr size_t kTotal = 50u << 20;
    constexpr size_t kChunk = 61 * 1024; // odd sizes so writes and reads straddle the ring's end
    std::vector<uint8_t> source(kChunk * 7);
    for (size_t i = 0; i < source.size(); ++i)
        source[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
    uLong sent = crc32(0, nullptr, 0);
    auto producer = std::async(std::launch::async, [&] {
        size_t done = 0, k = 0;
        while (done < kTotal) {
            size_t n = std::min(kChunk - (k % 5) * 1000, kTotal - done);
            const uint8_t* p = source.data() + (k++ % 6) * kChunk;
            sent = crc32(sent, p, static_cast<uInt>(n));
            writeAll(s.local.client,
                     frameBytes(kQNBFrameTypeStream, 1,
                                innerPayload(static_cast<uint32_t>(n), std::string(p, p + n))));
            done += n;
        }
    });
    uLong received = crc32(0, nullptr, 0);
    std::vector<uint8_t> buffer(40 * 1024 + 3);
    size_t got = 0;
    while (got < kTotal) {
        size_t want = std::min(buffer.size(), kTotal - got);
        ASSERT_TRUE(s.socket->getClientBytes(buffer.data(), want));
        received = crc32(received, buffer.data(), static_cast<uInt>(want));
        got += want;
    }
    producer.get();
    EXPECT_EQ(received, sent);
    s.socket->close();
}

TEST(QNBPeerTalkNetSocket, AReadWaitsForAllItAsksAndGetsItInOrder) {
    platform::installFakeClock();
    LoopbackSocket s;
    {
        // The channel reports itself connected from its own thread, possibly after the connect returned.
        std::unique_lock lock(s.delegate->mutex);
        ASSERT_TRUE(s.delegate->cv.wait_for(lock, std::chrono::seconds(10),
                                            [&] { return !s.delegate->accepted.empty(); }));
        ASSERT_TRUE(s.delegate->accepted.size() == 1 && s.delegate->accepted[0] == s.socket);
    }
    s.stream("12345");
    auto reading = std::async(std::launch::async, [&] {
        char out[8];
        bool ok = s.socket->getClientBytes(out, 8, 0); // no time-out: waits
        return ok ? std::string(out, 8) : std::string("failed");
    });
    EXPECT_EQ(reading.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    s.stream("678");
    ASSERT_EQ(reading.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(reading.get(), "12345678");
    EXPECT_EQ(s.socket->bytesAvailable(), 0u);
    // Connecting again to the same port keeps the channel and answers at once.
    auto channel = s.socket->peerTalkChannel();
    EXPECT_TRUE(s.socket->connectToAddress(net::SocketAddress(), s.port, nullptr));
    EXPECT_EQ(s.socket->peerTalkChannel(), channel);
    EXPECT_FALSE(s.socket->isLoopback()); // even though it came through 127.0.0.1
    s.socket->close();
}

TEST(QNBPeerTalkNetSocket, ATimedReadGivesUpAtItsDeadlineAndCloseEndsAnUntimedOne) {
    platform::installFakeClock();
    LoopbackSocket s;
    auto timed = std::async(std::launch::async, [&] {
        char out[4];
        return s.socket->getClientBytes(out, 4, 3.0);
    });
    EXPECT_EQ(timed.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    dispatch::advanceAndRun(3.0);
    ASSERT_EQ(timed.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(timed.get());
    auto untimed = std::async(std::launch::async, [&] {
        char out[4];
        return s.socket->getClientBytes(out, 4);
    });
    EXPECT_EQ(untimed.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    s.socket->close();
    ASSERT_EQ(untimed.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(untimed.get());
    EXPECT_FALSE(s.socket->isOpen());
    EXPECT_FALSE(s.socket->sendBytes("x", 1));
    char out[1];
    EXPECT_FALSE(s.socket->getClientBytes(out, 1)); // ended: fails at once
}

TEST(QNBPeerTalkNetSocket, CloseWakesABlockedSendWithZero) {
    platform::installFakeClock();
    LoopbackSocket s;
    std::vector<uint8_t> big(8 << 20, 7);
    auto sending =
        std::async(std::launch::async, [&] { return s.socket->sendBytes(big.data(), big.size()); });
    ASSERT_TRUE(readable(s.local.client));
    EXPECT_EQ(sending.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    s.socket->close();
    ASSERT_EQ(sending.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(sending.get());
}

TEST(QNBPeerTalkNetSocket, AReadLongerThanTheRingFailsAtOnce) {
    platform::installFakeClock();
    platform::LogCapture log(true);
    LoopbackSocket s(16);
    std::vector<uint8_t> out(17);
    EXPECT_FALSE(s.socket->getClientBytes(out.data(), out.size()));
    EXPECT_TRUE(log.contains("can never be served"));
    s.socket->close();
}

TEST(QNBPeerTalkNetSocket, DatagramsReachADelegateThatTakesOnlyData) {
    platform::installFakeClock();
    LoopbackSocket s;
    writeAll(s.local.client, frameBytes(kQNBFrameTypeDatagram, 1, innerPayload(5, "\x02tap!")));
    std::unique_lock lock(s.delegate->mutex);
    ASSERT_TRUE(s.delegate->cv.wait_for(lock, std::chrono::seconds(10),
                                        [&] { return !s.delegate->received.empty(); }));
    EXPECT_EQ(s.delegate->received[0].size(), 5u);
    EXPECT_EQ(s.delegate->from, s.socket);
    lock.unlock();
    EXPECT_TRUE(s.socket->sendDatagram("\x09\x01\x00\x01\x00", 5, net::SocketAddress()));
    ASSERT_TRUE(readable(s.local.client));
    s.socket->close();
}

TEST(QNBPeerTalkNetSocket, KnowsOnlyTheFixedClientAddressAndDescribesItself) {
    auto socket = QNBPeerTalkNetSocket::initUDPWithPort(kUSBServerSidebandPort, 5,
                                                        QNBPeerTalkDeviceManager::create(nullptr));
    in_addr other{};
    other.s_addr = htonl(0xC0A80001);
    socket->setKnownClientAddr(net::SocketAddress::ipv4(other, 1));
    auto address = socket->knownClientAddr();
    EXPECT_EQ(address.description(), "10.0.0.1:6006");
    EXPECT_EQ(address.recordLengthByte(), 16);
    EXPECT_FALSE(socket->isOpen());
    EXPECT_FALSE(socket->isConnected());
    socket->setTag("In-Sideband Socket");
    EXPECT_EQ(socket->description().substr(socket->description().find(';')),
              "; In-Sideband Socket; device-id=5; UDP; port=6006; state=unknown/invalid; idle>");
}

TEST(QNBPeerTalkNetSocket, ADetachFailsPendingReads) {
    platform::installFakeClock();
    AttachedDevice device({47021});
    auto socket = QNBPeerTalkNetSocket::initWithPort(47021, 5, device.manager);
    // The connect waits on the main thread while serving the main queue, where USB results come.
    ASSERT_TRUE(socket->connectToAddress(net::SocketAddress(), 47021, nullptr));
    ASSERT_TRUE(socket->isConnected());
    ASSERT_TRUE(pumpUntil([&] { return device.lastFd() >= 0; }));
    auto reading = std::async(std::launch::async, [&] {
        char out[4];
        return socket->getClientBytes(out, 4);
    });
    EXPECT_EQ(reading.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    device.f.muxd->unregisterDevice(5);
    ::shutdown(device.lastFd(), SHUT_RDWR); // the device's connections go with it
    ASSERT_TRUE(
        pumpUntil([&] { return reading.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_FALSE(reading.get());
    EXPECT_FALSE(socket->isOpen());
}

TEST(QNBPeerTalkNetSocket, AFullRingHoldsTheDeliveryUntilReadsMakeRoomAndNothingIsDropped) {
    platform::installFakeClock();
    LoopbackSocket s(16);
    std::string sent = "0123456789abcdefghijklmnopqrstuv"; // twice the ring
    s.stream(sent);
    ASSERT_TRUE(pumpUntil([&] { return s.socket->bytesAvailable() == 16; }));
    std::string got;
    for (int i = 0; i < 4; ++i) {
        char part[8];
        ASSERT_TRUE(s.socket->getClientBytes(part, sizeof part));
        got.append(part, sizeof part);
    }
    EXPECT_EQ(got, sent);
    EXPECT_TRUE(s.socket->isOpen());
    s.socket->close();
}

TEST(QNBPeerTalkNetSocket, ARingStillFullAfterTwoSecondsFailsTheChannel) {
    platform::installFakeClock();
    platform::LogCapture log(true);
    LoopbackSocket s(16);
    s.stream(std::string(40, 'x'));
    ASSERT_TRUE(pumpUntil([&] { return s.socket->bytesAvailable() == 16; }));
    dispatch::advanceAndRun(1.9);
    EXPECT_TRUE(s.socket->isOpen());
    dispatch::advanceAndRun(0.1);
    ASSERT_TRUE(pumpUntil([&] { return !s.socket->isOpen(); }));
    EXPECT_TRUE(log.contains("the read buffer stayed full"));
}

TEST(QNBPeerTalkNetSocket, OperationsOnAnEndedSocketFailAtOnce) {
    platform::installFakeClock();
    LoopbackSocket s;
    s.socket->close();
    EXPECT_FALSE(s.socket->isOpen());
    EXPECT_FALSE(s.socket->sendDatagram("x", 1, net::SocketAddress()));
    auto listening =
        std::async(std::launch::async, [&] { s.socket->listenForDatagramsOnPort(s.port, s.delegate); });
    ASSERT_EQ(listening.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}
