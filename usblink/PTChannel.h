// A framed channel: one connection (a usbmuxd-connected device port, or TCP over IPv4), its
// frame loop, and the frames handed to its delegate.
#pragma once

#include "usblink/PTAddress.h"
#include "usblink/PTData.h"
#include "usblink/PTProtocol.h"
#include "usblink/PTUSBHub.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace usblink {

class PTChannel;

// ioFrameChannel:... operations. The frame delivery is required; the other three are
// optional, and a delegate says which it takes through the respondsTo answers.
class PTChannelDelegate {
  public:
    virtual ~PTChannelDelegate() = default;
    virtual void ioFrameChannelDidReceiveFrameOfType(const std::shared_ptr<PTChannel>& channel, uint32_t type,
                                                     uint32_t tag,
                                                     const std::shared_ptr<PTData>& payload) = 0;

    virtual bool respondsToShouldAcceptFrame() const { return false; }
    virtual bool ioFrameChannelShouldAcceptFrameOfType(const std::shared_ptr<PTChannel>& channel,
                                                       uint32_t type, uint32_t tag, uint32_t payloadSize) {
        (void)channel, (void)type, (void)tag, (void)payloadSize;
        return true;
    }
    virtual bool respondsToDidEnd() const { return false; }
    virtual void ioFrameChannelDidEndWithError(const std::shared_ptr<PTChannel>& channel,
                                               const OptionalError& error) {
        (void)channel, (void)error;
    }
    virtual bool respondsToDidAccept() const { return false; }
    virtual void ioFrameChannelDidAcceptConnection(const std::shared_ptr<PTChannel>& channel,
                                                   const std::shared_ptr<PTChannel>& newChannel,
                                                   const std::shared_ptr<PTAddress>& address) {
        (void)channel, (void)newChannel, (void)address;
    }
};

class PTChannel : public std::enable_shared_from_this<PTChannel> {
  public:
    enum ConnState : uint8_t {
        kConnStateNone = 0,
        kConnStateConnecting = 1,
        kConnStateConnected = 2,
        kConnStateListening = 3,
    };
    using ErrorCallback = std::function<void(OptionalError)>;

    // A channel on a new serial "peertalk" queue of its own.
    static std::shared_ptr<PTChannel> channelWithDelegate(std::weak_ptr<PTChannelDelegate> delegate);
    static std::shared_ptr<PTChannel> initWithProtocol(std::shared_ptr<PTProtocol> protocol,
                                                       std::weak_ptr<PTChannelDelegate> delegate = {});
    // The main queue's shared protocol.
    static std::shared_ptr<PTChannel> init();

    void connectToPort(uint16_t port, const std::shared_ptr<PTUSBHub>& hub, int64_t deviceID,
                       ErrorCallback callback);
    // Blocks the calling thread while connecting; the address is a host-order IPv4 number.
    void connectToPort(uint16_t port, uint32_t ipv4Address,
                       std::function<void(OptionalError, std::shared_ptr<PTAddress>)> callback);
    void listenOnPort(uint16_t port, uint32_t ipv4Address, ErrorCallback callback);
    bool acceptIncomingConnection(int serverSocket);
    bool startReadingFromConnectedChannel(const dispatch::dispatch_io_t& channel, platform::Error* error);
    void sendFrameOfType(uint32_t type, uint32_t tag, const dispatch::dispatch_data_t& payload,
                         ErrorCallback callback);
    // Both drop the connection (or the listening source): close stops pending operations,
    // cancel lets them finish.
    void close();
    void cancel();

    ConnState connState() const;
    void setConnState(ConnState state);
    bool isConnected() const;
    bool isListening() const;
    std::shared_ptr<PTProtocol> protocol() const;
    void setProtocol(std::shared_ptr<PTProtocol> protocol);
    std::shared_ptr<PTChannelDelegate> delegate() const;
    void setDelegate(std::weak_ptr<PTChannelDelegate> delegate);
    std::string userInfo() const;
    void setUserInfo(std::string userInfo);
    dispatch::dispatch_io_t dispatchChannel() const;
    void setDispatchChannel(dispatch::dispatch_io_t channel);
    void setDispatchSource(dispatch::dispatch_source_t source);
    std::string description() const;

  private:
    PTChannel(std::shared_ptr<PTProtocol> protocol, std::weak_ptr<PTChannelDelegate> delegate);

    void drop(dispatch::dispatch_io_close_flags_t flags);
    // The frame loop of one I/O channel.
    void readFrames(const dispatch::dispatch_io_t& io);
    void onFrame(const dispatch::dispatch_io_t& io, OptionalError error, uint32_t type, uint32_t tag,
                 uint32_t payloadSize, const PTProtocol::ResumeBlock& resume);
    // The end check: ends the loop of io; only the current connection is closed or cancelled.
    void endLoop(const dispatch::dispatch_io_t& io, const OptionalError& error);
    // Tells the delegate of the end; without an error of its own, the TCP road reports the error
    // that closed the channel (orStoredError), the USB road the usbmuxd connection's nil.
    void reportEnd(const OptionalError& error, bool orStoredError = true);
    // A stream I/O channel over fd whose end is reported as this channel's.
    dispatch::dispatch_io_t makeIOChannel(int fd);

    mutable std::mutex m_mutex;
    std::shared_ptr<PTProtocol> m_protocol;
    dispatch::dispatch_queue_t m_queue; // the own queue of a channel made by channelWithDelegate
    std::weak_ptr<PTChannelDelegate> m_delegate;
    uint8_t m_delegateFlags = 0;
    ConnState m_connState = kConnStateNone;
    dispatch::dispatch_io_t m_channel;
    dispatch::dispatch_source_t m_source;
    OptionalError m_endError;
    std::string m_userInfo;
    uint64_t m_connectAttempt = 0;
};

} // namespace usblink
