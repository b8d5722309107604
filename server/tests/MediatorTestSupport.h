// What the mediator's and the shell's unit tests share: a socket over memory whose reads block
// until it is closed, sessions that record what reaches them, and a mediator made of fakes
// (sockets, resolver, virtual time for the invite wait, work run inline).
#pragma once

#include "net/QNNetSocketProtocol.h"
#include "server/ScreenServer.h"
#include "server/ScreenServerMediator.h"

#include "platform/core/Clock.h"
#include "usblink/QNBPeerTalkDeviceManager.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace server::testing {

// A socket of the protocol over memory. Reads wait for bytes fed to it or for its close;
// writes and datagrams are recorded.
class MemorySocket final : public net::QNNetSocketProtocol {
  public:
    struct Datagram {
        std::vector<uint8_t> bytes;
        net::SocketAddress to;
        uint16_t port = 0;
    };

    explicit MemorySocket(net::SocketAddress peer = {}, int family = AF_INET6)
        : m_peer(peer), m_family(family) {}

    void feed(const std::vector<uint8_t>& bytes) {
        std::lock_guard lock(m_mutex);
        m_input.insert(m_input.end(), bytes.begin(), bytes.end());
        m_changed.notify_all();
    }
    std::vector<uint8_t> written() const {
        std::lock_guard lock(m_mutex);
        return m_written;
    }
    std::vector<Datagram> datagrams() const {
        std::lock_guard lock(m_mutex);
        return m_datagrams;
    }
    bool closed() const {
        std::lock_guard lock(m_mutex);
        return m_closed;
    }
    int family() const { return m_family; }
    uint16_t listenedPort() const {
        std::lock_guard lock(m_mutex);
        return m_listenedPort;
    }
    bool failListen = false;
    // A connect that never completes: isConnected stays NO (the socket stays open).
    std::atomic<bool> neverConnects{false};
    // Datagram sends answer NO.
    std::atomic<bool> failSends{false};
    // The port of the last connect (0 before any).
    uint16_t connectedPort() const {
        std::lock_guard lock(m_mutex);
        return m_connectedPort;
    }

    bool getClientBytes(void* buffer, size_t length) override {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_closed || m_input.size() >= length; });
        if (m_input.size() < length) return false;
        std::copy(m_input.begin(), m_input.begin() + static_cast<long>(length),
                  static_cast<uint8_t*>(buffer));
        m_input.erase(m_input.begin(), m_input.begin() + static_cast<long>(length));
        return true;
    }
    bool getServerBytes(void* buffer, size_t length) override { return getClientBytes(buffer, length); }
    bool sendBytes(const void* bytes, size_t length) override {
        std::lock_guard lock(m_mutex);
        if (m_closed) return false;
        auto* p = static_cast<const uint8_t*>(bytes);
        m_written.insert(m_written.end(), p, p + length);
        return true;
    }
    bool sendBytes(const void* bytes, size_t length, double) override { return sendBytes(bytes, length); }
    void close() override {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        m_changed.notify_all();
    }
    void cancel() override { close(); }
    bool connectToHost(const std::string&, uint16_t, platform::Error*) override { return false; }
    bool connectToAddress(const net::SocketAddress&, uint16_t port, platform::Error*) override {
        std::lock_guard lock(m_mutex);
        m_connectedPort = port;
        return !neverConnects && !m_closed;
    }
    bool listenOnPort(uint16_t port, std::weak_ptr<net::QNNetSocketDelegate>,
                      platform::Error* error) override {
        std::lock_guard lock(m_mutex);
        m_listenedPort = port;
        if (failListen && error) *error = platform::Error::posix(EADDRINUSE);
        return !failListen;
    }
    bool sendDatagram(const void* bytes, size_t length, const net::QNNetSocketProtocol* clientSocket,
                      uint16_t toPort) override {
        auto* p = static_cast<const uint8_t*>(bytes);
        net::SocketAddress to = clientSocket ? clientSocket->knownClientAddr() : net::SocketAddress();
        std::lock_guard lock(m_mutex);
        m_datagrams.push_back({std::vector<uint8_t>(p, p + length), to, toPort});
        return true;
    }
    bool sendDatagram(const void* bytes, size_t length, const net::SocketAddress& clientAddr) override {
        if (failSends) return false;
        auto* p = static_cast<const uint8_t*>(bytes);
        std::lock_guard lock(m_mutex);
        m_datagrams.push_back({std::vector<uint8_t>(p, p + length), clientAddr, clientAddr.port()});
        return true;
    }
    void listenForDatagramsWithInfo(const net::DatagramListenInfo&) override {}
    void listenForDatagramsOnPort(uint16_t port, std::weak_ptr<net::QNNetSocketDelegate>) override {
        std::lock_guard lock(m_mutex);
        m_listenedPort = port;
    }
    bool isConnected() const override { return !neverConnects && !closed(); }
    bool isOpen() const override { return !closed(); }
    bool isLoopback() const override { return false; }
    bool hasClientAddr() const override {
        std::lock_guard lock(m_mutex);
        return m_hasClientAddr;
    }
    void setHasClientAddr(bool has) override {
        std::lock_guard lock(m_mutex);
        m_hasClientAddr = has;
    }
    net::SocketAddress knownClientAddr() const override {
        std::lock_guard lock(m_mutex);
        return m_peer;
    }
    void setKnownClientAddr(const net::SocketAddress& address) override {
        std::lock_guard lock(m_mutex);
        m_peer = address;
    }
    std::shared_ptr<net::QNNetSocketDelegate> delegate() const override { return nullptr; }
    void setDelegate(std::weak_ptr<net::QNNetSocketDelegate> delegate) override {
        std::lock_guard lock(m_mutex);
        m_delegate = std::move(delegate);
    }
    std::shared_ptr<net::QNNetSocketDelegate> delegateSet() const {
        std::lock_guard lock(m_mutex);
        return m_delegate.lock();
    }
    std::optional<platform::Error> waitForDatagramError() const override { return std::nullopt; }
    bool isListening() const override { return false; }

  private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<uint8_t> m_input;
    std::vector<uint8_t> m_written;
    std::vector<Datagram> m_datagrams;
    net::SocketAddress m_peer;
    int m_family;
    bool m_closed = false;
    bool m_hasClientAddr = false;
    uint16_t m_listenedPort = 0;
    uint16_t m_connectedPort = 0;
    std::weak_ptr<net::QNNetSocketDelegate> m_delegate;
};

// A session that records the datagrams routed to it and activates nothing.
class RecordingServer : public ScreenServer {
  public:
    explicit RecordingServer(uint16_t port) : ScreenServer(port) {}
    void datagramReceivedForSocket(const Socket& socket, std::span<const uint8_t> data) override {
        (void)socket;
        std::lock_guard lock(m_mutex);
        m_datagrams.emplace_back(data.begin(), data.end());
    }
    void activateOrChangeDisplayOnGlobalQueue(const net::QNClientHandshake&, bool) override {}
    std::vector<std::vector<uint8_t>> datagrams() const {
        std::lock_guard lock(m_mutex);
        return m_datagrams;
    }

  private:
    mutable std::mutex m_mutex;
    std::vector<std::vector<uint8_t>> m_datagrams;
};

// A deadline for waits that end on an event (the fake clock stands still meanwhile).
inline platform::TimePoint soon() {
    return platform::now() + platform::seconds(10);
}

// IPv4 and IPv6 addresses from text.
net::SocketAddress v4(const std::string& text, uint16_t port = 0);
net::SocketAddress v6(const std::string& text, uint16_t port = 0);

// A mediator made of fakes. Virtual time runs only in the invite wait's sleeps; hooks run
// when virtual time reaches their moment.
class MediatorFixture {
  public:
    MediatorFixture();
    ~MediatorFixture();

    std::shared_ptr<ScreenServerMediator> mediator;
    std::vector<std::shared_ptr<RecordingServer>> servers;
    std::map<std::string, net::SocketAddress> ipv4Names, ipv6Names;  // the resolver's answers
    std::vector<std::shared_ptr<MemorySocket>> datagramSockets; // every UDP socket made, in order
    std::vector<double> datagramSocketTimes;                    // virtual time of each making
    std::vector<ScreenServerMediator::Block> sidebandLoops;     // receive loops, not yet run
    // The sessions' distributed posts (names), from any thread.
    std::vector<std::string> postNames() const {
        std::lock_guard lock(m_posts->mutex);
        return m_posts->names;
    }
    std::shared_ptr<MemorySocket> listener, inSideband;
    // The USB road: a device manager that is never started (the tests attach and detach its
    // devices), every USB socket made, in order, and the supervision loops, not yet run.
    struct UsbSocket {
        std::shared_ptr<MemorySocket> socket;
        bool datagram = false;
        uint16_t port = 0;
        int64_t deviceID = 0;
        std::string tag;
        double madeAt = 0; // virtual time
    };
    std::shared_ptr<usblink::QNBPeerTalkDeviceManager> usbManager;
    std::vector<UsbSocket> usbSockets() const {
        std::lock_guard lock(m_usbMutex);
        return m_usbSockets;
    }
    std::vector<ScreenServerMediator::Block> usbLoops;
    // Called on each USB socket as it is made (say, to make a wake-up socket never connect).
    std::function<void(UsbSocket&)> onUsbSocket;
    double virtualTime = 0;                                      // seconds slept by the invite wait
    double wall = 800'000'000.0;                                 // the wall clock
    std::vector<std::pair<double, std::function<void()>>> hooks; // run once virtualTime reaches them

    // Invitations sent: datagram sockets that sent something, with their datagrams.
    std::vector<MemorySocket::Datagram> invitations() const;
    // A device connecting from the address: its socket, accepted.
    std::shared_ptr<MemorySocket> connect(const net::SocketAddress& peer);
    cf::Value request(const std::string& host, const std::string& serviceKey = "key",
                      const std::string& displayName = "Display") const;
    // Closes every client socket and waits for the sessions' read loops to end.
    void closeAll();

  private:
    std::vector<std::shared_ptr<MemorySocket>> m_clients;
    mutable std::mutex m_usbMutex;
    std::vector<UsbSocket> m_usbSockets;
    // Shared with the sessions' posters: a post the main queue delivers after the fixture has
    // gone (the next test runs that queue) lands here, never in a freed fixture.
    struct Posts {
        std::mutex mutex;
        std::vector<std::string> names;
    };
    const std::shared_ptr<Posts> m_posts = std::make_shared<Posts>();
};

} // namespace server::testing
