// Test helper: the server's side of the sockets, scripted byte by byte. It listens
// on 127.0.0.1 at ports the kernel picks, so tests need not hold the protocol's ports.
#pragma once

#include "tools/refclient/Config.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace refclient::test {

constexpr int kWaitMs = 5000; // generous: every wait ends early on its event

struct Datagram {
    Bytes bytes;
    std::string fromIp;
};

class FakeServer {
public:
    FakeServer() {
        m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = loopback(0);
        ::bind(m_listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(m_listenFd, 8);
        m_udpFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ::bind(m_udpFd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    ~FakeServer() {
        closeConnection();
        ::close(m_listenFd);
        ::close(m_udpFd);
    }

    Config configFor(const std::string& bindIp) const {
        Config c;
        c.bindAddress = bindIp;
        c.announce = false;
        c.sidebandPort = 0;
        c.serverPort = port(m_listenFd);
        c.serverSidebandPort = port(m_udpFd);
        c.nominalWidth = 64;
        c.nominalHeight = 48;
        return c;
    }

    void invite(const std::string& clientIp, uint16_t clientPort, ByteView bytes) const {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(clientPort);
        inet_pton(AF_INET, clientIp.c_str(), &to.sin_addr);
        ::sendto(m_udpFd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

    bool accept() {
        if (!ready(m_listenFd)) return false;
        closeConnection();
        m_connFd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        return m_connFd >= 0;
    }
    std::string peerIp() const {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ::getpeername(m_connFd, reinterpret_cast<sockaddr*>(&a), &len);
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
        return text;
    }

    // Exactly n bytes, or none when the client closed or went quiet first.
    std::optional<Bytes> read(size_t n) {
        Bytes out(n);
        size_t done = 0;
        while (done < n) {
            if (!ready(m_connFd)) return std::nullopt;
            ssize_t got = ::recv(m_connFd, out.data() + done, n - done, 0);
            if (got <= 0) return std::nullopt;
            done += static_cast<size_t>(got);
        }
        return out;
    }
    // True when the client has closed its side (reads end of stream).
    bool readsEndOfStream() {
        uint8_t byte;
        return ready(m_connFd) && ::recv(m_connFd, &byte, 1, 0) <= 0;
    }
    void write(ByteView bytes) const { ::send(m_connFd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    void closeConnection() {
        if (m_connFd >= 0) ::close(m_connFd);
        m_connFd = -1;
    }

    std::optional<Datagram> receiveDatagram() const {
        if (!ready(m_udpFd)) return std::nullopt;
        Datagram d;
        d.bytes.resize(2048);
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = ::recvfrom(m_udpFd, d.bytes.data(), d.bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return std::nullopt;
        d.bytes.resize(static_cast<size_t>(n));
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        d.fromIp = text;
        return d;
    }
    void sendDatagram(const std::string& clientIp, uint16_t clientPort, ByteView bytes) const {
        invite(clientIp, clientPort, bytes);
    }

private:
    static sockaddr_in loopback(uint16_t p) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(p);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }
    static uint16_t port(int fd) {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        return ntohs(a.sin_port);
    }
    static bool ready(int fd) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, kWaitMs) == 1;
    }

    int m_listenFd = -1;
    int m_udpFd = -1;
    int m_connFd = -1;
};

} // namespace refclient::test
