#include "net/QNNetSocket.h"
#include "net/QNNetSocketInternal.h"

#include "net/NetSyscalls.h"
#include "net/SockAddrStorage.h"

#include "platform/core/Log.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/dispatch/Thread.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

namespace net {

using namespace netsocket;

namespace {

constexpr double kSendRunLoopBackOff = 1.0; // main thread: keep its queue served meanwhile
constexpr double kSendWritableWait = 4.0;
constexpr double kAcceptBackOff = 0.1; // out of descriptors: give the process a moment

bool hasPeer(int fd) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    return ::getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &length) == 0;
}

// Errors that accept reports for one connection, not for the listening socket: Linux passes
// a pending connection's network errors on to accept.
bool isTransientAcceptError(int err) {
    switch (err) {
    case EINTR:
    case ECONNABORTED:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case ETIMEDOUT:
    case EPERM:
        return true;
    default:
        return false;
    }
}

bool isResourceAcceptError(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

} // namespace

namespace netsocket {

// Sends use MSG_NOSIGNAL; ignoring SIGPIPE as well covers any descriptor a caller hands us.
void ignoreSIGPIPE() {
    static std::once_flag once;
    std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

int makeSocket(int family, int type) {
    ignoreSIGPIPE();
    int fd = ::socket(family, type | SOCK_CLOEXEC, 0);
    if (fd >= 0 && family == AF_INET6) {
        // Dual stack on every system, whatever its default: IPv4 peers arrive mapped.
        int off = 0;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    return fd;
}

bool bindTo(int fd, const SocketAddress& address) {
    return ::bind(fd, address.sockaddrPointer(), address.length()) == 0;
}

uint16_t boundPort(int fd) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return 0;
    return SocketAddress(reinterpret_cast<sockaddr*>(&storage), length).port();
}

// A datagram destination in the socket's own family: dual-stack sockets reach IPv4 peers
// through the mapped form, IPv4 sockets reach mapped peers as plain IPv4.
SocketAddress destinationForFamily(const SocketAddress& to, int socketFamily) {
    if (socketFamily == AF_INET6 && to.isIPv4()) return *CreateIPv4MappedIPv6Address(to);
    if (socketFamily == AF_INET && to.isIPv4Mapped()) return QNNetSocket::convertDualStack(to);
    return to;
}

} // namespace netsocket

// ---- Descriptor use -------------------------------------------------------------------------

int QNNetSocket::beginUse() {
    std::lock_guard lock(m_mutex);
    if (m_sock < 0) return -1;
    ++m_uses;
    return m_sock;
}

void QNNetSocket::endUse() {
    std::unique_lock lock(m_mutex);
    if (--m_uses > 0) return;
    if (m_closePending >= 0) {
        ::close(m_closePending);
        m_closePending = -1;
    }
    m_idle.notify_all();
}

void QNNetSocket::closeDescriptorLocked(std::unique_lock<std::mutex>&) {
    if (m_sock < 0) return;
    if (m_uses == 0) {
        ::close(m_sock);
    } else {
        // A thread is still inside an operation on it; the last one out closes it, so the
        // number cannot be reused under that thread.
        if (m_closePending >= 0) ::close(m_closePending);
        m_closePending = m_sock;
    }
    m_sock = -1;
}

void QNNetSocket::internalClose() {
    std::unique_lock lock(m_mutex);
    closeDescriptorLocked(lock);
}

int QNNetSocket::adoptDescriptor(int descriptor) {
    std::unique_lock lock(m_mutex);
    closeDescriptorLocked(lock);
    m_sock = descriptor;
    return descriptor;
}

void QNNetSocket::endListening() {
    // Cleared under the lock and announced: a waitUntilIdle that saw the mark set is already
    // waiting and would otherwise sleep on (a loop that ends without ever holding a use of
    // the descriptor gives no other notice).
    std::lock_guard lock(m_mutex);
    m_isListening = false;
    m_idle.notify_all();
}

bool QNNetSocket::waitUntilIdle(platform::TimePoint deadline) const {
    std::unique_lock lock(m_mutex);
    return platform::waitUntil(m_idle, lock, deadline,
                               [this] { return m_uses == 0 && !m_isListening.load(); });
}

// ---- Creation -------------------------------------------------------------------------------

QNNetSocket::QNNetSocket(int family) : m_family(family) {
    ignoreSIGPIPE();
}

std::shared_ptr<QNNetSocket> QNNetSocket::init() {
    return initWithFamily(AF_INET6);
}

std::shared_ptr<QNNetSocket> QNNetSocket::initWithFamily(int family) {
    return std::shared_ptr<QNNetSocket>(new QNNetSocket(family));
}

std::shared_ptr<QNNetSocket> QNNetSocket::initWithSocket(int descriptor) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (descriptor < 0 || ::getsockname(descriptor, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        if (descriptor >= 0) ::close(descriptor);
        return nullptr;
    }
    auto socket = initWithFamily(storage.ss_family);
    socket->m_sock = descriptor;
    socket->m_isClientSocket = true;
    ::fcntl(descriptor, F_SETFD, FD_CLOEXEC);
    return socket;
}

std::shared_ptr<QNNetSocket> QNNetSocket::initUDPClientWithFamily(int family) {
    int fd = makeSocket(family, SOCK_DGRAM);
    if (fd < 0) return nullptr;
    if (!bindTo(fd, SocketAddress::wildcard(family, 0))) {
        ::close(fd);
        return nullptr;
    }
    auto socket = initWithFamily(family);
    socket->m_sock = fd;
    socket->m_port = boundPort(fd);
    return socket;
}

std::shared_ptr<QNNetSocket> QNNetSocket::initUDPClient() {
    return initUDPClientWithFamily(AF_INET6);
}

QNNetSocket::~QNNetSocket() {
    m_cancelled = true;
    if (m_acceptThread.joinable()) {
        // The loop holds the object while it runs, so it has ended unless this is its own
        // thread dropping the last reference.
        if (m_acceptThread.get_id() == std::this_thread::get_id())
            m_acceptThread.detach();
        else
            m_acceptThread.join();
    }
    if (m_sock >= 0) ::close(m_sock);
    if (m_closePending >= 0) ::close(m_closePending);
}

// ---- Small helpers --------------------------------------------------------------------------

bool QNNetSocket::setNonBlockingOnSocket(int descriptor) {
    int flags = ::fcntl(descriptor, F_GETFL, 0);
    return flags >= 0 && ::fcntl(descriptor, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool QNNetSocket::setTCPNoDelayOnSocket(int descriptor, bool option) {
    int value = option ? 1 : 0;
    return ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) == 0;
}

bool QNNetSocket::setTCPNoDelayWithOption(bool option) {
    Use use(*this);
    return use.fd() >= 0 && setTCPNoDelayOnSocket(use.fd(), option);
}

bool QNNetSocket::getAddressForHost(const std::string& host, int family, int sockType,
                                    SocketAddress& storage) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = sockType;
    addrinfo* results = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &results) != 0 || !results) return false;
    SocketAddress found(results->ai_addr, results->ai_addrlen);
    ::freeaddrinfo(results);
    if (!found.isPresent()) return false;
    storage = found;
    return true;
}

SocketAddress QNNetSocket::convertDualStack(const SocketAddress& address) {
    if (!address.isIPv4Mapped()) return address;
    auto bytes = address.ipv6Bytes();
    in_addr v4{};
    std::memcpy(&v4, &bytes[12], 4);
    return SocketAddress::ipv4(v4, address.port());
}

bool QNNetSocket::fail(platform::Error* error, const char* text, int code) {
    platform::log("QNNetSocket: %@ (%@)", text, std::strerror(code));
    platform::setError(error, platform::NSPOSIXErrorDomain, code, text);
    errno = code;
    return false;
}

bool QNNetSocket::refuseIfInUse() {
    std::lock_guard lock(m_mutex);
    return m_isServerSocket || m_isClientSocket;
}

// ---- Listening and accepting ----------------------------------------------------------------

bool QNNetSocket::listenOnPort(uint16_t port, std::weak_ptr<QNNetSocketDelegate> delegate,
                               platform::Error* error) {
    {
        std::lock_guard lock(m_mutex);
        if (m_isServerSocket || m_isClientSocket) return false;
        m_isServerSocket = true;
    }
    int family = AF_INET6;
    int fd = makeSocket(family, SOCK_STREAM);
    if (fd < 0) {
        family = AF_INET;
        fd = makeSocket(family, SOCK_STREAM);
    }
    if (fd < 0) return fail(error, "Cannot create socket", errno);
    int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        !bindTo(fd, SocketAddress::wildcard(family, port))) {
        int err = errno;
        ::close(fd);
        return fail(error, "Unable to bind to port", err);
    }
    if (::listen(fd, 1) != 0) {
        int err = errno;
        ::close(fd);
        return fail(error, "Unable to listen to port", err);
    }
    {
        std::lock_guard lock(m_mutex);
        m_family = family;
        m_port = boundPort(fd);
    }
    adoptDescriptor(fd);
    m_isListening = true;
    auto self = std::static_pointer_cast<QNNetSocket>(shared_from_this());
    m_acceptThread = std::thread([self, delegate] { self->acceptLoop(delegate); });
    return true;
}

void QNNetSocket::acceptLoop(std::weak_ptr<QNNetSocketDelegate> delegate) {
    Use use(*this);
    const int fd = use.fd();
    while (fd >= 0 && !m_cancelled) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        auto acceptCall = netSyscalls().accept4.load();
        int client =
            acceptCall(fd, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client >= 0) {
            handleAccepted(client, SocketAddress(reinterpret_cast<sockaddr*>(&peer), length), delegate);
            continue;
        }
        const int err = errno;
        if (m_cancelled) break;
        if (isTransientAcceptError(err)) {
            platform::log("QNNetSocket: accept failed for one connection (%@); listening on",
                          std::strerror(err));
            continue;
        }
        if (isResourceAcceptError(err)) {
            const auto retryAt = platform::now() + platform::seconds(kAcceptBackOff);
            platform::log("QNNetSocket: accept failed (%@); retrying shortly", std::strerror(err));
            std::unique_lock lock(m_mutex);
            platform::waitUntil(m_idle, lock, retryAt, [this] { return m_cancelled.load(); });
            continue;
        }
        platform::log("QNNetSocket: accept loop ends (%@)", std::strerror(err));
        break;
    }
    endListening();
    internalClose();
}

void QNNetSocket::handleAccepted(int client, const SocketAddress& peer,
                                 const std::weak_ptr<QNNetSocketDelegate>& delegate) {
    auto socket = initWithSocket(client);
    if (!socket) {
        platform::log("QNNetSocket: dropped an accepted connection whose address could not be read");
        return;
    }
    setNonBlockingOnSocket(client);
    socket->setKnownClientAddr(peer);
    socket->setHasClientAddr(true);
    if (auto d = delegate.lock()) d->acceptedNewClientSocket(socket);
}

// ---- Connecting -----------------------------------------------------------------------------

bool QNNetSocket::connectToHost(const std::string& host, uint16_t port, platform::Error* error) {
    if (refuseIfInUse()) return false;
    int fd = makeSocket(AF_INET, SOCK_STREAM);
    if (fd < 0) return fail(error, "Cannot create socket", errno);
    adoptDescriptor(fd);
    {
        std::lock_guard lock(m_mutex);
        m_family = AF_INET;
    }
    SocketAddress address;
    auto numeric = SocketAddress::fromNumericHost(host, port);
    if (numeric && numeric->isIPv4()) {
        address = *numeric;
    } else if (!getAddressForHost(host, AF_INET, SOCK_STREAM, address)) {
        internalClose();
        return fail(error, "Host not found", EHOSTUNREACH);
    }
    return connectToAddress(address, port, error);
}

bool QNNetSocket::connectToAddress(const SocketAddress& address, uint16_t port, platform::Error* error) {
    if (!address.isPresent()) return fail(error, "Unable to connect to port", EAFNOSUPPORT);
    SocketAddress target = address;
    target.setPort(port);
    setKnownClientAddr(target);
    setHasClientAddr(true);

    int fd = descriptor();
    if (fd < 0) {
        fd = makeSocket(target.family(), SOCK_STREAM);
        if (fd < 0) return fail(error, "Cannot create socket", errno);
        adoptDescriptor(fd);
        std::lock_guard lock(m_mutex);
        m_family = target.family();
    }
    Use use(*this);
    if (use.fd() < 0) return fail(error, "Unable to connect to port", EBADF);
    const int descriptorFamily = family();
    const SocketAddress destination = destinationForFamily(target, descriptorFamily);
    int result = ::connect(use.fd(), destination.sockaddrPointer(), destination.length());
    int err = errno;
    if (result != 0 && (err == EINTR || err == EINPROGRESS)) {
        // The connection goes on by itself; wait for its outcome.
        platform::pollFor(use.fd(), POLLOUT, platform::kDistantFuture);
        socklen_t length = sizeof err;
        ::getsockopt(use.fd(), SOL_SOCKET, SO_ERROR, &err, &length);
        result = err == 0 ? 0 : -1;
    }
    if (result != 0) {
        // A failed connect leaves the descriptor unusable; the next attempt makes a new one.
        internalClose();
        return fail(error, "Unable to connect to port", err);
    }
    setNonBlockingOnSocket(use.fd());
    std::lock_guard lock(m_mutex);
    m_isClientSocket = true;
    return true;
}

// ---- Reading --------------------------------------------------------------------------------

bool QNNetSocket::getClientBytes(void* buffer, size_t length) {
    return readExactly(buffer, length, false);
}

bool QNNetSocket::getServerBytes(void* buffer, size_t length) {
    return readExactly(buffer, length, true);
}

bool QNNetSocket::readExactly(void* buffer, size_t length, bool serverSide) {
    if (length == 0) return true;
    Use use(*this);
    const int fd = use.fd();
    if (fd < 0) {
        errno = EBADF;
        return false;
    }
    auto* bytes = static_cast<uint8_t*>(buffer);
    // The outstanding latency report is this socket's, not the process's: with one mark for
    // all, bytes arriving on one session's socket would report recovery to another session
    // whose peer is still silent.
    auto& latencyReported = serverSide ? m_serverLatencyReported : m_clientLatencyReported;
    platform::TimePoint lastBytes = platform::now();
    int silentSteps = 0;
    size_t done = 0;
    while (done < length) {
        if (!serverSide && m_cancelled) return false;
        ssize_t n = ::recv(fd, bytes + done, length - done, MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            lastBytes = platform::now(); // silence is counted from here
            silentSteps = 0;
            if (latencyReported.exchange(false)) reportLatency(0.0);
            if (auto meter = bandwidthMeter()) meter->reportBytesReceived(static_cast<size_t>(n));
            continue;
        }
        if (n == 0) return false; // the peer closed
        const int err = errno;
        if (err == EINTR) continue;
        const bool wouldBlock = err == EAGAIN || err == EWOULDBLOCK;
        if (!wouldBlock && (!serverSide || hasPeer(fd))) {
            errno = err;
            return false;
        }
        if (!waitReadable(fd, lastBytes, silentSteps, serverSide)) return false;
    }
    return true;
}

bool QNNetSocket::waitReadable(int fd, platform::TimePoint& lastBytes, int& silentSteps, bool serverSide) {
    const auto stepEnd = lastBytes + platform::seconds(kReadWaitStep * (silentSteps + 1));
    int ready;
    if (serverSide && !hasPeer(fd)) {
        // Not connected yet: poll would answer at once, so wait out the step (or a cancel,
        // which ends the read: nothing will connect a cancelled socket).
        std::unique_lock lock(m_mutex);
        if (platform::waitUntil(m_idle, lock, stepEnd, [this] { return m_cancelled.load(); })) return false;
        ready = 0;
    } else {
        ready = platform::pollFor(fd, POLLIN, stepEnd);
    }
    if (ready < 0) return false;
    if (ready == 0) {
        ++silentSteps;
        const double silence = kReadWaitStep * silentSteps;
        if (silence >= kReadTimeout) {
            errno = ETIMEDOUT;
            return false;
        }
        auto& latencyReported = serverSide ? m_serverLatencyReported : m_clientLatencyReported;
        if (reportLatency(silence / kReadTimeout)) latencyReported = true;
    }
    return serverSide || !m_cancelled;
}

bool QNNetSocket::reportLatency(double latency) {
    auto d = delegate();
    if (!d || !d->receivesLatencyReports()) return false;
    std::weak_ptr<QNNetSocketDelegate> weak = d;
    dispatch::dispatch_async(dispatch::dispatch_get_main_queue(), [weak, latency] {
        if (auto target = weak.lock()) target->socketIsExperiencingLatency(latency);
    });
    return true;
}

// ---- Writing --------------------------------------------------------------------------------

bool QNNetSocket::sendBytes(const void* bytes, size_t length) {
    iovec piece{const_cast<void*>(bytes), length};
    return sendPieces(&piece, 1);
}

bool QNNetSocket::sendBytesWithPayload(const void* head, size_t headLength, const void* payload,
                                       size_t payloadLength, double) {
    iovec pieces[2] = {{const_cast<void*>(head), headLength}, {const_cast<void*>(payload), payloadLength}};
    return sendPieces(pieces, payloadLength == 0 ? 1 : 2);
}

bool QNNetSocket::sendPieces(iovec* pieces, size_t count) {
    size_t length = 0;
    for (size_t i = 0; i < count; ++i)
        length += pieces[i].iov_len;
    if (length == 0) return true;
    if (m_backOffThread.load() == std::this_thread::get_id()) {
        // Work the main run loop serves during this thread's own back-off must not write into
        // the middle of the half-sent message.
        platform::log("QNNetSocket: a send during this socket's send back-off was refused");
        errno = EWOULDBLOCK;
        return false;
    }
    Use use(*this);
    const int fd = use.fd();
    if (fd < 0) {
        errno = EBADF;
        return false;
    }
    // Never blocking, whatever the descriptor's own mode: a full buffer is waited out below.
    while (count > 0) {
        msghdr message{};
        message.msg_iov = pieces;
        message.msg_iovlen = count;
        ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        const int err = errno; // kept before anything else can change it
        if (n > 0) {
            if (auto meter = bandwidthMeter()) meter->reportBytesSent(static_cast<size_t>(n));
            size_t sent = static_cast<size_t>(n);
            while (count > 0 && sent >= pieces->iov_len) {
                sent -= pieces->iov_len;
                ++pieces;
                --count;
            }
            if (count > 0) {
                pieces->iov_base = static_cast<uint8_t*>(pieces->iov_base) + sent;
                pieces->iov_len -= sent;
            }
            continue;
        }
        if (n == 0) return false;
        if (err == EINTR) continue;
        if (err != EAGAIN && err != EWOULDBLOCK) {
            errno = err;
            return false;
        }
        if (!sendBackOff(fd)) return false;
    }
    return true;
}

bool QNNetSocket::sendBytes(const void* bytes, size_t length, double timeout) {
    (void)timeout;
    return sendBytes(bytes, length);
}

bool QNNetSocket::sendBackOff(int fd) {
    if (m_cancelled) return false;
    // The main thread may be the sender (accept handling, alerts); it keeps serving its run
    // loop while the peer drains. Other threads only wait for the socket.
    if (dispatch::isMainThread()) {
        m_backOffThread = std::this_thread::get_id();
        dispatch::RunLoop::main()->runUntilDate(platform::now() + platform::seconds(kSendRunLoopBackOff));
        m_backOffThread = std::thread::id();
    }
    int ready = platform::pollFor(fd, POLLOUT, platform::now() + platform::seconds(kSendWritableWait));
    if (ready < 0) return false;
    return !m_cancelled;
}

// ---- Cancel and close -----------------------------------------------------------------------

void QNNetSocket::cancel() {
    m_cancelled = true;
    std::unique_lock lock(m_mutex);
    // shutdown wakes a thread blocked in accept, poll or recv on the descriptor; closing it
    // would not, and could hand its number to someone else under that thread.
    if (m_sock >= 0) ::shutdown(m_sock, SHUT_RDWR);
    if (m_waitDescriptor >= 0) ::shutdown(m_waitDescriptor, SHUT_RDWR);
    m_idle.notify_all();
    m_idle.wait(lock, [this] { return !m_waitingForDatagram; });
}

void QNNetSocket::close() {
    cancel();
    internalClose();
}

// ---- Properties -----------------------------------------------------------------------------

bool QNNetSocket::isConnected() const {
    std::lock_guard lock(m_mutex);
    return m_isClientSocket;
}

bool QNNetSocket::isOpen() const {
    std::lock_guard lock(m_mutex);
    return m_sock >= 0;
}

bool QNNetSocket::isLoopback() const {
    SocketAddress peer;
    {
        std::lock_guard lock(m_mutex);
        if (m_isServerSocket || !m_hasClientAddr) return false;
        peer = m_knownClientAddr;
    }
    ifaddrs* interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0) return false;
    bool found = false;
    for (ifaddrs* i = interfaces; i && !found; i = i->ifa_next) {
        if (!i->ifa_addr) continue;
        const socklen_t length = i->ifa_addr->sa_family == AF_INET6
                                     ? sizeof(sockaddr_in6)
                                     : static_cast<socklen_t>(sizeof(sockaddr_in));
        const SocketAddress local(i->ifa_addr, length);
        found = local.isPresent() && CompareSockAddrStorage(&peer, &local);
    }
    ::freeifaddrs(interfaces);
    return found;
}

bool QNNetSocket::hasClientAddr() const {
    std::lock_guard lock(m_mutex);
    return m_hasClientAddr;
}

void QNNetSocket::setHasClientAddr(bool hasClientAddr) {
    std::lock_guard lock(m_mutex);
    m_hasClientAddr = hasClientAddr;
}

SocketAddress QNNetSocket::knownClientAddr() const {
    std::lock_guard lock(m_mutex);
    return m_knownClientAddr;
}

void QNNetSocket::setKnownClientAddr(const SocketAddress& address) {
    std::lock_guard lock(m_mutex);
    m_knownClientAddr = address;
}

std::shared_ptr<QNNetSocketDelegate> QNNetSocket::delegate() const {
    std::lock_guard lock(m_mutex);
    return m_delegate.lock();
}

void QNNetSocket::setDelegate(std::weak_ptr<QNNetSocketDelegate> delegate) {
    std::lock_guard lock(m_mutex);
    m_delegate = std::move(delegate);
}

std::optional<platform::Error> QNNetSocket::waitForDatagramError() const {
    std::lock_guard lock(m_mutex);
    return m_waitForDatagramError;
}

bool QNNetSocket::waitingForDatagram() const {
    std::lock_guard lock(m_mutex);
    return m_waitingForDatagram;
}

int QNNetSocket::descriptor() const {
    std::lock_guard lock(m_mutex);
    return m_sock;
}

int QNNetSocket::family() const {
    std::lock_guard lock(m_mutex);
    return m_family;
}

bool QNNetSocket::isServerSocket() const {
    std::lock_guard lock(m_mutex);
    return m_isServerSocket;
}

bool QNNetSocket::isClientSocket() const {
    std::lock_guard lock(m_mutex);
    return m_isClientSocket;
}

int64_t QNNetSocket::tag() const {
    std::lock_guard lock(m_mutex);
    return m_tag;
}

void QNNetSocket::setTag(int64_t tag) {
    std::lock_guard lock(m_mutex);
    m_tag = tag;
}

std::shared_ptr<BandwidthMeter> QNNetSocket::bandwidthMeter() const {
    std::lock_guard lock(m_mutex);
    return m_bandwidthMeter;
}

void QNNetSocket::setBandwidthMeter(std::shared_ptr<BandwidthMeter> meter) {
    std::lock_guard lock(m_mutex);
    m_bandwidthMeter = std::move(meter);
}

bool QNNetSocket::useCopyForDatagrams() const {
    std::lock_guard lock(m_mutex);
    return m_useCopyForDatagrams;
}

void QNNetSocket::setUseCopyForDatagrams(bool useCopy) {
    std::lock_guard lock(m_mutex);
    m_useCopyForDatagrams = useCopy;
}

uint16_t QNNetSocket::port() const {
    std::lock_guard lock(m_mutex);
    return m_port;
}

} // namespace net
