#include "DeviceTestSupport.h"

#include "platform/core/Log.h"
#include "usblink/PTChannel.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace usblink;
using usblink::testing::DoubleFixture;
using usblink::testing::pumpUntil;

namespace {

struct Frame {
    uint32_t type;
    uint32_t tag;
    std::optional<std::vector<uint8_t>> payload;
};

class Recorder : public PTChannelDelegate {
  public:
    void ioFrameChannelDidReceiveFrameOfType(const std::shared_ptr<PTChannel>&, uint32_t type, uint32_t tag,
                                             const std::shared_ptr<PTData>& payload) override {
        std::lock_guard lock(mutex);
        frames.push_back({type, tag,
                          payload ? std::optional(std::vector<uint8_t>(payload->data(),
                                                                       payload->data() + payload->length()))
                                  : std::nullopt});
        cv.notify_all();
    }
    bool respondsToDidEnd() const override { return true; }
    void ioFrameChannelDidEndWithError(const std::shared_ptr<PTChannel>&,
                                       const OptionalError& error) override {
        std::lock_guard lock(mutex);
        ++ends;
        endError = error;
        cv.notify_all();
    }
    bool waitFor(const std::function<bool()>& pred) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(10), pred);
    }

    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Frame> frames;
    int ends = 0;
    OptionalError endError;
};

// A TCP peer on 127.0.0.1 at a free port, playing the device.
class Peer {
  public:
    Peer() {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(m_listen, 4), 0);
        socklen_t length = sizeof a;
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&a), &length);
        port = ntohs(a.sin_port);
    }
    ~Peer() {
        if (fd >= 0) ::close(fd);
        ::close(m_listen);
    }
    void accept() { fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC); }
    void send(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    uint16_t port = 0;
    int fd = -1;

  private:
    int m_listen = -1;
};

std::vector<uint8_t> header(uint32_t version, uint32_t type, uint32_t tag, uint32_t size) {
    std::vector<uint8_t> out;
    for (uint32_t v : {version, type, tag, size})
        for (int i = 3; i >= 0; --i)
            out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return out;
}

std::vector<uint8_t> frame(uint32_t type, uint32_t tag, const std::string& payload) {
    auto out = header(1, type, tag, static_cast<uint32_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

struct Connected {
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::shared_ptr<PTChannel> channel = PTChannel::channelWithDelegate(recorder);
    Peer peer;
    std::shared_ptr<PTAddress> address;
    Connected() {
        OptionalError error;
        channel->connectToPort(peer.port, INADDR_LOOPBACK,
                               [&](OptionalError e, std::shared_ptr<PTAddress> a) {
                                   error = e;
                                   address = a;
                               });
        EXPECT_FALSE(error);
        peer.accept();
    }
};

} // namespace

TEST(PTChannel, DeliversFramesInOrderAndAnEmptyPayloadAsNone) {
    Connected c;
    EXPECT_EQ(c.channel->connState(), PTChannel::kConnStateConnected);
    EXPECT_EQ(*c.address->name(), "127.0.0.1");
    auto bytes = frame(100, 1, "abc");
    auto empty = frame(7, 2, "");
    bytes.insert(bytes.end(), empty.begin(), empty.end());
    c.peer.send(bytes);
    ASSERT_TRUE(c.recorder->waitFor([&] { return c.recorder->frames.size() == 2; }));
    EXPECT_EQ(c.recorder->frames[0].type, 100u);
    EXPECT_EQ(c.recorder->frames[0].tag, 1u);
    EXPECT_EQ(*c.recorder->frames[0].payload, std::vector<uint8_t>({'a', 'b', 'c'}));
    EXPECT_EQ(c.recorder->frames[1].type, 7u);
    EXPECT_FALSE(c.recorder->frames[1].payload);
    c.channel->close();
}

TEST(PTChannel, AVersionOtherThanOneEndsTheChannelWithAProtocolError) {
    Connected c;
    platform::LogCapture log(true);
    c.peer.send(header(2, 100, 1, 0));
    ASSERT_TRUE(c.recorder->waitFor([&] { return c.recorder->ends == 1; }));
    ASSERT_TRUE(c.recorder->endError);
    EXPECT_EQ(c.recorder->endError->domain, PTProtocolErrorDomain);
    EXPECT_EQ(c.recorder->endError->code, 0);
    EXPECT_EQ(c.channel->connState(), PTChannel::kConnStateNone);
    EXPECT_TRUE(c.recorder->frames.empty());
}

TEST(PTChannel, AHugeSizeFieldIsRefusedBeforeAnyAllocationAcceptedOrNot) {
    for (uint32_t size : {0xFFFFFFF0u, 16u * 1024 * 1024 + 1}) {
        Connected c;
        platform::LogCapture log(true);
        c.peer.send(header(1, 100, 1, size));
        ASSERT_TRUE(c.recorder->waitFor([&] { return c.recorder->ends == 1; }));
        ASSERT_TRUE(c.recorder->endError);
        EXPECT_EQ(c.recorder->endError->domain, PTProtocolErrorDomain);
        EXPECT_EQ(log.count("refused a frame announcing"), 1u);
    }
}

TEST(PTChannel, AStreamEndingInsideAHeaderIsACleanEnd) {
    Connected c;
    auto h = header(1, 100, 1, 4);
    c.peer.send(std::vector<uint8_t>(h.begin(), h.begin() + 9));
    ::shutdown(c.peer.fd, SHUT_WR);
    ASSERT_TRUE(c.recorder->waitFor([&] { return c.recorder->ends == 1; }));
    EXPECT_FALSE(c.recorder->endError);
}

TEST(PTChannel, ASecondConnectIsRefusedWithEPERM) {
    Connected c;
    OptionalError tcpError;
    c.channel->connectToPort(c.peer.port, INADDR_LOOPBACK, [&](OptionalError e, auto) { tcpError = e; });
    ASSERT_TRUE(tcpError);
    EXPECT_EQ(*tcpError, platform::Error::posix(EPERM));
    OptionalError usbError;
    c.channel->connectToPort(6004, PTUSBHub::create("/nonexistent"), 1,
                             [&](OptionalError e) { usbError = e; });
    ASSERT_TRUE(usbError);
    EXPECT_EQ(*usbError, platform::Error::posix(EPERM));
    c.channel->close();
}

TEST(PTChannel, FramesOfAConnectionNoLongerCurrentAreReadAndDropped) {
    Connected c;
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    auto replacement =
        dispatch::dispatch_io_create(dispatch::DISPATCH_IO_STREAM, fds[0], c.channel->protocol()->queue(),
                                     [fd = fds[0]](int) { ::close(fd); });
    // The old connection's frames after the switch must not be delivered.
    platform::Error error;
    ASSERT_TRUE(c.channel->startReadingFromConnectedChannel(replacement, &error));
    c.peer.send(frame(100, 1, "old"));
    auto bytes = frame(100, 2, "new");
    ASSERT_EQ(::write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    ASSERT_TRUE(c.recorder->waitFor([&] { return !c.recorder->frames.empty(); }));
    EXPECT_EQ(c.recorder->frames[0].tag, 2u);
    c.channel->close();
    ::close(fds[1]);
    EXPECT_EQ(c.recorder->frames.size(), 1u);
}

TEST(PTChannel, AChannelClosedWhileItsUSBConnectIsPendingClosesTheLateConnectionUnread) {
    DoubleFixture f;
    std::atomic<int> deviceFd{-1};
    f.muxd->registerDevice(2, "s", {47004}, [&](uint16_t, int fd) { deviceFd = fd; });
    auto recorder = std::make_shared<Recorder>();
    auto channel = PTChannel::channelWithDelegate(recorder);
    OptionalError result;
    bool called = false;
    channel->connectToPort(47004, PTUSBHub::create(f.path()), 2, [&](OptionalError e) {
        called = true;
        result = e;
    });
    channel->close();
    ASSERT_TRUE(pumpUntil([&] { return called && deviceFd.load() >= 0; }));
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, platform::Error::posix(ECANCELED));
    // The connection's cleanup runs on the main queue: keep serving it.
    ASSERT_TRUE(pumpUntil([&] { return usblink::testing::readable(deviceFd, 0); }));
    char byte;
    EXPECT_EQ(::read(deviceFd, &byte, 1), 0); // the device sees the connection closed
    ::close(deviceFd);
}

// A bad frame makes the channel close its USB connection itself: that connection ended cleanly,
// so the end carries no error (the TCP road reports the protocol error, as above).
TEST(PTChannel, AUSBChannelClosedForABadFrameEndsWithTheConnectionsCleanEnd) {
    DoubleFixture f;
    std::atomic<int> deviceFd{-1};
    f.muxd->registerDevice(2, "s", {47005}, [&](uint16_t, int fd) { deviceFd = fd; });
    auto recorder = std::make_shared<Recorder>();
    auto channel = PTChannel::channelWithDelegate(recorder);
    bool called = false;
    OptionalError result;
    channel->connectToPort(47005, PTUSBHub::create(f.path()), 2, [&](OptionalError e) {
        called = true;
        result = e;
    });
    ASSERT_TRUE(pumpUntil([&] { return called && deviceFd.load() >= 0; }));
    ASSERT_FALSE(result);
    platform::LogCapture log(true);
    const auto bad = header(2, 100, 1, 0);
    ASSERT_EQ(::send(deviceFd, bad.data(), bad.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bad.size()));
    ASSERT_TRUE(pumpUntil([&] {
        std::lock_guard lock(recorder->mutex);
        return recorder->ends == 1;
    }));
    EXPECT_FALSE(recorder->endError) << recorder->endError->description();
    EXPECT_EQ(channel->connState(), PTChannel::kConnStateNone);
    ::close(deviceFd);
}

TEST(PTChannel, ListensAndHandsEachAcceptedConnectionToItsDelegate) {
    struct Acceptor : Recorder {
        bool respondsToDidAccept() const override { return true; }
        void ioFrameChannelDidAcceptConnection(const std::shared_ptr<PTChannel>&,
                                               const std::shared_ptr<PTChannel>& c,
                                               const std::shared_ptr<PTAddress>& a) override {
            std::lock_guard lock(mutex);
            accepted = c;
            from = a->description();
            cv.notify_all();
        }
        std::shared_ptr<PTChannel> accepted;
        std::string from;
    };
    auto acceptor = std::make_shared<Acceptor>();
    auto listener = PTChannel::channelWithDelegate(acceptor);
    uint16_t port = 0;
    {
        Peer borrowed; // a free port number, released for the listener
        port = borrowed.port;
    }
    OptionalError error = platform::Error::posix(EINVAL);
    listener->listenOnPort(port, INADDR_LOOPBACK, [&](OptionalError e) { error = e; });
    ASSERT_FALSE(error) << error->description();
    EXPECT_TRUE(listener->isListening());
    int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    auto bytes = frame(101, 1, "x");
    ASSERT_EQ(::send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    ASSERT_TRUE(acceptor->waitFor([&] { return acceptor->accepted && acceptor->frames.size() == 1; }));
    EXPECT_EQ(acceptor->from.rfind("127.0.0.1:", 0), 0u);
    acceptor->accepted->close();
    listener->close();
    ASSERT_TRUE(
        acceptor->waitFor([&] { return acceptor->ends == 2; })); // the accepted connection and the listener
    EXPECT_FALSE(listener->isListening());
    ::close(client);
}

// Data and dictionaries to dispatch data and back: the bytes are referenced, not copied, and
// live as long as what refers to them; what cannot be written or read gives nothing.
TEST(PTData, ConversionsReferenceTheirBytesAndRefuseWhatTheyCannotConvert) {
    platform::LogCapture log(true);
    auto bytes = std::make_shared<const std::vector<uint8_t>>(std::vector<uint8_t>{1, 2, 3});
    std::weak_ptr<const std::vector<uint8_t>> watch = bytes;
    auto referencing = createReferencingDispatchData(std::move(bytes));
    ASSERT_TRUE(referencing);
    EXPECT_EQ(referencing->size(), 3u);
    EXPECT_EQ(referencing->regions().front()->bytes, watch.lock()->data()); // not copied
    EXPECT_FALSE(watch.expired());
    auto joined =
        dispatch::dispatch_data_create_concat(referencing, dispatch::dispatch_data_create_with_bytes({4}));
    referencing.reset();
    EXPECT_FALSE(watch.expired()); // the joined data still uses the bytes
    auto mapped = dataWithContentsOfDispatchData(joined);
    joined.reset();
    ASSERT_TRUE(mapped);
    EXPECT_EQ(std::vector<uint8_t>(mapped->data(), mapped->data() + mapped->length()),
              (std::vector<uint8_t>{1, 2, 3, 4}));
    mapped.reset();
    EXPECT_TRUE(watch.expired());
    EXPECT_FALSE(dataWithContentsOfDispatchData(nullptr));
    EXPECT_FALSE(createReferencingDispatchData(std::shared_ptr<const std::vector<uint8_t>>()));

    const cf::Dictionary dictionary{{"Connected", cf::Value("Value")}};
    auto plist = createReferencingDispatchData(dictionary);
    ASSERT_TRUE(plist);
    const auto plistBytes = plist->copyBytes();
    EXPECT_EQ(std::string(plistBytes.begin(), plistBytes.begin() + 8), "bplist00");
    auto back = dictionaryWithContentsOfDispatchData(plist);
    ASSERT_TRUE(back);
    EXPECT_EQ(cf::Value(*back), cf::Value(dictionary));
    // A key no property list can hold.
    EXPECT_FALSE(createReferencingDispatchData(cf::Dictionary{{std::string("a\0b", 3), cf::Value(1)}}));
    EXPECT_TRUE(log.contains("Failed to serialize property list: "));
    EXPECT_FALSE(dictionaryWithContentsOfDispatchData(dispatch::dispatch_data_create_with_bytes({'x', 'y'})));
    EXPECT_FALSE(dictionaryWithContentsOfDispatchData(nullptr));
}

TEST(PTAddress, DescribesItselfAsNameColonPort) {
    in_addr a{};
    a.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(PTAddress(net::SocketAddress::ipv4(a, 6004)).description(), "127.0.0.1:6004");
    EXPECT_EQ(PTAddress(net::SocketAddress()).description(), "(?)");
}
