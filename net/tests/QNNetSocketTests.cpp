// The network socket over loopback, on ephemeral ports and the fake clock: listening,
// accepting, connecting, exact reads with their time-out, writes that back off, datagrams,
// cancellation, and the accept loop under injected failures.
#include "net/NetSyscalls.h"
#include "net/QNNetSocket.h"

#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/dispatch/Testing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

using namespace net;
using Bytes = std::vector<uint8_t>;

namespace {

// A generous bound for waits that an event ends; reached only when the code is broken.
constexpr auto kEventBound = std::chrono::seconds(20);

template <typename Pred> bool waitFor(std::mutex& m, std::condition_variable& cv, Pred pred) {
    std::unique_lock lock(m);
    return cv.wait_for(lock, kEventBound, pred);
}

struct Acceptor : QNNetSocketDelegate {
    std::mutex m;
    std::condition_variable cv;
    std::vector<std::shared_ptr<QNNetSocketProtocol>> accepted;
    void acceptedNewClientSocket(const std::shared_ptr<QNNetSocketProtocol>& socket) override {
        std::lock_guard lock(m);
        accepted.push_back(socket);
        cv.notify_all();
    }
    std::shared_ptr<QNNetSocket> waitForClient(size_t index) {
        if (!waitFor(m, cv, [&] { return accepted.size() > index; })) return nullptr;
        std::lock_guard lock(m);
        return std::static_pointer_cast<QNNetSocket>(accepted[index]);
    }
};

struct CountingMeter : BandwidthMeter {
    std::mutex m;
    std::condition_variable cv;
    size_t received = 0, sent = 0;
    void reportBytesReceived(size_t n) override {
        std::lock_guard lock(m);
        received += n;
        cv.notify_all();
    }
    void reportBytesSent(size_t n) override {
        std::lock_guard lock(m);
        sent += n;
    }
    bool waitReceived(size_t n) {
        return waitFor(m, cv, [&] { return received >= n; });
    }
};

struct LatencyRecorder : QNNetSocketDelegate {
    std::vector<double> reports; // touched on the main thread only
    bool receivesLatencyReports() const override { return true; }
    void socketIsExperiencingLatency(double latency) override { reports.push_back(latency); }
};

struct DatagramSink : QNNetSocketDelegate {
    DatagramForm form = DatagramForm::DataAndAddress;
    std::mutex m;
    std::condition_variable cv;
    bool began = false;
    std::vector<Bytes> datagrams;
    std::vector<SocketAddress> senders;
    size_t stopAfter = SIZE_MAX;
    bool closeAtStop = true;

    DatagramForm datagramForm() const override { return form; }
    void willBeginListeningForDatagramsOnSocket(const std::shared_ptr<QNNetSocketProtocol>&) override {
        std::lock_guard lock(m);
        began = true;
        cv.notify_all();
    }
    void record(std::span<const uint8_t> data, const SocketAddress& from) {
        std::lock_guard lock(m);
        datagrams.emplace_back(data.begin(), data.end());
        senders.push_back(from);
        cv.notify_all();
    }
    void datagramReceivedForSocket(const std::shared_ptr<QNNetSocketProtocol>& s, const uint8_t* bytes,
                                   size_t length) override {
        record({bytes, length}, s->knownClientAddr());
    }
    void datagramReceivedForSocket(const std::shared_ptr<QNNetSocketProtocol>&, std::span<const uint8_t> data,
                                   const SocketAddress& from) override {
        record(data, from);
    }
    void datagramReceivedForSocket(const std::shared_ptr<QNNetSocketProtocol>& s,
                                   std::span<const uint8_t> data) override {
        record(data, s->knownClientAddr());
    }
    bool shouldContinueToReceiveDatagramsOnSocket(const std::shared_ptr<QNNetSocketProtocol>&,
                                                  bool& shouldClose) override {
        std::lock_guard lock(m);
        if (datagrams.size() < stopAfter) return true;
        shouldClose = closeAtStop;
        return false;
    }
    bool waitBegan() {
        return waitFor(m, cv, [&] { return began; });
    }
    bool waitDatagrams(size_t n) {
        return waitFor(m, cv, [&] { return datagrams.size() >= n; });
    }
};

SocketAddress loopback4(uint16_t port = 0) {
    return *SocketAddress::fromNumericHost("127.0.0.1", port);
}

uint16_t localPort(int fd) {
    sockaddr_storage s{};
    socklen_t n = sizeof s;
    getsockname(fd, reinterpret_cast<sockaddr*>(&s), &n);
    return SocketAddress(reinterpret_cast<sockaddr*>(&s), n).port();
}

// Faults for the accept loop, switched on per test.
std::atomic<int> gAbortNext{0};
std::atomic<int> gExhaustNext{0};

int faultyAccept(int fd, sockaddr* address, socklen_t* length, int flags) {
    if (gAbortNext > 0) {
        // A connection that was reset before it could be taken: consume it, report the abort.
        int taken = ::accept4(fd, address, length, flags);
        --gAbortNext;
        if (taken >= 0) ::close(taken);
        errno = ECONNABORTED;
        return -1;
    }
    if (gExhaustNext > 0) {
        --gExhaustNext;
        errno = EMFILE;
        return -1;
    }
    return ::accept4(fd, address, length, flags);
}

class QNNetSocketTest : public ::testing::Test {
  protected:
    void SetUp() override { m_clock = &platform::installFakeClock(); }
    void TearDown() override {
        netSyscalls().accept4 = &::accept4;
        gAbortNext = 0;
        gExhaustNext = 0;
        if (m_listener) {
            m_listener->close();
            EXPECT_TRUE(m_listener->waitUntilIdle(platform::kDistantFuture));
        }
    }

    uint16_t listen() {
        m_listener = QNNetSocket::init();
        platform::Error error;
        EXPECT_TRUE(m_listener->listenOnPort(0, m_acceptor, &error)) << error.description();
        return m_listener->port();
    }

    std::shared_ptr<QNNetSocket> connectTo(uint16_t port) {
        auto client = QNNetSocket::init();
        platform::Error error;
        EXPECT_TRUE(client->connectToAddress(loopback4(), port, &error)) << error.description();
        return client;
    }

    // A connected client and the server's accepted end of it.
    std::pair<std::shared_ptr<QNNetSocket>, std::shared_ptr<QNNetSocket>> connectedPair() {
        uint16_t port = listen();
        size_t index;
        {
            std::lock_guard lock(m_acceptor->m);
            index = m_acceptor->accepted.size();
        }
        auto client = connectTo(port);
        return {client, m_acceptor->waitForClient(index)};
    }

    platform::FakeClock* m_clock = nullptr;
    std::shared_ptr<Acceptor> m_acceptor = std::make_shared<Acceptor>();
    std::shared_ptr<QNNetSocket> m_listener;
};

} // namespace

TEST_F(QNNetSocketTest, ListenAcceptConnectAndExchangeBytes) {
    auto [client, server] = connectedPair();
    ASSERT_TRUE(server);
    EXPECT_TRUE(client->isConnected());
    EXPECT_TRUE(server->isConnected());
    EXPECT_TRUE(server->hasClientAddr());
    // The dual-stack listener sees the IPv4 peer in its mapped form, at the client's port.
    EXPECT_EQ(server->knownClientAddr().numericHost(), "::ffff:127.0.0.1");
    EXPECT_EQ(server->knownClientAddr().port(), localPort(client->descriptor()));
    EXPECT_EQ(server->family(), AF_INET6);
    EXPECT_EQ(client->knownClientAddr().port(), m_listener->port());

    const char hello[] = "hello";
    EXPECT_TRUE(client->sendBytes(hello, 5));
    char got[5] = {};
    EXPECT_TRUE(server->getClientBytes(got, 5));
    EXPECT_EQ(std::string(got, 5), "hello");
    EXPECT_TRUE(server->sendBytes("ok", 2));
    EXPECT_TRUE(client->getServerBytes(got, 2));
    EXPECT_EQ(std::string(got, 2), "ok");

    EXPECT_TRUE(client->getClientBytes(nullptr, 0));
    EXPECT_TRUE(client->sendBytes(nullptr, 0));

    EXPECT_TRUE(client->isLoopback());
    EXPECT_TRUE(server->isLoopback()); // mapped peer against the IPv4 interface address
    EXPECT_FALSE(m_listener->isLoopback());
    EXPECT_FALSE(m_listener->isListening());

    // Every descriptor is close-on-exec.
    EXPECT_TRUE(fcntl(server->descriptor(), F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(client->descriptor(), F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(m_listener->descriptor(), F_GETFD) & FD_CLOEXEC);
}

TEST_F(QNNetSocketTest, ListeningTwiceOrConnectingAServerSocketIsRefusedWithoutError) {
    listen();
    platform::Error error;
    error.code = 42;
    EXPECT_FALSE(m_listener->listenOnPort(0, m_acceptor, &error));
    EXPECT_FALSE(m_listener->connectToHost("127.0.0.1", 1, &error));
    EXPECT_EQ(error.code, 42);
}

TEST_F(QNNetSocketTest, RefusedConnectionGivesAPosixError) {
    platform::LogCapture capture(true);
    uint16_t port = listen();
    m_listener->close();
    ASSERT_TRUE(m_listener->waitUntilIdle(platform::kDistantFuture));
    m_listener.reset();

    auto client = QNNetSocket::init();
    platform::Error error;
    EXPECT_FALSE(client->connectToAddress(loopback4(), port, &error));
    EXPECT_EQ(error.domain, platform::NSPOSIXErrorDomain);
    EXPECT_EQ(error.code, ECONNREFUSED);
    EXPECT_EQ(error.localizedDescription(), "Unable to connect to port");
    EXPECT_FALSE(client->isConnected());
    EXPECT_FALSE(client->isOpen());

    auto byHost = QNNetSocket::init();
    EXPECT_FALSE(byHost->connectToHost("127.0.0.1", port, &error));
    EXPECT_EQ(error.code, ECONNREFUSED);
    EXPECT_FALSE(QNNetSocket::init()->connectToAddress(SocketAddress(), port, &error));
}

TEST_F(QNNetSocketTest, ConnectToHostByNameResolvesItToIPv4AndReachesTheListener) {
    const uint16_t port = listen();
    size_t index;
    {
        std::lock_guard lock(m_acceptor->m);
        index = m_acceptor->accepted.size();
    }
    auto client = QNNetSocket::init();
    platform::Error error;
    ASSERT_TRUE(client->connectToHost("localhost", port, &error)) << error.description();
    EXPECT_TRUE(client->isConnected());
    EXPECT_EQ(client->family(), AF_INET) << "a host name is looked up for IPv4 only";
    EXPECT_EQ(client->knownClientAddr().numericHost(), "127.0.0.1");
    EXPECT_EQ(client->knownClientAddr().port(), port);
    auto server = m_acceptor->waitForClient(index);
    ASSERT_TRUE(server);
    EXPECT_TRUE(client->sendBytes("by name", 7));
    char got[7] = {};
    EXPECT_TRUE(server->getClientBytes(got, 7));
    EXPECT_EQ(std::string(got, 7), "by name");
}

TEST_F(QNNetSocketTest, SilentPeerTimesOutAfter45SecondsWithLatencyReports) {
    auto [client, server] = connectedPair();
    auto meter = std::make_shared<CountingMeter>();
    auto latency = std::make_shared<LatencyRecorder>();
    server->setBandwidthMeter(meter);
    server->setDelegate(latency);

    bool ok = true;
    int err = 0;
    std::thread reader([&] {
        uint8_t buffer[2];
        ok = server->getClientBytes(buffer, 2);
        err = errno;
    });
    ASSERT_TRUE(client->sendBytes("x", 1));
    ASSERT_TRUE(meter->waitReceived(1)); // the reader is inside, its silence starts now
    m_clock->advance(platform::seconds(45));
    reader.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(err, ETIMEDOUT);

    dispatch::runUntilIdle();
    ASSERT_EQ(latency->reports.size(), 8u);
    for (size_t i = 0; i < 8; ++i)
        EXPECT_DOUBLE_EQ(latency->reports[i], 5.0 * double(i + 1) / 45.0);
}

TEST_F(QNNetSocketTest, BytesAfter40SecondsOfSilenceStillArriveAndReportRecovery) {
    auto [client, server] = connectedPair();
    auto [otherClient, otherServer] = std::pair{connectTo(m_listener->port()), m_acceptor->waitForClient(1)};
    auto meter = std::make_shared<CountingMeter>();
    auto latency = std::make_shared<LatencyRecorder>();
    auto otherLatency = std::make_shared<LatencyRecorder>();
    server->setBandwidthMeter(meter);
    server->setDelegate(latency);
    otherServer->setDelegate(otherLatency);

    bool ok = false;
    std::thread reader([&] {
        uint8_t buffer[2];
        ok = server->getClientBytes(buffer, 2);
    });
    ASSERT_TRUE(client->sendBytes("x", 1));
    ASSERT_TRUE(meter->waitReceived(1));
    m_clock->advance(platform::seconds(40));
    // Each 5 s step of silence posts one report to the main queue; serve it as they come,
    // then let the byte arrive.
    while (latency->reports.size() < 8)
        dispatch::RunLoop::main()->runModeBeforeDate(dispatch::kDefaultRunLoopMode, platform::kDistantFuture);
    ASSERT_TRUE(client->sendBytes("y", 1));
    reader.join();
    EXPECT_TRUE(ok);

    // Another socket's read does not answer for this one's silence.
    ASSERT_TRUE(otherClient->sendBytes("z", 1));
    uint8_t one;
    EXPECT_TRUE(otherServer->getClientBytes(&one, 1));

    dispatch::runUntilIdle();
    ASSERT_EQ(latency->reports.size(), 9u);
    EXPECT_DOUBLE_EQ(latency->reports[7], 40.0 / 45.0);
    EXPECT_EQ(latency->reports[8], 0.0);
    EXPECT_TRUE(otherLatency->reports.empty());
}

TEST_F(QNNetSocketTest, CloseWakesABlockedReaderAndTheDescriptorOutlivesIt) {
    auto [client, server] = connectedPair();
    auto meter = std::make_shared<CountingMeter>();
    server->setBandwidthMeter(meter);
    bool ok = true;
    std::thread reader([&] {
        uint8_t buffer[4];
        ok = server->getClientBytes(buffer, 4);
    });
    ASSERT_TRUE(client->sendBytes("x", 1));
    ASSERT_TRUE(meter->waitReceived(1));
    server->close(); // no time passes on the fake clock: only the cancel can end the read
    EXPECT_FALSE(server->isOpen());
    reader.join();
    EXPECT_FALSE(ok);
    EXPECT_TRUE(server->waitUntilIdle(platform::kDistantFuture));
    EXPECT_TRUE(server->cancelled());

    uint8_t byte;
    EXPECT_FALSE(client->getServerBytes(&byte, 1)); // the peer sees the end
    EXPECT_FALSE(server->getClientBytes(&byte, 1));
    EXPECT_FALSE(server->sendBytes("x", 1));
}

TEST_F(QNNetSocketTest, LargeWriteWaitsForThePeerToDrain) {
    auto [client, server] = connectedPair();
    auto meter = std::make_shared<CountingMeter>();
    client->setBandwidthMeter(meter);
    Bytes payload(8 << 20);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = uint8_t(i * 31 + (i >> 12));

    bool sent = false;
    std::thread writer([&] { sent = client->sendBytes(payload.data(), payload.size()); });
    Bytes received(payload.size());
    EXPECT_TRUE(server->getClientBytes(received.data(), received.size()));
    writer.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ(received, payload);
    EXPECT_EQ(meter->sent, payload.size());
}

TEST_F(QNNetSocketTest, HeadsAndPayloadsWrittenTogetherArriveWholeThroughPartialWrites) {
    // Each message is larger than the socket's buffers, so writes end part-way through a
    // payload and go on from there; a message without a payload is its head alone.
    auto [client, server] = connectedPair();
    auto meter = std::make_shared<CountingMeter>();
    client->setBandwidthMeter(meter);
    Bytes expected;
    std::vector<std::pair<Bytes, Bytes>> messages;
    for (size_t m = 0; m < 4; ++m) {
        Bytes head(13, uint8_t(0xA0 + m));
        Bytes payload(m == 2 ? 0 : (3 << 20) + m * 4099);
        for (size_t i = 0; i < payload.size(); ++i)
            payload[i] = uint8_t(i * 7 + m + (i >> 10));
        expected.insert(expected.end(), head.begin(), head.end());
        expected.insert(expected.end(), payload.begin(), payload.end());
        messages.emplace_back(std::move(head), std::move(payload));
    }
    bool sent = true;
    std::thread writer([&] {
        for (auto& [head, payload] : messages)
            sent =
                client->sendBytesWithPayload(head.data(), head.size(), payload.data(), payload.size(), 1.0) &&
                sent;
    });
    Bytes received(expected.size());
    EXPECT_TRUE(server->getClientBytes(received.data(), received.size()));
    writer.join();
    EXPECT_TRUE(sent);
    EXPECT_TRUE(received == expected);
    EXPECT_EQ(meter->sent, expected.size());
}

TEST_F(QNNetSocketTest, MainThreadBackOffServesItsQueueButKeepsMessagesWhole) {
    platform::LogCapture capture(true);
    auto [client, server] = connectedPair();
    bool nested = true;
    // Runs inside the main thread's back-off, while the big message is half-written.
    dispatch::dispatch_async(dispatch::dispatch_get_main_queue(), [&, client = client] {
        nested = client->sendBytes("n", 1);
        client->cancel();
        m_clock->advance(platform::seconds(1));
    });
    Bytes payload(32 << 20, 0x5A); // more than the peer's buffers can take unread
    EXPECT_FALSE(client->sendBytes(payload.data(), payload.size()));
    EXPECT_FALSE(nested);
    EXPECT_TRUE(capture.contains("send back-off was refused"));
}

TEST_F(QNNetSocketTest, WriteToAVanishedPeerFailsWithoutASignal) {
    auto [client, server] = connectedPair();
    server->close();
    Bytes chunk(1 << 16, 0xAB);
    bool failed = false;
    for (int i = 0; i < 64 && !failed; ++i)
        failed = !client->sendBytes(chunk.data(), chunk.size());
    EXPECT_TRUE(failed); // EPIPE or a reset; SIGPIPE would have ended the test process
}

TEST_F(QNNetSocketTest, AcceptLoopSurvivesAnAbortedConnection) {
    platform::LogCapture capture(true);
    netSyscalls().accept4 = &faultyAccept;
    gAbortNext = 1;
    uint16_t port = listen();
    auto aborted = connectTo(port);
    auto second = connectTo(port);
    auto server = m_acceptor->waitForClient(0);
    ASSERT_TRUE(server);
    EXPECT_EQ(server->knownClientAddr().port(), localPort(second->descriptor()));
    EXPECT_EQ(m_acceptor->accepted.size(), 1u);
    EXPECT_TRUE(capture.contains("accept failed for one connection"));
    uint8_t byte;
    EXPECT_FALSE(aborted->getServerBytes(&byte, 1)); // the aborted one was closed
}

TEST_F(QNNetSocketTest, AcceptLoopBacksOffWhenOutOfDescriptors) {
    platform::LogCapture capture(true);
    netSyscalls().accept4 = &faultyAccept;
    gExhaustNext = 1;
    uint16_t port = listen();
    ASSERT_TRUE(capture.waitFor("retrying shortly", platform::kDistantFuture));
    auto client = connectTo(port); // waits in the backlog meanwhile
    m_clock->advance(platform::seconds(0.1));
    ASSERT_TRUE(m_acceptor->waitForClient(0));
}

TEST_F(QNNetSocketTest, ClosingAListenerEndsItsAcceptLoopEvenDuringABackOff) {
    platform::LogCapture capture(true);
    netSyscalls().accept4 = &faultyAccept;
    gExhaustNext = 1'000'000;
    listen();
    ASSERT_TRUE(capture.waitFor("retrying shortly", platform::kDistantFuture));
    m_listener->close();
    EXPECT_TRUE(m_listener->waitUntilIdle(platform::kDistantFuture));
    EXPECT_FALSE(m_listener->isOpen());
}

// On the real clock, where a missed notify is not rescued by the fake clock's rechecks: a
// listener closed before its accept thread first runs ends that loop without ever using the
// descriptor, and a wait for idleness that began meanwhile must still be woken.
TEST(QNNetSocketRealClock, ClosingAListenerAtOnceWakesAWaitForIdle) {
    if (platform::usingFakeClock()) GTEST_SKIP() << "needs the real clock (run on its own)";
    for (int i = 0; i < 20; ++i) {
        auto listener = QNNetSocket::init();
        ASSERT_TRUE(listener->listenOnPort(0, {}, nullptr));
        listener->close();
        EXPECT_TRUE(listener->waitUntilIdle(platform::now() + platform::seconds(30)));
    }
}

TEST_F(QNNetSocketTest, ClosingAListenerReturnsAtOnceAndStopsAccepting) {
    uint16_t port = listen();
    m_listener->close();
    EXPECT_TRUE(m_listener->waitUntilIdle(platform::kDistantFuture));
    platform::LogCapture capture(true);
    auto client = QNNetSocket::init();
    EXPECT_FALSE(client->connectToAddress(loopback4(), port, nullptr));
    EXPECT_TRUE(m_acceptor->accepted.empty());
}

TEST_F(QNNetSocketTest, DatagramsGoToTheKnownClientAddressAtTheGivenPort) {
    auto receiver = QNNetSocket::init();
    auto sink = std::make_shared<DatagramSink>();
    sink->stopAfter = 2;
    std::thread loop([&] { receiver->listenForDatagramsWithInfo({sink, 0}); });
    ASSERT_TRUE(sink->waitBegan());
    const uint16_t port = receiver->port();

    // The client socket's own port is replaced by the port asked for.
    auto peer = QNNetSocket::init();
    peer->setKnownClientAddr(loopback4(1));
    peer->setHasClientAddr(true);
    auto v4Sender = QNNetSocket::initUDPClientWithFamily(AF_INET);
    auto dualSender = QNNetSocket::initUDPClient();
    ASSERT_TRUE(v4Sender && dualSender);
    const uint8_t first[] = {9, 1, 0, 1, 0};
    EXPECT_TRUE(v4Sender->sendDatagram(first, sizeof first, peer.get(), port));
    ASSERT_TRUE(sink->waitDatagrams(1));
    const uint8_t second[] = {2, 1};
    EXPECT_TRUE(dualSender->sendDatagram(second, sizeof second, peer.get(), port)); // IPv4 from a dual stack
    loop.join(); // the delegate stopped the loop after two

    ASSERT_EQ(sink->datagrams.size(), 2u);
    EXPECT_EQ(sink->datagrams[0], Bytes(first, first + 5));
    EXPECT_EQ(sink->datagrams[1], Bytes(second, second + 2));
    EXPECT_EQ(sink->senders[0].numericHost(), "::ffff:127.0.0.1");
    EXPECT_EQ(sink->senders[0].port(), v4Sender->port());
    EXPECT_EQ(sink->senders[1].port(), dualSender->port());
    EXPECT_EQ(receiver->knownClientAddr(), sink->senders[1]);
    EXPECT_FALSE(receiver->isOpen()); // closed at the end, as the delegate asked
}

TEST_F(QNNetSocketTest, DatagramFormsAndKeepingTheSocketOpen) {
    for (auto form : {QNNetSocketDelegate::DatagramForm::Bytes, QNNetSocketDelegate::DatagramForm::Data}) {
        auto receiver = QNNetSocket::init();
        auto sink = std::make_shared<DatagramSink>();
        sink->form = form;
        sink->stopAfter = 1;
        sink->closeAtStop = false;
        std::thread loop([&] { receiver->listenForDatagramsOnPort(0, sink); });
        ASSERT_TRUE(sink->waitBegan());
        auto sender = QNNetSocket::initUDPClient();
        const uint8_t bytes[] = {6, 0, 0, 0};
        EXPECT_TRUE(sender->sendDatagram(bytes, sizeof bytes, loopback4(receiver->port())));
        loop.join();
        ASSERT_EQ(sink->datagrams.size(), 1u);
        EXPECT_EQ(sink->datagrams[0], Bytes(bytes, bytes + 4));
        EXPECT_TRUE(receiver->isOpen()); // the delegate asked to keep it
        receiver->close();
    }
}

TEST_F(QNNetSocketTest, ClosingEndsADatagramLoop) {
    auto receiver = QNNetSocket::init();
    auto sink = std::make_shared<DatagramSink>();
    std::thread loop([&] { receiver->listenForDatagramsOnPort(0, sink); });
    ASSERT_TRUE(sink->waitBegan());
    receiver->close(); // no fake time passes: the shutdown alone ends the loop
    loop.join();
    EXPECT_TRUE(receiver->waitUntilIdle(platform::kDistantFuture));
    EXPECT_FALSE(receiver->isOpen());
}

TEST_F(QNNetSocketTest, ADatagramLoopThatCannotBindEndsAndWakesThoseWaitingForIdle) {
    platform::LogCapture capture(true);
    auto holder = QNNetSocket::initUDPClient(); // holds the port, so every bind below fails
    ASSERT_TRUE(holder);
    auto receiver = QNNetSocket::init();
    auto sink = std::make_shared<DatagramSink>();
    for (int i = 0; i < 50; ++i) {
        // Waits race the loop's short life: one that starts while it runs must still end.
        std::atomic<bool> ended{false};
        std::thread waiter([&] {
            while (!ended) receiver->waitUntilIdle(platform::kDistantFuture);
        });
        receiver->listenForDatagramsOnPort(holder->port(), sink);
        ended = true;
        waiter.join();
    }
    EXPECT_TRUE(capture.contains("cannot bind datagram socket"));
    EXPECT_FALSE(receiver->isOpen());
}

TEST_F(QNNetSocketTest, SendingDatagramsNeedsASocketAndADestination) {
    auto none = QNNetSocket::init();
    const uint8_t byte = 1;
    EXPECT_FALSE(none->sendDatagram(&byte, 1, loopback4(9)));
    auto sender = QNNetSocket::initUDPClient();
    EXPECT_FALSE(sender->sendDatagram(&byte, 1, nullptr, 9)); // not a connected datagram socket
    EXPECT_EQ(QNNetSocket::initWithSocket(-1), nullptr);
}

TEST_F(QNNetSocketTest, WaitForDatagramTakesOneAndRemembersTheSender) {
    auto waiter = QNNetSocket::init();
    // Find a free port, then wait there.
    uint16_t port;
    {
        auto probe = QNNetSocket::initUDPClient();
        port = probe->port();
    }
    std::optional<Bytes> got;
    std::thread waiting([&] { got = waiter->waitForDatagramOnPort(port); });
    auto sender = QNNetSocket::initUDPClientWithFamily(AF_INET);
    const uint8_t bytes[] = {1, 2, 3};
    while (!waiter->waitingForDatagram())
        std::this_thread::yield(); // bound from then on
    EXPECT_TRUE(sender->sendDatagram(bytes, 3, loopback4(port)));
    waiting.join();
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, Bytes(bytes, bytes + 3));
    EXPECT_TRUE(waiter->hasClientAddr());
    EXPECT_EQ(waiter->knownClientAddr().port(), sender->port());
    EXPECT_FALSE(waiter->waitForDatagramError());
}

TEST_F(QNNetSocketTest, CancelEndsAWaitForDatagram) {
    auto waiter = QNNetSocket::init();
    std::optional<Bytes> got{Bytes{}};
    std::thread waiting([&] { got = waiter->waitForDatagramOnPort(0); });
    waiter->cancel(); // returns only once the wait has ended
    waiting.join();
    EXPECT_FALSE(got);
}
