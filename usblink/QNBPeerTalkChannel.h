// One logical connection to one TCP port of one device: a USB connection through usbmuxd,
// retried every second while the device stays attached, raced by a loopback TCP connection
// to 127.0.0.1 on the same port; stream sends with a time-out, datagrams, received frames.
#pragma once

#include "platform/corefoundation/Error.h"
#include "platform/corefoundation/Value.h"
#include "platform/dispatch/Dispatch.h"
#include "usblink/PTChannel.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

namespace usblink {

class QNBPeerTalkChannel;
class QNBPeerTalkDeviceManager;

// Frame types of the device link.
inline constexpr uint32_t kQNBFrameTypeDictionary = 99;
inline constexpr uint32_t kQNBFrameTypeStream = 100;
inline constexpr uint32_t kQNBFrameTypeDatagram = 101;

class QNBPeerTalkChannelDelegate {
  public:
    virtual ~QNBPeerTalkChannelDelegate() = default;
    virtual bool respondsToConnected() const { return true; }
    virtual void peerTalkChannelConnected(const std::shared_ptr<QNBPeerTalkChannel>& channel) {
        (void)channel;
    }
    virtual void peerTalkChannelDisconnected(const std::shared_ptr<QNBPeerTalkChannel>& channel) = 0;
    virtual void peerTalkChannelConnectionFailed(const std::shared_ptr<QNBPeerTalkChannel>& channel,
                                                 const platform::Error& error) = 0;
    virtual void peerTalkChannelListeningFailed(const std::shared_ptr<QNBPeerTalkChannel>& channel,
                                                const platform::Error& error) = 0;
    // Answers false when the bytes could not be taken (the channel then fails).
    virtual bool peerTalkChannelDidReceiveBytes(const std::shared_ptr<QNBPeerTalkChannel>& channel,
                                                const uint8_t* bytes, size_t length) = 0;
    virtual void peerTalkChannelDidReceiveDatagram(const std::shared_ptr<QNBPeerTalkChannel>& channel,
                                                   std::span<const uint8_t> datagram) = 0;
};

enum QNBPeerTalkChannelState : int {
    QNBPeerTalkChannelStateIdle = 0,
    QNBPeerTalkChannelStateClosed = 1,
    QNBPeerTalkChannelStateCancelled = 2,
    QNBPeerTalkChannelStateConnecting = 3,
    QNBPeerTalkChannelStateListening = 4,
    QNBPeerTalkChannelStateConnected = 5,
    QNBPeerTalkChannelStateDisconnected = 6,
};
std::string NSStringFromQNBPeerTalkChannelState(int state);

// The payload of frames 100 and 101: a big-endian u32 length, then the bytes.
dispatch::dispatch_data_t QNBPeerTalkDispatchWithData(const void* bytes, size_t length);

class QNBPeerTalkChannel : public PTChannelDelegate, public std::enable_shared_from_this<QNBPeerTalkChannel> {
  public:
    // How long a failed USB attempt waits before the next.
    static constexpr double kUSBRetryInterval = 1.0;
    // How long a datagram send waits for its write.
    static constexpr double kDatagramWriteWait = 2.0;

    static std::shared_ptr<QNBPeerTalkChannel>
    initWithDeviceID(std::shared_ptr<QNBPeerTalkDeviceManager> manager, int64_t deviceID,
                     std::optional<cf::Value> properties, int port,
                     std::weak_ptr<QNBPeerTalkChannelDelegate> delegate);
    static std::shared_ptr<QNBPeerTalkChannel>
    initWithPort(std::shared_ptr<QNBPeerTalkDeviceManager> manager, int port,
                 std::weak_ptr<QNBPeerTalkChannelDelegate> delegate);
    ~QNBPeerTalkChannel() override;

    void connect();
    void connectToLoopback();
    void connectToUSBDevice();
    void listen();
    void close();
    void cancel();

    // nullopt when the frame was written; "Not connected", "No channel", "Timed out" or the
    // write's error otherwise. Time-out 0 waits without limit.
    std::optional<platform::Error> sendBytes(const void* bytes, size_t length, double timeout);
    std::optional<platform::Error> sendBytes(const void* bytes, size_t length);
    std::optional<platform::Error> sendData(const cf::Bytes& data);
    bool sendDatagramWithBytes(const void* bytes, size_t length);
    void sendTestFrame();

    int state() const;
    std::optional<int64_t> deviceID() const { return m_deviceID; }
    const std::optional<cf::Value>& deviceProperties() const { return m_deviceProperties; }
    int port() const { return m_port; }
    std::shared_ptr<PTChannel> channel() const;
    std::shared_ptr<PTChannel> hostChannel() const;
    std::shared_ptr<QNBPeerTalkChannelDelegate> delegate() const { return m_delegate.lock(); }
    void setDelegate(std::weak_ptr<QNBPeerTalkChannelDelegate> delegate);
    bool canConnect() const { return false; }
    // A serial queue without a label, made on first request; nothing runs on it.
    dispatch::dispatch_queue_t usb_connect_queue();
    std::string description() const;

    // PTChannelDelegate
    void ioFrameChannelDidReceiveFrameOfType(const std::shared_ptr<PTChannel>& channel, uint32_t type,
                                             uint32_t tag, const std::shared_ptr<PTData>& payload) override;
    bool respondsToShouldAcceptFrame() const override { return true; }
    bool ioFrameChannelShouldAcceptFrameOfType(const std::shared_ptr<PTChannel>& channel, uint32_t type,
                                               uint32_t tag, uint32_t payloadSize) override;
    bool respondsToDidEnd() const override { return true; }
    void ioFrameChannelDidEndWithError(const std::shared_ptr<PTChannel>& channel,
                                       const OptionalError& error) override;
    bool respondsToDidAccept() const override { return true; }
    void ioFrameChannelDidAcceptConnection(const std::shared_ptr<PTChannel>& channel,
                                           const std::shared_ptr<PTChannel>& newChannel,
                                           const std::shared_ptr<PTAddress>& address) override;

  private:
    // One send's own completion: a late completion wakes no later send.
    struct PendingSend {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
        OptionalError error;
        void complete(OptionalError e);
        // Waits to the deadline; false when it passed first.
        bool wait(platform::TimePoint deadline);
    };

    QNBPeerTalkChannel(std::shared_ptr<QNBPeerTalkDeviceManager> manager, std::optional<int64_t> deviceID,
                       std::optional<cf::Value> properties, int port,
                       std::weak_ptr<QNBPeerTalkChannelDelegate> delegate);
    void usbConnectResult(const std::shared_ptr<PTChannel>& attempt, const OptionalError& error);
    void tellConnected();
    // Ends a connection whose stream can no longer be trusted.
    void failConnection(const platform::Error& error);
    void shutDown(int newState, bool stop);

    const std::weak_ptr<QNBPeerTalkDeviceManager> m_manager;
    const std::optional<int64_t> m_deviceID;
    const std::optional<cf::Value> m_deviceProperties;
    const int m_port;
    std::weak_ptr<QNBPeerTalkChannelDelegate> m_delegate;

    mutable std::recursive_mutex m_lock; // the channel's own lock
    int m_state = QNBPeerTalkChannelStateIdle;
    std::shared_ptr<PTChannel> m_channel;
    std::shared_ptr<PTChannel> m_hostChannel;
    std::shared_ptr<PendingSend> m_sendSemaphore; // the stream send in progress
    std::mutex m_sendLock;
    dispatch::dispatch_queue_t m_usbConnectQueue;
};

} // namespace usblink
