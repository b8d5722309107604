// Device-side helpers of the channel and socket tests: a recording channel delegate, a
// manager listening to the double, a TCP listener on 127.0.0.1 standing for a local client,
// and frames written by hand.
#pragma once

#include "UsbTestSupport.h"

#include "usblink/QNBPeerTalkChannel.h"
#include "usblink/QNBPeerTalkDeviceManager.h"

#include <arpa/inet.h>
#include <condition_variable>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace usblink::testing {

class ChannelRecorder : public QNBPeerTalkChannelDelegate {
  public:
    void peerTalkChannelConnected(const std::shared_ptr<QNBPeerTalkChannel>&) override { bump(connected); }
    void peerTalkChannelDisconnected(const std::shared_ptr<QNBPeerTalkChannel>&) override {
        bump(disconnected);
    }
    void peerTalkChannelConnectionFailed(const std::shared_ptr<QNBPeerTalkChannel>&,
                                         const platform::Error& e) override {
        std::lock_guard lock(mutex);
        failures.push_back(e);
        cv.notify_all();
    }
    void peerTalkChannelListeningFailed(const std::shared_ptr<QNBPeerTalkChannel>&,
                                        const platform::Error&) override {}
    bool peerTalkChannelDidReceiveBytes(const std::shared_ptr<QNBPeerTalkChannel>&, const uint8_t* b,
                                        size_t n) override {
        std::lock_guard lock(mutex);
        bytes.insert(bytes.end(), b, b + n);
        ++deliveries;
        cv.notify_all();
        return true;
    }
    void peerTalkChannelDidReceiveDatagram(const std::shared_ptr<QNBPeerTalkChannel>&,
                                           std::span<const uint8_t> d) override {
        std::lock_guard lock(mutex);
        datagrams.emplace_back(d.begin(), d.end());
        cv.notify_all();
    }
    bool waitFor(const std::function<bool()>& pred) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(10), pred);
    }
    int connectedCount() {
        std::lock_guard lock(mutex);
        return connected;
    }

    std::mutex mutex;
    std::condition_variable cv;
    int connected = 0;
    int disconnected = 0;
    int deliveries = 0;
    std::vector<platform::Error> failures;
    std::vector<uint8_t> bytes;
    std::vector<std::vector<uint8_t>> datagrams;

  private:
    void bump(int& counter) {
        std::lock_guard lock(mutex);
        ++counter;
        cv.notify_all();
    }
};

// Device 5 attached to the double; its connections are kept, never read unless asked.
struct AttachedDevice {
    DoubleFixture f;
    std::shared_ptr<QNBPeerTalkDeviceManager> manager;
    std::mutex mutex;
    std::vector<int> fds;

    explicit AttachedDevice(std::set<uint16_t> ports, int64_t id = 5) {
        f.muxd->registerDevice(static_cast<uint32_t>(id), "serial", std::move(ports),
                               [this](uint16_t, int fd) {
                                   std::lock_guard lock(mutex);
                                   fds.push_back(fd);
                               });
        manager = QNBPeerTalkDeviceManager::create();
        manager->startListeningForDevices();
        EXPECT_TRUE(pumpUntil([&] { return manager->hasDeviceID(id); }));
    }
    ~AttachedDevice() {
        for (int fd : fds)
            ::close(fd);
    }
    int lastFd() {
        std::lock_guard lock(mutex);
        return fds.empty() ? -1 : fds.back();
    }
};

inline uint16_t freeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t length = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    ::close(fd);
    return ntohs(a.sin_port);
}

// A local client's listener on 127.0.0.1.
class LoopbackListener {
  public:
    explicit LoopbackListener(uint16_t port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(m_fd, 8), 0);
    }
    ~LoopbackListener() {
        if (client >= 0) ::close(client);
        ::close(m_fd);
    }
    void accept() { client = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC); }
    int client = -1;

  private:
    int m_fd;
};

inline std::vector<uint8_t> frameBytes(uint32_t type, uint32_t tag, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> out;
    for (uint32_t v : {1u, type, tag, static_cast<uint32_t>(payload.size())})
        for (int i = 3; i >= 0; --i)
            out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// A type-100/101 payload: the inner length (as given), then the bytes.
inline std::vector<uint8_t> innerPayload(uint32_t n, const std::string& bytes) {
    std::vector<uint8_t> out = {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                                static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
    out.insert(out.end(), bytes.begin(), bytes.end());
    return out;
}

inline void writeAll(int fd, const std::vector<uint8_t>& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        ASSERT_GT(n, 0);
        sent += static_cast<size_t>(n);
    }
}

// Real-time wait for bytes on a descriptor (the device side of a connection).
inline bool readable(int fd, int ms = 10000) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

} // namespace usblink::testing
