// A test's RTP receiver: UDP sockets at a loopback address's RTP and RTCP ports, with their own
// readers of RTP headers and RTCP compound packets (never the sender's code).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace capture::testing {

struct RTPPacket {
    int version = 0;
    bool marker = false;
    int payloadType = 0;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
    std::vector<uint8_t> payload;
};

struct RTCPReport {
    bool senderReport = false;
    std::string cname;
    bool bye = false;
    std::string byeReason;
};

inline uint16_t be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline uint32_t be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

inline std::optional<RTPPacket> parseRTP(const std::vector<uint8_t>& d) {
    if (d.size() < 12) return std::nullopt;
    RTPPacket p;
    p.version = d[0] >> 6;
    const size_t header = 12 + 4 * (d[0] & 0x0F);
    if (d.size() < header) return std::nullopt;
    p.marker = d[1] & 0x80;
    p.payloadType = d[1] & 0x7F;
    p.sequence = be16(&d[2]);
    p.timestamp = be32(&d[4]);
    p.ssrc = be32(&d[8]);
    p.payload.assign(d.begin() + static_cast<long>(header), d.end());
    return p;
}

// Reads every packet of an RTCP compound datagram.
inline RTCPReport parseRTCP(const std::vector<uint8_t>& d) {
    RTCPReport r;
    size_t at = 0;
    while (at + 4 <= d.size()) {
        const uint8_t count = d[at] & 0x1F;
        const uint8_t type = d[at + 1];
        const size_t length = 4 * (static_cast<size_t>(be16(&d[at + 2])) + 1);
        if (at + length > d.size()) break;
        const uint8_t* body = &d[at + 4];
        const size_t bodyLength = length - 4;
        if (type == 200) r.senderReport = true;
        if (type == 202 && bodyLength >= 4) {
            size_t i = 4; // first chunk's SSRC
            while (i + 2 <= bodyLength && body[i] != 0) {
                const uint8_t item = body[i], itemLength = body[i + 1];
                if (i + 2 + itemLength > bodyLength) break;
                if (item == 1) r.cname.assign(reinterpret_cast<const char*>(body + i + 2), itemLength);
                i += 2 + itemLength;
            }
        }
        if (type == 203) {
            r.bye = true;
            const size_t reasonAt = 4u * count;
            if (reasonAt < bodyLength) {
                const size_t n = body[reasonAt];
                if (reasonAt + 1 + n <= bodyLength)
                    r.byeReason.assign(reinterpret_cast<const char*>(body + reasonAt + 1), n);
            }
        }
        at += length;
    }
    return r;
}

class UDPPort {
  public:
    UDPPort(const std::string& address, uint16_t port) {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int size = 8 << 20; // a whole 255-packet frame arrives at once
        if (setsockopt(m_fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
            setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(port);
        inet_pton(AF_INET, address.c_str(), &sin.sin_addr);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0)
            throw std::runtime_error("cannot bind " + address + ":" + std::to_string(port));
    }
    ~UDPPort() { ::close(m_fd); }
    UDPPort(const UDPPort&) = delete;
    UDPPort& operator=(const UDPPort&) = delete;

    // The next datagram, or nullopt when none came within the wait.
    std::optional<std::vector<uint8_t>>
    receive(std::chrono::milliseconds wait = std::chrono::milliseconds(5000)) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return std::nullopt;
        std::vector<uint8_t> buffer(70000);
        ssize_t n = ::recv(m_fd, buffer.data(), buffer.size(), 0);
        if (n < 0) return std::nullopt;
        buffer.resize(static_cast<size_t>(n));
        return buffer;
    }
    // Whether a datagram is waiting now.
    bool pending() {
        pollfd p{m_fd, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    }

  private:
    int m_fd = -1;
};

// One receiver: its RTP and RTCP ports.
struct RTPReceiver {
    explicit RTPReceiver(const std::string& address, uint16_t port = 9000)
        : rtp(address, port), rtcp(address, port + 1) {}
    std::optional<RTPPacket> nextPacket() {
        auto d = rtp.receive();
        if (!d) return std::nullopt;
        return parseRTP(*d);
    }
    // Reads RTCP datagrams until one satisfies want (or none comes within the wait).
    template <typename Want> std::optional<RTCPReport> nextReport(Want want) {
        while (auto d = rtcp.receive()) {
            RTCPReport r = parseRTCP(*d);
            if (want(r)) return r;
        }
        return std::nullopt;
    }
    UDPPort rtp;
    UDPPort rtcp;
};

} // namespace capture::testing
