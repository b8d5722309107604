#include "usblink/PTChannel.h"

#include "platform/core/Log.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace usblink {

namespace {

constexpr uint8_t kFlagShouldAccept = 1 << 0;
constexpr uint8_t kFlagDidEnd = 1 << 1;
constexpr uint8_t kFlagDidAccept = 1 << 2;
constexpr int kListenBacklog = 512;

uint8_t flagsOf(const std::shared_ptr<PTChannelDelegate>& d) {
    if (!d) return 0;
    return (d->respondsToShouldAcceptFrame() ? kFlagShouldAccept : 0) |
           (d->respondsToDidEnd() ? kFlagDidEnd : 0) | (d->respondsToDidAccept() ? kFlagDidAccept : 0);
}

std::shared_ptr<PTAddress> peerAddress(int fd) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0)
        return std::make_shared<PTAddress>(net::SocketAddress());
    return std::make_shared<PTAddress>(net::SocketAddress(reinterpret_cast<sockaddr*>(&storage), length));
}

} // namespace

PTChannel::PTChannel(std::shared_ptr<PTProtocol> protocol, std::weak_ptr<PTChannelDelegate> delegate)
    : m_protocol(std::move(protocol)) {
    setDelegate(std::move(delegate));
}

std::shared_ptr<PTChannel> PTChannel::channelWithDelegate(std::weak_ptr<PTChannelDelegate> delegate) {
    auto queue = dispatch::dispatch_queue_create("peertalk", dispatch::DISPATCH_QUEUE_SERIAL);
    auto channel = initWithProtocol(PTProtocol::sharedProtocolForQueue(queue), std::move(delegate));
    channel->m_queue = std::move(queue); // the queue's protocol does not keep its queue alive
    return channel;
}

std::shared_ptr<PTChannel> PTChannel::initWithProtocol(std::shared_ptr<PTProtocol> protocol,
                                                       std::weak_ptr<PTChannelDelegate> delegate) {
    return std::shared_ptr<PTChannel>(new PTChannel(std::move(protocol), std::move(delegate)));
}

std::shared_ptr<PTChannel> PTChannel::init() {
    return initWithProtocol(PTProtocol::sharedProtocolForQueue(dispatch::dispatch_get_main_queue()));
}

// ---- Accessors ----

PTChannel::ConnState PTChannel::connState() const {
    std::lock_guard lock(m_mutex);
    return m_connState;
}
void PTChannel::setConnState(ConnState state) {
    std::lock_guard lock(m_mutex);
    m_connState = state;
}
bool PTChannel::isConnected() const {
    auto s = connState();
    return s == kConnStateConnecting || s == kConnStateConnected;
}
bool PTChannel::isListening() const {
    return connState() == kConnStateListening;
}
std::shared_ptr<PTProtocol> PTChannel::protocol() const {
    std::lock_guard lock(m_mutex);
    return m_protocol;
}
void PTChannel::setProtocol(std::shared_ptr<PTProtocol> protocol) {
    std::lock_guard lock(m_mutex);
    m_protocol = std::move(protocol);
}
std::shared_ptr<PTChannelDelegate> PTChannel::delegate() const {
    std::lock_guard lock(m_mutex);
    return m_delegate.lock();
}
void PTChannel::setDelegate(std::weak_ptr<PTChannelDelegate> delegate) {
    uint8_t flags = flagsOf(delegate.lock());
    std::lock_guard lock(m_mutex);
    m_delegate = std::move(delegate);
    m_delegateFlags = flags;
}
std::string PTChannel::userInfo() const {
    std::lock_guard lock(m_mutex);
    return m_userInfo;
}
void PTChannel::setUserInfo(std::string userInfo) {
    std::lock_guard lock(m_mutex);
    m_userInfo = std::move(userInfo);
}
dispatch::dispatch_io_t PTChannel::dispatchChannel() const {
    std::lock_guard lock(m_mutex);
    return m_channel;
}
void PTChannel::setDispatchChannel(dispatch::dispatch_io_t channel) {
    std::lock_guard lock(m_mutex);
    if (channel && m_connState > kConnStateConnected) return; // only while none, connecting or connected
    m_channel = std::move(channel);
    if (!m_channel && !m_source) m_connState = kConnStateNone;
}
void PTChannel::setDispatchSource(dispatch::dispatch_source_t source) {
    std::lock_guard lock(m_mutex);
    if (source && m_connState != kConnStateNone && m_connState != kConnStateListening) return;
    m_source = std::move(source);
    if (!m_channel && !m_source) m_connState = kConnStateNone;
}

std::string PTChannel::description() const {
    static const char* const kNames[] = {"closed", "connecting", "connected", "listening"};
    std::lock_guard lock(m_mutex);
    return platform::format("<PTChannel: %p (%@)%s%@>", static_cast<const void*>(this),
                            kNames[m_connState < 4 ? m_connState : 0], m_userInfo.empty() ? "" : " ",
                            m_userInfo);
}

// ---- Connecting ----

void PTChannel::connectToPort(uint16_t port, const std::shared_ptr<PTUSBHub>& hub, int64_t deviceID,
                              ErrorCallback callback) {
    uint64_t attempt;
    {
        std::lock_guard lock(m_mutex);
        if (!m_protocol) {
            platform::log("PTChannel: connect without a protocol");
            std::abort();
        }
        if (m_connState != kConnStateNone || !hub) {
            if (callback) callback(platform::Error::posix(EPERM));
            return;
        }
        m_connState = kConnStateConnecting;
        attempt = ++m_connectAttempt;
    }
    auto self = shared_from_this();
    std::weak_ptr<PTChannel> weak = self;
    hub->connectToDevice(
        deviceID, port,
        [self, attempt, callback](OptionalError error, dispatch::dispatch_io_t io) {
            bool stillWanted;
            {
                std::lock_guard lock(self->m_mutex);
                stillWanted = self->m_connState == kConnStateConnecting && self->m_connectAttempt == attempt;
                if (error && stillWanted && !self->m_channel) self->m_connState = kConnStateNone;
            }
            if (error) {
                if (callback) callback(error);
                return;
            }
            if (!stillWanted) {
                // Closed while usbmuxd was connecting: the late connection is closed unread.
                dispatch::dispatch_io_close(io, dispatch::DISPATCH_IO_STOP);
                if (callback) callback(platform::Error::posix(ECANCELED));
                return;
            }
            platform::Error readError;
            bool reading = self->startReadingFromConnectedChannel(io, &readError);
            if (callback) callback(reading ? std::nullopt : OptionalError(readError));
        },
        [weak](OptionalError error) {
            // The USB road reports the usbmuxd connection's own end, nil for a clean close: a
            // channel that closed itself over a bad frame has still ended cleanly on the wire,
            // and the device channel treats it as a disconnection, not a failed connection.
            if (auto s = weak.lock()) s->reportEnd(error, false);
        });
}

void PTChannel::reportEnd(const OptionalError& error, bool orStoredError) {
    std::shared_ptr<PTChannelDelegate> d;
    OptionalError reported;
    {
        std::lock_guard lock(m_mutex);
        d = m_delegate.lock();
        if (!(m_delegateFlags & kFlagDidEnd)) d = nullptr;
        reported = error || !orStoredError ? error : m_endError;
        m_endError.reset();
    }
    if (d) d->ioFrameChannelDidEndWithError(shared_from_this(), reported);
}

dispatch::dispatch_io_t PTChannel::makeIOChannel(int fd) {
    std::weak_ptr<PTChannel> weak = shared_from_this();
    return dispatch::dispatch_io_create(
        dispatch::DISPATCH_IO_STREAM, fd, protocol()->queue(), [fd, weak](int error) {
            ::close(fd);
            if (auto s = weak.lock())
                s->reportEnd(error ? OptionalError(platform::Error::posix(error)) : std::nullopt);
        });
}

void PTChannel::connectToPort(uint16_t port, uint32_t ipv4Address,
                              std::function<void(OptionalError, std::shared_ptr<PTAddress>)> callback) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_protocol) {
            platform::log("PTChannel: connect without a protocol");
            std::abort();
        }
        if (m_connState != kConnStateNone) {
            if (callback) callback(platform::Error::posix(EPERM), nullptr);
            return;
        }
        m_connState = kConnStateConnecting;
    }
    auto fail = [&](int errorNumber) {
        setConnState(kConnStateNone);
        if (callback) callback(platform::Error::posix(errorNumber), nullptr);
    };
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        int saved = errno;
        std::fprintf(stderr, "socket(AF_INET, SOCK_STREAM, 0) failed\n");
        fail(saved);
        return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(ipv4Address);
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int saved = errno;
        ::close(fd);
        fail(saved);
        return;
    }
    auto peer = peerAddress(fd);
    auto io = makeIOChannel(fd);
    if (!io) {
        ::close(fd);
        setConnState(kConnStateNone);
        if (callback) callback(platform::Error(PTErrorDomain, 0), nullptr);
        return;
    }
    platform::Error readError;
    bool reading = startReadingFromConnectedChannel(io, &readError);
    if (callback) callback(reading ? std::nullopt : OptionalError(readError), peer);
}

void PTChannel::listenOnPort(uint16_t port, uint32_t ipv4Address, ErrorCallback callback) {
    {
        std::lock_guard lock(m_mutex);
        if (m_connState != kConnStateNone) {
            if (callback) callback(platform::Error::posix(EPERM));
            return;
        }
        if (m_source) {
            platform::log("PTChannel: listen while a listening source exists");
            std::abort();
        }
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    auto fail = [&] {
        int saved = errno;
        if (fd >= 0) ::close(fd);
        if (callback) callback(platform::Error::posix(saved));
    };
    if (fd < 0) return fail();
    int on = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(ipv4Address);
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, kListenBacklog) != 0)
        return fail();
    auto source = dispatch::dispatch_source_create(dispatch::DISPATCH_SOURCE_TYPE_READ,
                                                   static_cast<uintptr_t>(fd), 0, protocol()->queue());
    std::weak_ptr<PTChannel> weak = shared_from_this();
    std::weak_ptr<dispatch::Source> weakSource = source;
    dispatch::dispatch_source_set_event_handler(source, [weak, weakSource, fd] {
        auto s = weak.lock();
        auto src = weakSource.lock();
        if (!s || !src) return;
        unsigned long pending = dispatch::dispatch_source_get_data(src);
        for (unsigned long i = 0; i < pending; ++i)
            if (!s->acceptIncomingConnection(fd)) break;
    });
    dispatch::dispatch_source_set_cancel_handler(source, [weak, fd] {
        ::close(fd);
        auto s = weak.lock();
        if (!s) return;
        {
            std::lock_guard lock(s->m_mutex);
            s->m_source = nullptr;
            if (!s->m_channel) s->m_connState = kConnStateNone;
        }
        s->reportEnd(std::nullopt);
    });
    {
        std::lock_guard lock(m_mutex);
        m_source = source;
        m_connState = kConnStateListening;
    }
    dispatch::dispatch_resume(source);
    if (callback) callback(std::nullopt);
}

bool PTChannel::acceptIncomingConnection(int serverSocket) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    int fd =
        ::accept4(serverSocket, reinterpret_cast<sockaddr*>(&storage), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        std::fprintf(stderr, "accept(): %s\n", std::strerror(errno));
        return false;
    }
    auto d = delegate();
    uint8_t flags;
    {
        std::lock_guard lock(m_mutex);
        flags = m_delegateFlags;
    }
    if (!d || !(flags & kFlagDidAccept)) {
        ::close(fd);
        return true;
    }
    auto accepted = initWithProtocol(protocol(), m_delegate);
    auto io = accepted->makeIOChannel(fd);
    if (!io) {
        ::close(fd);
        return true;
    }
    {
        std::lock_guard lock(accepted->m_mutex);
        accepted->m_channel = io;
        accepted->m_connState = kConnStateConnected;
    }
    d->ioFrameChannelDidAcceptConnection(
        shared_from_this(), accepted,
        std::make_shared<PTAddress>(net::SocketAddress(reinterpret_cast<sockaddr*>(&storage), length)));
    platform::Error error;
    if (!accepted->startReadingFromConnectedChannel(io, &error))
        platform::log("startReadingFromConnectedChannel failed in accept: %@", error);
    return true;
}

// ---- Reading and writing ----

bool PTChannel::startReadingFromConnectedChannel(const dispatch::dispatch_io_t& io, platform::Error* error) {
    bool adopt;
    {
        std::lock_guard lock(m_mutex);
        if (m_connState > kConnStateConnected) {
            platform::setError(error, platform::Error::posix(EPERM));
            return false;
        }
        adopt = m_channel != io;
    }
    if (adopt) {
        close();
        std::lock_guard lock(m_mutex);
        m_channel = io;
    }
    setConnState(kConnStateConnected);
    readFrames(io);
    return true;
}

void PTChannel::readFrames(const dispatch::dispatch_io_t& io) {
    auto self = shared_from_this();
    protocol()->readFramesOverChannel(io, [self, io](OptionalError error, uint32_t type, uint32_t tag,
                                                     uint32_t payloadSize, PTProtocol::ResumeBlock resume) {
        self->onFrame(io, std::move(error), type, tag, payloadSize, resume);
    });
}

void PTChannel::endLoop(const dispatch::dispatch_io_t& io, const OptionalError& error) {
    bool current;
    {
        std::lock_guard lock(m_mutex);
        current = m_channel == io;
        if (current && error) m_endError = error;
    }
    if (!current) {
        dispatch::dispatch_io_close(io, dispatch::DISPATCH_IO_STOP);
    } else if (error) {
        close();
    } else {
        cancel();
    }
}

void PTChannel::onFrame(const dispatch::dispatch_io_t& io, OptionalError error, uint32_t type, uint32_t tag,
                        uint32_t payloadSize, const PTProtocol::ResumeBlock& resume) {
    if (error || type == kPTFrameTypeEndOfStream) {
        endLoop(io, error);
        return;
    }
    std::shared_ptr<PTChannelDelegate> d;
    bool accepted;
    bool ask;
    {
        std::lock_guard lock(m_mutex);
        accepted = m_channel == io;
        d = m_delegate.lock();
        ask = (m_delegateFlags & kFlagShouldAccept) != 0;
    }
    // Only frames of the current connection are accepted; among them the delegate decides.
    if (accepted && d && ask)
        accepted = d->ioFrameChannelShouldAcceptFrameOfType(shared_from_this(), type, tag, payloadSize);
    auto self = shared_from_this();
    if (payloadSize > 0 && accepted) {
        protocol()->readPayloadOfSize(
            payloadSize, io,
            [self, io, d, type, tag, resume](OptionalError e, dispatch::dispatch_data_t mapped,
                                             const uint8_t* bytes, size_t length) {
                if (e || !mapped) {
                    self->endLoop(io, e);
                    return;
                }
                if (d)
                    d->ioFrameChannelDidReceiveFrameOfType(self, type, tag,
                                                           std::make_shared<PTData>(mapped, bytes, length));
                resume();
            });
    } else if (payloadSize > 0) {
        protocol()->readAndDiscardDataOfSize(payloadSize, io,
                                             [self, io, resume](OptionalError e, bool endOfStream) {
                                                 if (e || endOfStream) {
                                                     self->endLoop(io, e);
                                                     return;
                                                 }
                                                 resume();
                                             });
    } else {
        if (accepted && d) d->ioFrameChannelDidReceiveFrameOfType(self, type, tag, nullptr);
        resume();
    }
}

void PTChannel::sendFrameOfType(uint32_t type, uint32_t tag, const dispatch::dispatch_data_t& payload,
                                ErrorCallback callback) {
    dispatch::dispatch_io_t io;
    std::shared_ptr<PTProtocol> protocol;
    {
        std::lock_guard lock(m_mutex);
        if (m_connState == kConnStateConnecting || m_connState == kConnStateConnected) io = m_channel;
        protocol = m_protocol;
    }
    if (!io || !protocol) {
        if (callback) callback(platform::Error::posix(EPERM));
        return;
    }
    protocol->sendFrameOfType(type, tag, payload, io, std::move(callback));
}

void PTChannel::drop(dispatch::dispatch_io_close_flags_t flags) {
    dispatch::dispatch_io_t io;
    dispatch::dispatch_source_t source;
    {
        std::lock_guard lock(m_mutex);
        if (m_connState == kConnStateConnecting || m_connState == kConnStateConnected) {
            io = std::move(m_channel);
            m_channel = nullptr;
            if (!m_source) m_connState = kConnStateNone; // a pending USB connect finds it closed
        } else if (m_connState == kConnStateListening) {
            source = m_source;
        }
    }
    if (io) dispatch::dispatch_io_close(io, flags);
    if (source) dispatch::dispatch_source_cancel(source);
}

void PTChannel::close() {
    drop(dispatch::DISPATCH_IO_STOP);
}

void PTChannel::cancel() {
    drop(0);
}

} // namespace usblink
