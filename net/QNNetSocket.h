// The network socket: the TCP listener of the main stream, each accepted client
// connection, the sideband's UDP sockets and outgoing connections, over BSD sockets.
//
// Linux rules kept here: every descriptor is close-on-exec, sends use MSG_NOSIGNAL (and the
// process ignores SIGPIPE), dual-stack sockets clear IPV6_V6ONLY explicitly, waits use poll
// through the process clock. A blocked thread is woken by cancel (a flag and shutdown); the
// descriptor itself is closed only once no thread is inside an operation on it, so a
// descriptor number is never reused under a blocked reader.
#pragma once

#include "net/QNNetSocketProtocol.h"

#include "platform/core/Clock.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/uio.h>
#include <thread>
#include <vector>

namespace net {

// Receives byte counts of a socket's successful reads and sends.
class BandwidthMeter {
  public:
    virtual ~BandwidthMeter() = default;
    virtual void reportBytesReceived(size_t count) = 0;
    virtual void reportBytesSent(size_t count) = 0;
};

class QNNetSocket final : public QNNetSocketProtocol {
  public:
    // Figures of the read time-out: silence is counted in steps of 5 s and a read gives up
    // after 45 s without a byte (the client's heartbeat comes every 10 s).
    static constexpr double kReadWaitStep = 5.0;
    static constexpr double kReadTimeout = 45.0;
    static constexpr size_t kMaxDatagramSize = 65536;

    // Creation (descriptor none, flags clear). family is a native family, AF_INET6 by default.
    static std::shared_ptr<QNNetSocket> init();
    static std::shared_ptr<QNNetSocket> initWithFamily(int family);
    // A client socket around an accepted descriptor, which it owns from then on; null (and
    // the descriptor closed) when the descriptor's own address cannot be read.
    static std::shared_ptr<QNNetSocket> initWithSocket(int descriptor);
    // A UDP socket bound to the family's wildcard address at a free port; null on failure.
    static std::shared_ptr<QNNetSocket> initUDPClientWithFamily(int family);
    static std::shared_ptr<QNNetSocket> initUDPClient();
    ~QNNetSocket() override;

    QNNetSocket(const QNNetSocket&) = delete;
    QNNetSocket& operator=(const QNNetSocket&) = delete;

    static bool setNonBlockingOnSocket(int descriptor);
    static bool setTCPNoDelayOnSocket(int descriptor, bool option);
    bool setTCPNoDelayWithOption(bool option);
    // Resolves host (numeric or by name) for a native family and socket type.
    static bool getAddressForHost(const std::string& host, int family, int sockType, SocketAddress& storage);
    // An IPv4-mapped IPv6 address as plain IPv4; any other address unchanged.
    static SocketAddress convertDualStack(const SocketAddress& address);

    // QNNetSocketProtocol
    bool connectToHost(const std::string& host, uint16_t port, platform::Error* error) override;
    bool connectToAddress(const SocketAddress& address, uint16_t port, platform::Error* error) override;
    bool listenOnPort(uint16_t port, std::weak_ptr<QNNetSocketDelegate> delegate,
                      platform::Error* error) override;
    bool getClientBytes(void* buffer, size_t length) override;
    bool getServerBytes(void* buffer, size_t length) override;
    bool sendBytes(const void* bytes, size_t length) override;
    bool sendBytes(const void* bytes, size_t length, double timeout) override;
    bool sendBytesWithPayload(const void* head, size_t headLength, const void* payload, size_t payloadLength,
                              double payloadTimeout) override;
    void close() override;
    bool sendDatagram(const void* bytes, size_t length, const QNNetSocketProtocol* clientSocket,
                      uint16_t toPort) override;
    bool sendDatagram(const void* bytes, size_t length, const SocketAddress& clientAddr) override;
    // With waitForBuffer, a send refused for lack of buffer space (ENOBUFS) is tried again.
    bool sendDatagram(const void* bytes, size_t length, const SocketAddress& clientAddr, bool waitForBuffer);
    void listenForDatagramsWithInfo(const DatagramListenInfo& info) override;
    void listenForDatagramsOnPort(uint16_t port, std::weak_ptr<QNNetSocketDelegate> delegate) override;
    void cancel() override;
    bool isConnected() const override;
    bool isOpen() const override;
    bool isLoopback() const override;
    bool hasClientAddr() const override;
    void setHasClientAddr(bool hasClientAddr) override;
    SocketAddress knownClientAddr() const override;
    void setKnownClientAddr(const SocketAddress& address) override;
    std::shared_ptr<QNNetSocketDelegate> delegate() const override;
    void setDelegate(std::weak_ptr<QNNetSocketDelegate> delegate) override;
    std::optional<platform::Error> waitForDatagramError() const override;
    // Always false: the loops keep their own running mark, which only they read.
    bool isListening() const override { return false; }

    // Receives one datagram on a socket of its own bound at port; the sender becomes the
    // known client address. Null when cancelled or on failure (waitForDatagramError).
    std::optional<std::vector<uint8_t>> waitForDatagramOnPort(uint16_t port);

    // True while waitForDatagramOnPort has its socket bound and waits.
    bool waitingForDatagram() const;
    bool cancelled() const { return m_cancelled.load(); }
    int descriptor() const; // -1 when none
    int family() const;
    bool isServerSocket() const;
    bool isClientSocket() const;
    int64_t tag() const;
    void setTag(int64_t tag);
    std::shared_ptr<BandwidthMeter> bandwidthMeter() const;
    void setBandwidthMeter(std::shared_ptr<BandwidthMeter> meter);
    bool useCopyForDatagrams() const;
    void setUseCopyForDatagrams(bool useCopy);
    uint16_t port() const;

    // Waits (on the process clock) until no loop or blocked operation uses the socket's
    // descriptor any more; true when that happened before the deadline.
    bool waitUntilIdle(platform::TimePoint deadline) const;

  private:
    explicit QNNetSocket(int family);

    // One operation that uses the descriptor: keeps it from being closed under the caller.
    class Use;
    // Returns the descriptor with a use taken, or -1 when none is open.
    int beginUse();
    void endUse();
    // Takes the descriptor, or closes it now when no operation uses it.
    void internalClose();
    // Clears the loops' running mark and wakes waitUntilIdle.
    void endListening();
    void closeDescriptorLocked(std::unique_lock<std::mutex>& lock);
    int adoptDescriptor(int descriptor);

    bool readExactly(void* buffer, size_t length, bool serverSide);
    bool waitReadable(int fd, platform::TimePoint& lastBytes, int& silentSteps, bool serverSide);
    // Posts a latency report to the delegate on the main queue; false when it takes none.
    bool reportLatency(double latency);
    bool sendBackOff(int fd);
    // Writes the pieces in order, as few system calls as the socket's buffer allows.
    bool sendPieces(iovec* pieces, size_t count);
    void acceptLoop(std::weak_ptr<QNNetSocketDelegate> delegate);
    void handleAccepted(int client, const SocketAddress& peer,
                        const std::weak_ptr<QNNetSocketDelegate>& delegate);
    int openDatagramSocket(int& family, uint16_t port);
    void datagramLoop(int fd, const std::weak_ptr<QNNetSocketDelegate>& delegate, bool& closeAtEnd);
    bool deliverDatagram(const std::shared_ptr<QNNetSocketDelegate>& delegate, std::span<const uint8_t> data,
                         const SocketAddress& from, bool& closeAtEnd);
    bool refuseIfInUse();
    bool fail(platform::Error* error, const char* text, int code);

    mutable std::mutex m_mutex; // guards the fields below (never held across a blocking call)
    mutable std::condition_variable m_idle;
    int m_sock = -1;
    int m_closePending = -1; // taken descriptor waiting for its last user to leave
    int m_uses = 0;
    int m_family;
    bool m_isServerSocket = false;
    bool m_isClientSocket = false;
    SocketAddress m_knownClientAddr;
    bool m_hasClientAddr = false;
    int64_t m_tag = 0;
    std::weak_ptr<QNNetSocketDelegate> m_delegate;
    std::shared_ptr<BandwidthMeter> m_bandwidthMeter;
    bool m_useCopyForDatagrams = false;
    bool m_waitingForDatagram = false;
    int m_waitDescriptor = -1;
    std::optional<platform::Error> m_waitForDatagramError;
    uint16_t m_port = 0;

    std::atomic<bool> m_cancelled{false};
    std::atomic<bool> m_isListening{false};
    std::atomic<bool> m_clientLatencyReported{false};
    std::atomic<bool> m_serverLatencyReported{false};
    std::atomic<std::thread::id> m_backOffThread{}; // the thread serving the run loop in a send back-off
    std::thread m_acceptThread;
};

} // namespace net
