#include "usblink/PTUSBHub.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/dispatch/Thread.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSNotificationCenter.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace usblink {

namespace {

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void putLe32(cf::Bytes& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

constexpr int kUsbmuxdSendBufferSize = 1024 * 1024;

platform::Error hubError(const char* description) {
    return platform::Error::withDescription(PTUSBHubErrorDomain, 0, description);
}

const char* descriptionForNumber(int64_t number) {
    switch (number) {
    case 1:
        return "illegal command";
    case 2:
        return "unknown device";
    case 3:
        return "connection refused";
    case 6:
        return "invalid version";
    default:
        return "Unspecified error";
    }
}

// The program's name and version for every request, read from the main bundle once.
struct ProgramIdentity {
    std::optional<std::string> name;
    std::optional<std::string> version;
};

const ProgramIdentity& programIdentity() {
    static const ProgramIdentity identity = [] {
        ProgramIdentity id;
        auto bundle = ns::NSBundle::mainBundle();
        if (!bundle) return id;
        if (auto name = bundle->objectForInfoDictionaryKey("CFBundleName"); name && name->asString())
            id.name = *name->asString();
        if (auto version = bundle->objectForInfoDictionaryKey("CFBundleVersion"))
            id.version = version->asString() ? *version->asString() : version->description();
        return id;
    }();
    return identity;
}

std::mutex& sharedHubMutex() {
    static std::mutex m;
    return m;
}
std::shared_ptr<PTUSBHub>& sharedHubInstance() {
    // Never destroyed: its teardown would otherwise run after the logging facade's at exit.
    static auto* hub = new std::shared_ptr<PTUSBHub>();
    return *hub;
}

} // namespace

std::string usbmuxdSocketPath() {
    const char* path = std::getenv(kUsbmuxdSocketEnvironment);
    return path && *path ? path : kDefaultUsbmuxdSocketPath;
}

bool usbmuxdPacketSizeAcceptable(uint32_t size) {
    return size >= kUsbmuxdPacketHeaderSize && size <= kUsbmuxdMaxPacketSize;
}

UsbmuxdPacket decodeUsbmuxdPacketBody(const uint8_t* body, size_t length) {
    UsbmuxdPacket packet;
    constexpr size_t kFields = kUsbmuxdPacketHeaderSize - sizeof(uint32_t); // protocol, type, tag
    if (length < kFields) {
        packet.error = hubError("Unexpected package size");
        return packet;
    }
    const uint32_t protocol = le32(body);
    const uint32_t type = le32(body + 4);
    packet.tag = le32(body + 8);
    if (protocol != kUsbmuxdPlistProtocol || type != kUsbmuxdPlistMessageType) {
        packet.error = hubError(protocol != kUsbmuxdPlistProtocol ? "Unexpected package protocol"
                                                                  : "Unexpected package type");
        return packet;
    }
    if (length == kFields) return packet;
    platform::Error parseError;
    std::string_view payload(reinterpret_cast<const char*>(body + kFields), length - kFields);
    auto value = cf::propertyListFromData(payload, &parseError);
    if (!value || !value->isDictionary()) {
        packet.error = value ? hubError("Unexpected package payload") : parseError;
        return packet;
    }
    packet.dictionary = std::move(value);
    return packet;
}

uint16_t usbmuxdPortNumber(uint16_t port) {
    return static_cast<uint16_t>((port << 8) | (port >> 8));
}

// ---- PTUSBChannel ----

std::shared_ptr<PTUSBChannel> PTUSBChannel::create(std::string socketPath) {
    return std::shared_ptr<PTUSBChannel>(new PTUSBChannel(std::move(socketPath)));
}

cf::Dictionary PTUSBChannel::packetDictionaryWithPacketType(const std::string& messageType,
                                                            const cf::Dictionary& payload) {
    cf::Dictionary packet = payload;
    packet.insert_or_assign("MessageType", cf::Value(messageType));
    const ProgramIdentity& id = programIdentity();
    if (id.name) {
        packet.insert_or_assign("ProgName", cf::Value(*id.name));
        if (id.version) packet.insert_or_assign("ClientVersionString", cf::Value(*id.version));
    }
    return packet;
}

bool PTUSBChannel::errorFromPlistResponse(const std::optional<cf::Value>& reply, OptionalError& error) {
    if (error) return true;
    const cf::Value* number = reply ? reply->find("Number") : nullptr;
    std::optional<int64_t> value = number ? number->storedInteger() : std::nullopt;
    if (!value) {
        // Missing, or not an integer: nothing to read a result from.
        error = platform::Error(PTUSBHubErrorDomain, 0);
        return false;
    }
    if (*value == 0) return true;
    int64_t code = static_cast<int64_t>(static_cast<uint32_t>(*value));
    error = platform::Error::withDescription(PTUSBHubErrorDomain, code, descriptionForNumber(*value));
    return false;
}

bool PTUSBChannel::openOnQueue(const dispatch::dispatch_queue_t& queue, platform::Error* error,
                               ErrorCallback onEnd) {
    if (!queue || m_channel) {
        platform::log("PTUSBChannel: open needs a queue and no open channel");
        std::abort();
    }
    m_queue = queue;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        platform::setError(error, platform::Error::posix(errno));
        return false;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (m_socketPath.size() >= sizeof address.sun_path) {
        ::close(fd);
        platform::setError(error, platform::Error::posix(ENAMETOOLONG));
        return false;
    }
    std::memcpy(address.sun_path, m_socketPath.c_str(), m_socketPath.size());
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int saved = errno;
        ::close(fd);
        platform::setError(error, platform::Error::posix(saved));
        return false;
    }
    // Room for a whole stream frame of a screen update in the socket, so a send completes
    // while usbmuxd still forwards the previous one (the system may cap it lower).
    int sendBuffer = kUsbmuxdSendBufferSize;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    // Sends use MSG_NOSIGNAL (the I/O channel's writes), which is Linux's no-SIGPIPE.
    m_channel = dispatch::dispatch_io_create(
        dispatch::DISPATCH_IO_STREAM, fd, queue, [fd, onEnd, closing = m_closing](int errorNumber) {
            ::close(fd);
            closing->closed = true;
            if (auto then = std::move(closing->then)) then();
            if (onEnd) onEnd(errorNumber ? OptionalError(platform::Error::posix(errorNumber)) : std::nullopt);
        });
    if (!m_channel) {
        ::close(fd);
        platform::setError(error, platform::Error::posix(ENOMEM));
        return false;
    }
    return true;
}

void PTUSBChannel::listenWithBroadcastHandler(BroadcastHandler handler, ErrorCallback callback) {
    m_autoReadPackets = true;
    scheduleReadPacketWithBroadcastHandler(std::move(handler));
    sendRequest(packetDictionaryWithPacketType("Listen", {}), [callback](OptionalError error, auto reply) {
        errorFromPlistResponse(reply, error);
        if (callback) callback(error);
    });
}

void PTUSBChannel::sendRequest(const cf::Dictionary& request, ReplyCallback callback) {
    uint32_t tag = ++m_nextPacketTag;
    m_requestMade = true;
    // Stored before the write: the reply may be read before the write reports completion.
    m_responseQueue[tag] = std::move(callback);
    auto self = shared_from_this();
    sendPacket(request, tag, [self, tag](OptionalError error) {
        if (!error) return;
        auto it = self->m_responseQueue.find(tag);
        if (it == self->m_responseQueue.end()) return;
        auto pending = std::move(it->second);
        self->m_responseQueue.erase(it);
        if (pending) pending(error, std::nullopt);
    });
    setNeedsReadingPacket();
}

void PTUSBChannel::sendPacket(const cf::Dictionary& packet, uint32_t tag, ErrorCallback callback) {
    platform::Error error;
    auto xml = cf::dataFromPropertyList(cf::Value(packet), cf::PropertyListFormat::XML, &error);
    if (!xml) {
        if (callback) callback(error);
        return;
    }
    sendPacketOfType(kUsbmuxdPlistMessageType, kUsbmuxdPlistProtocol, tag, *xml, std::move(callback));
}

void PTUSBChannel::sendPacketOfType(uint32_t type, uint32_t protocol, uint32_t tag, const cf::Bytes& payload,
                                    ErrorCallback callback) {
    cf::Bytes packet;
    packet.reserve(kUsbmuxdPacketHeaderSize + payload.size());
    putLe32(packet, static_cast<uint32_t>(kUsbmuxdPacketHeaderSize + payload.size()));
    putLe32(packet, protocol);
    putLe32(packet, type);
    putLe32(packet, tag);
    packet.insert(packet.end(), payload.begin(), payload.end());
    sendDispatchData(dispatch::dispatch_data_create_with_bytes(std::move(packet)), std::move(callback));
}

void PTUSBChannel::sendDispatchData(const dispatch::dispatch_data_t& data, ErrorCallback callback) {
    if (!m_channel) {
        if (callback) callback(platform::Error::posix(ENOTCONN));
        return;
    }
    dispatch::dispatch_io_write(m_channel, 0, data, m_queue, [callback](bool done, auto, int error) {
        if (!done || !callback) return;
        callback(error ? OptionalError(platform::Error::posix(error)) : std::nullopt);
    });
}

void PTUSBChannel::sendData(const cf::Bytes& data, ErrorCallback callback) {
    sendDispatchData(dispatch::dispatch_data_create(data.data(), data.size(), nullptr, nullptr),
                     std::move(callback));
}

void PTUSBChannel::readFromOffset(off_t offset, size_t length,
                                  std::function<void(OptionalError, dispatch::dispatch_data_t)> callback) {
    if (!m_channel) {
        callback(platform::Error::posix(ENOTCONN), dispatch::dispatch_data_empty());
        return;
    }
    auto gathered = std::make_shared<dispatch::dispatch_data_t>(dispatch::dispatch_data_empty());
    dispatch::dispatch_io_read(
        m_channel, offset, length, m_queue,
        [gathered, callback](bool done, dispatch::dispatch_data_t data, int error) {
            *gathered = dispatch::dispatch_data_create_concat(*gathered, data);
            if (!done) return;
            callback(error ? OptionalError(platform::Error::posix(error)) : std::nullopt, *gathered);
        });
}

void PTUSBChannel::scheduleReadPacketWithCallback(PacketCallback callback) {
    m_isReadingPackets = true;
    auto self = shared_from_this();
    readFromOffset(
        0, sizeof(uint32_t), [self, callback](OptionalError error, dispatch::dispatch_data_t data) {
            if (error) {
                self->m_isReadingPackets = false;
                callback(error, std::nullopt, 0);
                return;
            }
            if (dispatch::dispatch_data_get_size(data) != sizeof(uint32_t)) {
                self->m_isReadingPackets = false;
                self->stop();
                callback(platform::Error::posix(EIO), std::nullopt, 0);
                return;
            }
            uint32_t size = le32(data->copyBytes().data());
            if (!usbmuxdPacketSizeAcceptable(size)) {
                platform::log("PTUSBChannel: refused a packet whose size field says %u bytes", size);
                self->m_isReadingPackets = false;
                self->stop();
                callback(hubError("Unexpected package size"), std::nullopt, 0);
                return;
            }
            self->readPacketBody(size, callback);
        });
}

void PTUSBChannel::readPacketBody(uint32_t size, PacketCallback callback) {
    auto self = shared_from_this();
    readFromOffset(0, size - sizeof(uint32_t),
                   [self, size, callback](OptionalError error, dispatch::dispatch_data_t data) {
                       self->m_isReadingPackets = false;
                       if (error) {
                           callback(error, std::nullopt, 0);
                           return;
                       }
                       if (dispatch::dispatch_data_get_size(data) != size - sizeof(uint32_t)) {
                           self->stop(); // the stream ended inside the packet
                           callback(platform::Error::posix(EIO), std::nullopt, 0);
                           return;
                       }
                       const cf::Bytes body = data->copyBytes(); // protocol, type, tag, payload
                       UsbmuxdPacket packet = decodeUsbmuxdPacketBody(body.data(), body.size());
                       if (packet.error) self->stop();
                       callback(std::move(packet.error), std::move(packet.dictionary), packet.tag);
                   });
}

void PTUSBChannel::scheduleReadPacketWithBroadcastHandler(BroadcastHandler handler) {
    if (m_isReadingPackets) {
        platform::log("PTUSBChannel: a packet read is pending already; not scheduling another");
        return;
    }
    auto self = shared_from_this();
    scheduleReadPacketWithCallback([self, handler](OptionalError error, std::optional<cf::Value> dictionary,
                                                   uint32_t tag) {
        if (error) {
            platform::log("Error reading packet: %@", *error);
            self->failPendingRequests(*error);
            return;
        }
        if (tag != 0) {
            auto it = self->m_responseQueue.find(tag);
            if (it != self->m_responseQueue.end()) {
                auto callback = std::move(it->second);
                self->m_responseQueue.erase(it);
                if (callback) callback(std::nullopt, dictionary);
            } else if (self->m_requestMade) {
                platform::log(
                    "Warning: Ignoring reply packet for which there is no registered callback. Packet => %@",
                    dictionary ? dictionary->description() : std::string("(null)"));
            }
        } else if (handler) {
            handler(dictionary);
        }
        // A connection without automatic reading still reads while replies are owed to it.
        if ((self->m_autoReadPackets || !self->m_responseQueue.empty()) && !self->m_isReadingPackets)
            self->scheduleReadPacketWithBroadcastHandler(handler);
    });
}

void PTUSBChannel::failPendingRequests(const platform::Error& error) {
    auto pending = std::move(m_responseQueue);
    m_responseQueue.clear();
    for (auto& [tag, callback] : pending)
        if (callback) callback(error, std::nullopt);
}

void PTUSBChannel::setNeedsReadingPacket() {
    if (!m_isReadingPackets) scheduleReadPacketWithBroadcastHandler(nullptr);
}

void PTUSBChannel::cancel() {
    if (m_channel) dispatch::dispatch_io_close(m_channel, 0);
}

void PTUSBChannel::stop() {
    if (m_channel) dispatch::dispatch_io_close(m_channel, dispatch::DISPATCH_IO_STOP);
}

void PTUSBChannel::stopThen(std::function<void()> then) {
    if (!m_channel || m_closing->closed) {
        then();
        return;
    }
    m_closing->then = std::move(then);
    stop();
}

dispatch::dispatch_io_t PTUSBChannel::dispatchChannel() const {
    return m_channel;
}

int PTUSBChannel::fileDescriptor() const {
    return dispatch::dispatch_io_get_descriptor(m_channel);
}

bool PTUSBChannel::valid() const {
    return m_channel != nullptr;
}

// ---- PTUSBHub ----

std::shared_ptr<PTUSBHub> PTUSBHub::sharedHub() {
    std::shared_ptr<PTUSBHub> hub;
    {
        std::lock_guard lock(sharedHubMutex());
        if (sharedHubInstance()) return sharedHubInstance();
        hub = create(usbmuxdSocketPath());
        sharedHubInstance() = hub;
    }
    std::weak_ptr<PTUSBHub> weak = hub;
    hub->listenOnQueue(
        dispatch::dispatch_get_main_queue(),
        [](OptionalError error) {
            if (error) platform::log("PTUSBHub failed to initialize: %@", *error);
        },
        [weak](OptionalError error) {
            {
                std::lock_guard lock(sharedHubMutex());
                auto current = sharedHubInstance();
                // A hub already forgotten (resetSharedHubForTesting) ends silently.
                if (!current || current != weak.lock()) return;
                sharedHubInstance().reset();
            }
            platform::log("PTUSBHub closed: %@", error ? error->description() : std::string("(null)"));
            ns::NSNotificationCenter::defaultCenter().postNotificationName(PTUSBDeviceDidResetNotification,
                                                                           nullptr);
        });
    return hub;
}

std::weak_ptr<PTUSBChannel> PTUSBHub::resetSharedHubForTesting() {
    std::shared_ptr<PTUSBHub> previous;
    {
        std::lock_guard lock(sharedHubMutex());
        previous = std::move(sharedHubInstance());
        sharedHubInstance().reset();
    }
    if (!previous || !previous->m_channel) return {};
    previous->m_channel->stop();
    return previous->m_channel;
}

std::shared_ptr<PTUSBHub> PTUSBHub::create(std::string socketPath) {
    return std::shared_ptr<PTUSBHub>(new PTUSBHub(std::move(socketPath)));
}

PTUSBHub::~PTUSBHub() {
    platform::log("PTUSBHub dealloced");
}

void PTUSBHub::listenOnQueue(const dispatch::dispatch_queue_t& queue,
                             std::function<void(OptionalError)> onStart,
                             std::function<void(OptionalError)> onEnd) {
    if (m_channel) {
        if (onStart) onStart(std::nullopt);
        return;
    }
    auto channel = PTUSBChannel::create(m_socketPath);
    platform::Error error;
    if (!channel->openOnQueue(queue, &error, std::move(onEnd))) {
        if (onStart) onStart(error);
        return;
    }
    m_channel = channel;
    std::weak_ptr<PTUSBHub> weak = shared_from_this();
    channel->listenWithBroadcastHandler(
        [weak](const std::optional<cf::Value>& packet) {
            if (auto hub = weak.lock()) hub->handleBroadcastPacket(packet);
        },
        std::move(onStart));
}

void PTUSBHub::connectToDevice(int64_t deviceID, uint16_t port, StartCallback onStart,
                               std::function<void(OptionalError)> onEnd) {
    if (!dispatch::isMainThread()) {
        // Every usbmuxd connection lives on the main queue.
        auto self = shared_from_this();
        dispatch::dispatch_async(dispatch::dispatch_get_main_queue(), [self, deviceID, port, onStart, onEnd] {
            self->connectToDevice(deviceID, port, onStart, onEnd);
        });
        return;
    }
    auto channel = PTUSBChannel::create(m_socketPath);
    platform::Error error;
    if (!channel->openOnQueue(dispatch::dispatch_get_main_queue(), &error, std::move(onEnd))) {
        if (onStart) onStart(error, nullptr);
        return;
    }
    cf::Dictionary payload{{"DeviceID", cf::Value(deviceID)},
                           {"PortNumber", cf::Value(static_cast<int64_t>(usbmuxdPortNumber(port)))}};
    channel->sendRequest(PTUSBChannel::packetDictionaryWithPacketType("Connect", payload),
                         [channel, onStart](OptionalError error, std::optional<cf::Value> reply) {
                             PTUSBChannel::errorFromPlistResponse(reply, error);
                             if (error) {
                                 // A refused connection is closed before the caller hears of it, so
                                 // retries keep no descriptor, whoever still holds the channel.
                                 channel->stopThen([onStart, error] {
                                     if (onStart) onStart(error, nullptr);
                                 });
                                 return;
                             }
                             if (onStart) onStart(std::nullopt, channel->dispatchChannel());
                         });
}

void PTUSBHub::handleBroadcastPacket(const std::optional<cf::Value>& packet) {
    const cf::Value* type = packet ? packet->find("MessageType") : nullptr;
    std::string messageType = type && type->asString() ? *type->asString() : "";
    const char* name = messageType == "Attached"   ? PTUSBDeviceDidAttachNotification
                       : messageType == "Detached" ? PTUSBDeviceDidDetachNotification
                                                   : nullptr;
    if (!name) {
        platform::log("Warning: Unhandled broadcast message: %@",
                      packet ? packet->description() : std::string("(null)"));
        return;
    }
    const cf::Value* deviceID = packet->find("DeviceID");
    if (!deviceID || !deviceID->storedInteger()) {
        platform::log("Warning: Ignoring a broadcast without an integer DeviceID: %@", packet->description());
        return;
    }
    ns::NSNotificationCenter::defaultCenter().postNotificationName(name, shared_from_this(), *packet);
}

} // namespace usblink
