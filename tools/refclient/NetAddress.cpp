#include "tools/refclient/NetAddress.h"

#include "platform/core/Clock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

namespace refclient {

namespace {
constexpr double kSendStallSeconds = 5.0;
} // namespace

std::optional<NetAddress> NetAddress::parse(const std::string& ip, uint16_t port) {
    NetAddress a;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&a.m_storage);
    if (inet_pton(AF_INET, ip.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        a.m_length = sizeof(sockaddr_in);
        return a;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&a.m_storage);
    if (inet_pton(AF_INET6, ip.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        a.m_length = sizeof(sockaddr_in6);
        return a;
    }
    return std::nullopt;
}

NetAddress NetAddress::fromSockaddr(const sockaddr* sa, socklen_t length) {
    NetAddress a;
    if (length > sizeof a.m_storage) length = sizeof a.m_storage;
    std::memcpy(&a.m_storage, sa, length);
    a.m_length = length;
    return a;
}

uint16_t NetAddress::port() const {
    if (family() == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&m_storage)->sin_port);
    if (family() == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&m_storage)->sin6_port);
    return 0;
}

void NetAddress::setPort(uint16_t port) {
    if (family() == AF_INET) reinterpret_cast<sockaddr_in*>(&m_storage)->sin_port = htons(port);
    if (family() == AF_INET6) reinterpret_cast<sockaddr_in6*>(&m_storage)->sin6_port = htons(port);
}

std::string NetAddress::ip() const {
    char text[INET6_ADDRSTRLEN] = {};
    if (family() == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&m_storage)->sin_addr, text, sizeof text);
        return text;
    }
    if (family() == AF_INET6) {
        const auto& addr = reinterpret_cast<const sockaddr_in6*>(&m_storage)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&addr)) {
            inet_ntop(AF_INET, addr.s6_addr + 12, text, sizeof text);
        } else {
            inet_ntop(AF_INET6, &addr, text, sizeof text);
        }
        return text;
    }
    return {};
}

std::optional<NetAddress> NetAddress::asFamily(int wanted) const {
    if (family() == wanted) return *this;
    if (wanted == AF_INET6 && family() == AF_INET) {
        return parse("::ffff:" + ip(), port());
    }
    if (wanted == AF_INET && family() == AF_INET6) {
        const auto& addr = reinterpret_cast<const sockaddr_in6*>(&m_storage)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&addr)) return parse(ip(), port());
    }
    return std::nullopt;
}

bool NetAddress::isAnyAddress() const {
    if (family() == AF_INET) return reinterpret_cast<const sockaddr_in*>(&m_storage)->sin_addr.s_addr == INADDR_ANY;
    if (family() == AF_INET6)
        return IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6*>(&m_storage)->sin6_addr);
    return false;
}

int openBoundUdp(const NetAddress& address) {
    int fd = ::socket(address.family(), SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    int off = 0;
    if (address.family() == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    if (::bind(fd, address.sockaddrPtr(), address.length()) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

int startTcpConnect(const NetAddress& peer, const std::optional<NetAddress>& source) {
    int fd = ::socket(peer.family(), SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    int off = 0;
    if (peer.family() == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    auto fail = [fd] {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    };
    if (source && ::bind(fd, source->sockaddrPtr(), source->length()) != 0) return fail();
    int r;
    do {
        r = ::connect(fd, peer.sockaddrPtr(), peer.length());
    } while (r != 0 && errno == EINTR);
    if (r != 0 && errno != EINPROGRESS) return fail();
    return fd;
}

bool sendAll(int fd, ByteView bytes) {
    size_t done = 0;
    platform::TimePoint deadline = platform::now() + platform::seconds(kSendStallSeconds);
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // A peer that stops reading stalls us at most this long, then counts as gone.
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && platform::pollFor(fd, POLLOUT, deadline) > 0)
            continue;
        return false;
    }
    return true;
}

uint16_t boundPort(int fd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
    return NetAddress::fromSockaddr(reinterpret_cast<sockaddr*>(&ss), len).port();
}

} // namespace refclient
