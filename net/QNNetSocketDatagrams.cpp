// QNNetSocket's datagrams: sending to a client, the listening loop that hands datagrams to the
// delegate, and the one-shot wait for a datagram on a port.
#include "net/QNNetSocket.h"
#include "net/QNNetSocketInternal.h"

#include "net/NetSyscalls.h"
#include "net/SockAddrStorage.h"

#include "platform/core/Log.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/Thread.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace net {

using namespace netsocket;

namespace {

constexpr double kDatagramPollInterval = 0.1;
constexpr double kWaitForDatagramSlice = 0.01;

} // namespace

bool QNNetSocket::sendDatagram(const void* bytes, size_t length, const QNNetSocketProtocol* clientSocket,
                               uint16_t toPort) {
    if (!clientSocket) return sendDatagram(bytes, length, SocketAddress(), false);
    SocketAddress to = clientSocket->knownClientAddr();
    const uint8_t lengthByte = to.recordLengthByte();
    if (lengthByte == SocketAddress::kRecordLengthIPv4 || lengthByte == SocketAddress::kRecordLengthIPv6)
        to.setPort(toPort);
    return sendDatagram(bytes, length, to, false);
}

bool QNNetSocket::sendDatagram(const void* bytes, size_t length, const SocketAddress& clientAddr) {
    return sendDatagram(bytes, length, clientAddr, false);
}

bool QNNetSocket::sendDatagram(const void* bytes, size_t length, const SocketAddress& clientAddr,
                               bool waitForBuffer) {
    Use use(*this);
    if (use.fd() < 0) return false;
    const SocketAddress to = destinationForFamily(clientAddr, family());
    const sockaddr* target = to.isPresent() ? to.sockaddrPointer() : nullptr;
    const socklen_t targetLength = to.isPresent() ? to.length() : 0;
    for (;;) {
        ssize_t n = ::sendto(use.fd(), bytes, length, MSG_NOSIGNAL, target, targetLength);
        if (n >= 0) {
            if (auto meter = bandwidthMeter()) meter->reportBytesSent(static_cast<size_t>(n));
            return true;
        }
        const int err = errno;
        if (err == EINTR || (waitForBuffer && err == ENOBUFS)) continue;
        errno = err;
        return false;
    }
}

void QNNetSocket::listenForDatagramsWithInfo(const DatagramListenInfo& info) {
    listenForDatagramsOnPort(info.port, info.delegate);
}

int QNNetSocket::openDatagramSocket(int& family, uint16_t port) {
    SocketAddress known = knownClientAddr();
    const bool useKnown = hasClientAddr() && known.isPresent();
    family =
        (useKnown && known.recordLengthByte() == SocketAddress::kRecordLengthIPv4) ? AF_INET : this->family();
    int fd = makeSocket(family, SOCK_DGRAM);
    if (fd < 0) {
        platform::log("QNNetSocket: cannot create a datagram socket (%@)", std::strerror(errno));
        return -1;
    }
    const SocketAddress local =
        useKnown ? destinationForFamily(known, family) : SocketAddress::wildcard(family, port);
    if (!bindTo(fd, local)) {
        platform::log("QNNetSocket: cannot bind datagram socket to %@ (%@)", local.description(),
                      std::strerror(errno));
        ::close(fd);
        return -1;
    }
    return fd;
}

void QNNetSocket::listenForDatagramsOnPort(uint16_t port, std::weak_ptr<QNNetSocketDelegate> delegate) {
    m_isListening = true;
    setUseCopyForDatagrams(false);
    int family = AF_INET6;
    int fd = openDatagramSocket(family, port);
    if (fd < 0) {
        endListening();
        return;
    }
    adoptDescriptor(fd);
    {
        std::lock_guard lock(m_mutex);
        m_family = family;
        m_port = boundPort(fd);
    }
    auto self = shared_from_this();
    bool closeAtEnd = true;
    {
        Use use(*this);
        if (use.fd() >= 0 && !m_cancelled) {
            if (auto d = delegate.lock()) d->willBeginListeningForDatagramsOnSocket(self);
            datagramLoop(use.fd(), delegate, closeAtEnd);
        }
    }
    endListening();
    if (closeAtEnd) internalClose();
}

void QNNetSocket::datagramLoop(int fd, const std::weak_ptr<QNNetSocketDelegate>& delegate, bool& closeAtEnd) {
    std::vector<uint8_t> buffer(kMaxDatagramSize); // this loop's own: nothing shares it
    while (!m_cancelled) {
        int ready = platform::pollFor(fd, POLLIN | POLLRDHUP,
                                      platform::now() + platform::seconds(kDatagramPollInterval));
        if (ready < 0) {
            platform::log("QNNetSocket: datagram poll failed (%@)", std::strerror(errno));
            return;
        }
        if (ready == 0) continue;
        if (m_cancelled || (ready & (POLLRDHUP | POLLHUP | POLLNVAL))) return; // shut down
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            platform::log("QNNetSocket: datagram receive failed (%@)", std::strerror(errno));
            return;
        }
        const SocketAddress sender(reinterpret_cast<sockaddr*>(&from), fromLength);
        setKnownClientAddr(sender);
        setHasClientAddr(true);
        auto d = delegate.lock();
        if (!d) continue;
        if (!deliverDatagram(d, std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)), sender,
                             closeAtEnd))
            return;
    }
}

bool QNNetSocket::deliverDatagram(const std::shared_ptr<QNNetSocketDelegate>& d,
                                  std::span<const uint8_t> data, const SocketAddress& from,
                                  bool& closeAtEnd) {
    auto self = shared_from_this();
    switch (d->datagramForm()) {
    case QNNetSocketDelegate::DatagramForm::Bytes:
        d->datagramReceivedForSocket(self, data.data(), data.size());
        break;
    case QNNetSocketDelegate::DatagramForm::DataAndAddress:
        d->datagramReceivedForSocket(self, data, from);
        break;
    case QNNetSocketDelegate::DatagramForm::Data:
        if (useCopyForDatagrams()) {
            const std::vector<uint8_t> copy(data.begin(), data.end());
            d->datagramReceivedForSocket(self, std::span<const uint8_t>(copy));
        } else {
            d->datagramReceivedForSocket(self, data);
        }
        break;
    case QNNetSocketDelegate::DatagramForm::None:
        break;
    }
    bool shouldClose = true;
    if (d->shouldContinueToReceiveDatagramsOnSocket(self, shouldClose)) return true;
    closeAtEnd = shouldClose;
    return false;
}

std::optional<std::vector<uint8_t>> QNNetSocket::waitForDatagramOnPort(uint16_t port) {
    {
        std::lock_guard lock(m_mutex);
        m_hasClientAddr = false;
        m_waitForDatagramError.reset();
    }
    const int family = this->family();
    int fd = makeSocket(family, SOCK_DGRAM);
    if (fd < 0 || !bindTo(fd, SocketAddress::wildcard(family, port))) {
        const int err = errno;
        if (fd >= 0) ::close(fd);
        std::lock_guard lock(m_mutex);
        m_waitForDatagramError =
            platform::Error::withDescription(platform::NSPOSIXErrorDomain, err, "Listening failed");
        return std::nullopt;
    }
    {
        std::lock_guard lock(m_mutex);
        m_waitingForDatagram = true;
        m_waitDescriptor = fd;
        m_port = port;
    }
    auto finish = [this, fd] {
        std::lock_guard lock(m_mutex);
        ::close(fd);
        m_waitDescriptor = -1;
        m_waitingForDatagram = false;
        m_idle.notify_all();
    };
    int ready = 0;
    while (!m_cancelled && ready == 0)
        ready = platform::pollFor(fd, POLLIN, platform::now() + platform::seconds(kWaitForDatagramSlice));
    if (m_cancelled) {
        finish();
        return std::nullopt;
    }
    std::vector<uint8_t> data(kMaxDatagramSize);
    sockaddr_storage from{};
    socklen_t fromLength = sizeof from;
    ssize_t n = ready < 0 ? -1
                          : ::recvfrom(fd, data.data(), data.size(), MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&from), &fromLength);
    const int err = errno;
    finish();
    if (n < 0) {
        std::lock_guard lock(m_mutex);
        m_waitForDatagramError =
            platform::Error::withDescription(platform::NSPOSIXErrorDomain, err, "Listening failed");
        return std::nullopt;
    }
    data.resize(static_cast<size_t>(n));
    setKnownClientAddr(SocketAddress(reinterpret_cast<sockaddr*>(&from), fromLength));
    setHasClientAddr(true);
    return data;
}
} // namespace net
