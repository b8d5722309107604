// A socket over one device channel to one TCP port of a USB-attached device, answering the
// screen server's socket operations: stream bytes arrive in frames of type 100 and are kept
// in a 10 MiB ring that the session's reads drain; datagrams are frames of type 101.
#pragma once

#include "net/QNNetSocketProtocol.h"
#include "usblink/QNBPeerTalkChannel.h"
#include "usblink/QNBRingBuffer.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace usblink {

class QNBPeerTalkDeviceManager;

inline constexpr char QNBPeerTalkNetSocketErrorDomain[] = "QNBPeerTalkNetSocketErrorDomain";

inline constexpr uint16_t kUSBMainDataTrafficPort = 6004;
inline constexpr uint16_t kUSBClientSidebandPort = 6005;
inline constexpr uint16_t kUSBServerSidebandPort = 6006;
inline constexpr uint16_t kUSBClientWakeupPort = 6007;

class QNBPeerTalkNetSocket final : public net::QNNetSocketProtocol, public QNBPeerTalkChannelDelegate {
  public:
    static constexpr size_t kReadBufferCapacity = 10 * 1024 * 1024;
    // How long a connect waits for the channel to leave Connecting.
    static constexpr double kConnectWait = 2.0;
    // How long a delivery waits for room in a full ring before the channel fails.
    static constexpr double kFullRingWait = 2.0;

    // manager null: the process's device manager, asked at the first connect.
    static std::shared_ptr<QNBPeerTalkNetSocket>
    initWithPort(uint16_t port, std::optional<int64_t> deviceID,
                 std::shared_ptr<QNBPeerTalkDeviceManager> manager = {});
    static std::shared_ptr<QNBPeerTalkNetSocket>
    initUDPWithPort(uint16_t port, std::optional<int64_t> deviceID,
                    std::shared_ptr<QNBPeerTalkDeviceManager> manager = {});
    static std::shared_ptr<QNBPeerTalkNetSocket> init(std::shared_ptr<QNBPeerTalkDeviceManager> manager = {});
    // A ring of another capacity (tests).
    static std::shared_ptr<QNBPeerTalkNetSocket>
    initWithPort(uint16_t port, std::optional<int64_t> deviceID,
                 std::shared_ptr<QNBPeerTalkDeviceManager> manager, size_t ringCapacity);
    ~QNBPeerTalkNetSocket() override;

    // QNNetSocketProtocol
    bool connectToHost(const std::string& host, uint16_t port, platform::Error* error) override;
    bool connectToAddress(const net::SocketAddress& address, uint16_t port,
                          platform::Error* error) override;
    bool listenOnPort(uint16_t port, std::weak_ptr<net::QNNetSocketDelegate> delegate,
                      platform::Error* error) override;
    bool getClientBytes(void* buffer, size_t length) override;
    bool getServerBytes(void* buffer, size_t length) override;
    bool sendBytes(const void* bytes, size_t length) override;
    bool sendBytes(const void* bytes, size_t length, double timeout) override;
    void close() override;
    bool sendDatagram(const void* bytes, size_t length, const net::QNNetSocketProtocol* clientSocket,
                      uint16_t toPort) override;
    bool sendDatagram(const void* bytes, size_t length, const net::SocketAddress& clientAddr) override;
    void listenForDatagramsWithInfo(const net::DatagramListenInfo& info) override;
    void listenForDatagramsOnPort(uint16_t port,
                                  std::weak_ptr<net::QNNetSocketDelegate> delegate) override;
    void cancel() override;
    bool isConnected() const override;
    bool isOpen() const override;
    bool isLoopback() const override { return false; }
    bool hasClientAddr() const override;
    void setHasClientAddr(bool hasClientAddr) override;
    net::SocketAddress knownClientAddr() const override;
    void setKnownClientAddr(const net::SocketAddress& address) override;
    std::shared_ptr<net::QNNetSocketDelegate> delegate() const override;
    void setDelegate(std::weak_ptr<net::QNNetSocketDelegate> delegate) override;
    std::optional<platform::Error> waitForDatagramError() const override;
    bool isListening() const override;

    // Its own.
    bool getClientBytes(void* buffer, size_t length, double timeout);
    void setWaitForDatagramError(std::optional<platform::Error> error);
    // Made on first request and kept; nothing waits on it.
    dispatch::dispatch_semaphore_t waitForDatagramSemaphore();
    // Stored as given; nothing reads it.
    std::optional<cf::Bytes> waitForDatagramsData() const;
    void setWaitForDatagramsData(std::optional<cf::Bytes> data);
    size_t bytesAvailable() const;
    bool isUDP() const { return m_isUDP; }
    uint16_t port() const { return m_port.load(); }
    std::optional<int64_t> deviceID() const { return m_deviceID; }
    std::string tag() const;
    void setTag(std::string tag);
    std::shared_ptr<QNBPeerTalkChannel> peerTalkChannel() const;
    std::string description() const;

    // QNBPeerTalkChannelDelegate
    void peerTalkChannelConnected(const std::shared_ptr<QNBPeerTalkChannel>& channel) override;
    void peerTalkChannelDisconnected(const std::shared_ptr<QNBPeerTalkChannel>& channel) override;
    void peerTalkChannelConnectionFailed(const std::shared_ptr<QNBPeerTalkChannel>& channel,
                                         const platform::Error& error) override;
    void peerTalkChannelListeningFailed(const std::shared_ptr<QNBPeerTalkChannel>& channel,
                                        const platform::Error& error) override;
    bool peerTalkChannelDidReceiveBytes(const std::shared_ptr<QNBPeerTalkChannel>& channel,
                                        const uint8_t* bytes, size_t length) override;
    void peerTalkChannelDidReceiveDatagram(const std::shared_ptr<QNBPeerTalkChannel>& channel,
                                           std::span<const uint8_t> datagram) override;

  private:
    QNBPeerTalkNetSocket(bool isUDP, uint16_t port, std::optional<int64_t> deviceID,
                         std::shared_ptr<QNBPeerTalkDeviceManager> manager, size_t ringCapacity);
    std::shared_ptr<QNBPeerTalkNetSocket> self();
    int channelState() const; // -1 without a channel
    int channelStateLocked() const;
    bool channelEnded() const;
    // Wakes every wait of the socket to look at its conditions again.
    void wakeWaiters();
    void channelGone(const std::optional<platform::Error>& error);
    QNBRingBuffer& ringLocked();

    const bool m_isUDP;
    std::atomic<uint16_t> m_port;
    const std::optional<int64_t> m_deviceID;
    std::shared_ptr<QNBPeerTalkDeviceManager> m_manager;

    mutable std::mutex m_mutex; // the fields below, the ring and the waits' condition
    std::condition_variable m_changed;
    std::shared_ptr<QNBPeerTalkChannel> m_peerTalkChannel;
    std::weak_ptr<net::QNNetSocketDelegate> m_delegate;
    std::string m_tag;
    const size_t m_ringCapacity;
    std::unique_ptr<QNBRingBuffer> m_readBuffer; // made on first use
    bool m_hasClientAddr = false;
    bool m_waitingForDatagram = false;
    bool m_listeningForDatagrams = false;
    std::optional<platform::Error> m_waitForDatagramError;
    dispatch::dispatch_semaphore_t m_waitForDatagramSemaphore;
    std::optional<cf::Bytes> m_waitForDatagramsData;
    std::atomic<bool> m_cancelled{false};
    std::atomic<int> m_mainThreadConnects{0};

    std::recursive_mutex m_readLock;
    std::recursive_mutex m_writeLock;
    std::mutex m_channelSetup; // channel creation and replacement
};

} // namespace usblink
