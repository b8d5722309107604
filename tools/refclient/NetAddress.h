// Numeric socket addresses of either family, and the few socket calls the client
// makes, following the Linux rules: close-on-exec, dual-stack made explicit,
// MSG_NOSIGNAL on every send, EINTR retried.
#pragma once

#include "tools/refclient/Bytes.h"

#include <optional>
#include <string>
#include <sys/socket.h>

namespace refclient {

class NetAddress {
public:
    NetAddress() = default;
    // An IPv4 or IPv6 literal; none for anything else (host names are not resolved).
    static std::optional<NetAddress> parse(const std::string& ip, uint16_t port);
    static NetAddress fromSockaddr(const sockaddr* sa, socklen_t length);

    int family() const { return m_storage.ss_family; }
    uint16_t port() const;
    void setPort(uint16_t port);
    // Numeric text; a mapped IPv4 address loses its "::ffff:".
    std::string ip() const;
    // The same address in the other family's form where one exists (IPv4 <-> mapped IPv6).
    std::optional<NetAddress> asFamily(int family) const;
    bool isAnyAddress() const;

    const sockaddr* sockaddrPtr() const { return reinterpret_cast<const sockaddr*>(&m_storage); }
    socklen_t length() const { return m_length; }

private:
    sockaddr_storage m_storage{};
    socklen_t m_length = 0;
};

// A UDP socket bound to address (dual-stack for IPv6); -1 with errno on failure.
int openBoundUdp(const NetAddress& address);
// A non-blocking TCP socket of the peer's family, its source bound to source when given,
// connecting to peer; -1 with errno on failure.
int startTcpConnect(const NetAddress& peer, const std::optional<NetAddress>& source);
// Sends all bytes on a connected stream socket; false when the peer is gone.
bool sendAll(int fd, ByteView bytes);
uint16_t boundPort(int fd);

} // namespace refclient
