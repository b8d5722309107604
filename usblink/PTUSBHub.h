// The usbmuxd client: PTUSBChannel is one connection to usbmuxd on the main queue (packets of a
// 16-byte little-endian header and a property list); PTUSBHub keeps the listening connection,
// turns attach and detach broadcasts into local notifications, and opens one connection per
// device port, whose descriptor then carries the device's byte stream.
#pragma once

#include "platform/corefoundation/Error.h"
#include "platform/corefoundation/Value.h"
#include "platform/dispatch/Dispatch.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace usblink {

inline constexpr char PTUSBHubErrorDomain[] = "PTUSBHubError";
inline constexpr char PTUSBDeviceDidAttachNotification[] = "PTUSBDeviceDidAttachNotification";
inline constexpr char PTUSBDeviceDidDetachNotification[] = "PTUSBDeviceDidDetachNotification";
inline constexpr char PTUSBDeviceDidResetNotification[] = "PTUSBDeviceDidResetNotification";

inline constexpr char kDefaultUsbmuxdSocketPath[] = "/var/run/usbmuxd";
inline constexpr char kUsbmuxdSocketEnvironment[] = "TESSEL_USBMUXD_SOCKET";

// Header fields of a usbmuxd packet.
inline constexpr uint32_t kUsbmuxdPacketHeaderSize = 16;
inline constexpr uint32_t kUsbmuxdPlistProtocol = 1;
inline constexpr uint32_t kUsbmuxdPlistMessageType = 8;
// usbmuxd's messages are a few kilobytes; a size field beyond this cannot be a packet and is
// refused before anything is allocated for it.
inline constexpr uint32_t kUsbmuxdMaxPacketSize = 1024 * 1024;

using OptionalError = std::optional<platform::Error>;

// One packet as read after its 4-byte size field (protocol, type, tag, payload). A wrong
// protocol or type, a body shorter than those three fields, or a payload that is no
// dictionary is refused: error is set and the connection is to end. An empty payload reads as
// no dictionary and no error.
struct UsbmuxdPacket {
    OptionalError error;
    std::optional<cf::Value> dictionary;
    uint32_t tag = 0;
};
// Whether a packet's size field (header included) can be a packet at all.
bool usbmuxdPacketSizeAcceptable(uint32_t size);
UsbmuxdPacket decodeUsbmuxdPacketBody(const uint8_t* body, size_t length);

// "/var/run/usbmuxd", or the path TESSEL_USBMUXD_SOCKET names.
std::string usbmuxdSocketPath();
// The port as usbmuxd wants it: its two bytes swapped (6004 is 29719).
uint16_t usbmuxdPortNumber(uint16_t port);

class PTUSBChannel : public std::enable_shared_from_this<PTUSBChannel> {
  public:
    using ErrorCallback = std::function<void(OptionalError)>;
    using ReplyCallback = std::function<void(OptionalError, std::optional<cf::Value> reply)>;
    using PacketCallback =
        std::function<void(OptionalError, std::optional<cf::Value> dictionary, uint32_t tag)>;
    using BroadcastHandler = std::function<void(const std::optional<cf::Value>& dictionary)>;

    static std::shared_ptr<PTUSBChannel> create(std::string socketPath = usbmuxdSocketPath());

    // The request dictionary: "MessageType", the bundle's "ProgName" and "ClientVersionString"
    // (read once), and the payload's keys, which lose a clash with those three.
    static cf::Dictionary packetDictionaryWithPacketType(const std::string& messageType,
                                                         const cf::Dictionary& payload);
    // Leaves a set error alone (true); else the reply's "Number" decides.
    static bool errorFromPlistResponse(const std::optional<cf::Value>& reply, OptionalError& error);

    // Connects to usbmuxd and makes the I/O channel on queue; onEnd runs when it is gone.
    bool openOnQueue(const dispatch::dispatch_queue_t& queue, platform::Error* error, ErrorCallback onEnd);
    void listenWithBroadcastHandler(BroadcastHandler handler, ErrorCallback callback);
    void sendRequest(const cf::Dictionary& request, ReplyCallback callback);
    void sendPacket(const cf::Dictionary& packet, uint32_t tag, ErrorCallback callback);
    void sendPacketOfType(uint32_t type, uint32_t protocol, uint32_t tag, const cf::Bytes& payload,
                          ErrorCallback callback);
    void sendDispatchData(const dispatch::dispatch_data_t& data, ErrorCallback callback);
    void sendData(const cf::Bytes& data, ErrorCallback callback);
    void readFromOffset(off_t offset, size_t length,
                        std::function<void(OptionalError, dispatch::dispatch_data_t)> callback);
    void scheduleReadPacketWithCallback(PacketCallback callback);
    void scheduleReadPacketWithBroadcastHandler(BroadcastHandler handler);
    void setNeedsReadingPacket();
    // Close the I/O channel: letting pending operations finish, or stopping them.
    void cancel();
    void stop();
    // Stops, and runs then (on the channel's queue) once the descriptor is closed, before onEnd;
    // at once when it already is.
    void stopThen(std::function<void()> then);

    dispatch::dispatch_io_t dispatchChannel() const;
    int fileDescriptor() const;
    bool valid() const;
    size_t pendingRequestCount() const { return m_responseQueue.size(); }

  private:
    explicit PTUSBChannel(std::string socketPath) : m_socketPath(std::move(socketPath)) {}
    void failPendingRequests(const platform::Error& error);
    void readPacketBody(uint32_t size, PacketCallback callback);

    // What the I/O channel's clean-up shares with stopThen, both on the channel's queue.
    struct Closing {
        bool closed = false;
        std::function<void()> then;
    };

    const std::string m_socketPath;
    const std::shared_ptr<Closing> m_closing = std::make_shared<Closing>();
    dispatch::dispatch_io_t m_channel;
    dispatch::dispatch_queue_t m_queue;
    uint32_t m_nextPacketTag = 0;
    std::map<uint32_t, ReplyCallback> m_responseQueue;
    bool m_requestMade = false;
    bool m_autoReadPackets = false;
    bool m_isReadingPackets = false;
};

class PTUSBHub : public std::enable_shared_from_this<PTUSBHub> {
  public:
    using StartCallback = std::function<void(OptionalError, dispatch::dispatch_io_t)>;

    // The shared hub, made on first use, listening on the main queue. When its connection
    // ends it is dropped, PTUSBDeviceDidResetNotification is posted, and the next call makes
    // a new one.
    static std::shared_ptr<PTUSBHub> sharedHub();
    // A hub of its own on a given socket (tests).
    static std::shared_ptr<PTUSBHub> create(std::string socketPath);
    // Forgets the shared hub, so the next sharedHub() opens anew (tests: one hub per test, not
    // one left from an earlier test whose usbmuxd is gone, or whose first open failed). Its
    // listening connection is stopped; answers it, gone once its last handler has run.
    static std::weak_ptr<PTUSBChannel> resetSharedHubForTesting();
    ~PTUSBHub();

    void listenOnQueue(const dispatch::dispatch_queue_t& queue, std::function<void(OptionalError)> onStart,
                       std::function<void(OptionalError)> onEnd);
    void connectToDevice(int64_t deviceID, uint16_t port, StartCallback onStart,
                         std::function<void(OptionalError)> onEnd);
    void handleBroadcastPacket(const std::optional<cf::Value>& packet);
    // The listening connection (null before listening or after a failed open).
    std::shared_ptr<PTUSBChannel> channel() const { return m_channel; }

  private:
    explicit PTUSBHub(std::string socketPath) : m_socketPath(std::move(socketPath)) {}

    const std::string m_socketPath;
    std::shared_ptr<PTUSBChannel> m_channel;
};

} // namespace usblink
