#include "net/SocketAddress.h"

#include "platform/core/Format.h"

#include <arpa/inet.h>
#include <cstring>

namespace net {

namespace {

const sockaddr_in& asIPv4(const sockaddr_storage& s) {
    return reinterpret_cast<const sockaddr_in&>(s);
}
const sockaddr_in6& asIPv6(const sockaddr_storage& s) {
    return reinterpret_cast<const sockaddr_in6&>(s);
}
sockaddr_in& asIPv4(sockaddr_storage& s) {
    return reinterpret_cast<sockaddr_in&>(s);
}
sockaddr_in6& asIPv6(sockaddr_storage& s) {
    return reinterpret_cast<sockaddr_in6&>(s);
}

uint16_t readBigEndian16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
uint32_t readBigEndian32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
void writeBigEndian16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void writeBigEndian32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
// The record layout's 32-bit scope and flow fields are in host order on the machines that
// wrote it (little-endian); kept that way here.
uint32_t readLittleEndian32(const uint8_t* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
void writeLittleEndian32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

} // namespace

SocketAddress::SocketAddress() {
    m_storage.ss_family = AF_UNSPEC;
}

SocketAddress::SocketAddress(const sockaddr* address, socklen_t length) {
    m_storage.ss_family = AF_UNSPEC;
    if (!address || length < static_cast<socklen_t>(sizeof(sa_family_t)) || length > sizeof(sockaddr_storage))
        return;
    socklen_t needed = 0;
    if (address->sa_family == AF_INET) needed = sizeof(sockaddr_in);
    if (address->sa_family == AF_INET6) needed = sizeof(sockaddr_in6);
    if (needed == 0 || length < needed) return;
    std::memcpy(&m_storage, address, needed);
    m_length = needed;
}

SocketAddress SocketAddress::ipv4(const in_addr& address, uint16_t port) {
    SocketAddress a;
    auto& sin = asIPv4(a.m_storage);
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr = address;
    a.m_length = sizeof(sockaddr_in);
    return a;
}

SocketAddress SocketAddress::ipv6(const in6_addr& address, uint16_t port, uint32_t scope, uint32_t flowInfo) {
    SocketAddress a;
    auto& sin6 = asIPv6(a.m_storage);
    sin6.sin6_family = AF_INET6;
    sin6.sin6_port = htons(port);
    sin6.sin6_flowinfo = flowInfo;
    sin6.sin6_addr = address;
    sin6.sin6_scope_id = scope;
    a.m_length = sizeof(sockaddr_in6);
    return a;
}

SocketAddress SocketAddress::wildcard(int family, uint16_t port) {
    if (family == AF_INET) return ipv4(in_addr{htonl(INADDR_ANY)}, port);
    if (family == AF_INET6) return ipv6(in6addr_any, port);
    return SocketAddress();
}

std::optional<SocketAddress> SocketAddress::fromNumericHost(const std::string& host, uint16_t port) {
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return ipv4(v4, port);
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) return ipv6(v6, port);
    return std::nullopt;
}

std::optional<SocketAddress> SocketAddress::fromRecordBytes(std::span<const uint8_t> bytes) {
    if (bytes.size() < kRecordLengthIPv4) return std::nullopt;
    const uint8_t lengthByte = bytes[0];
    const uint8_t familyByte = bytes[1];
    const uint16_t port = readBigEndian16(&bytes[2]);
    if (familyByte == kRecordFamilyIPv4 && lengthByte >= kRecordLengthIPv4 &&
        bytes.size() >= kRecordLengthIPv4) {
        in_addr v4{};
        v4.s_addr = htonl(readBigEndian32(&bytes[4]));
        return ipv4(v4, port);
    }
    const bool ipv6Length = lengthByte == kRecordLengthIPv6 || lengthByte == kRecordLengthStorage;
    if (familyByte == kRecordFamilyIPv6 && ipv6Length && bytes.size() >= kRecordLengthIPv6) {
        in6_addr v6{};
        std::memcpy(&v6, &bytes[8], 16);
        SocketAddress a = ipv6(v6, port, readLittleEndian32(&bytes[24]), readLittleEndian32(&bytes[4]));
        if (lengthByte == kRecordLengthStorage) a.m_declaredLengthByte = kRecordLengthStorage;
        return a;
    }
    return std::nullopt;
}

int SocketAddress::family() const {
    return m_length == 0 ? AF_UNSPEC : m_storage.ss_family;
}

bool SocketAddress::isIPv4Mapped() const {
    return isIPv6() && IN6_IS_ADDR_V4MAPPED(&asIPv6(m_storage).sin6_addr);
}

uint16_t SocketAddress::port() const {
    if (isIPv4()) return ntohs(asIPv4(m_storage).sin_port);
    if (isIPv6()) return ntohs(asIPv6(m_storage).sin6_port);
    return 0;
}

void SocketAddress::setPort(uint16_t port) {
    if (isIPv4()) asIPv4(m_storage).sin_port = htons(port);
    if (isIPv6()) asIPv6(m_storage).sin6_port = htons(port);
}

uint32_t SocketAddress::scope() const {
    return isIPv6() ? asIPv6(m_storage).sin6_scope_id : 0;
}

std::array<uint8_t, 4> SocketAddress::ipv4Bytes() const {
    std::array<uint8_t, 4> out{};
    if (isIPv4()) std::memcpy(out.data(), &asIPv4(m_storage).sin_addr, 4);
    return out;
}

std::array<uint8_t, 16> SocketAddress::ipv6Bytes() const {
    std::array<uint8_t, 16> out{};
    if (isIPv6()) std::memcpy(out.data(), &asIPv6(m_storage).sin6_addr, 16);
    return out;
}

uint8_t SocketAddress::recordLengthByte() const {
    if (m_declaredLengthByte != 0 && isPresent()) return m_declaredLengthByte;
    if (isIPv4()) return kRecordLengthIPv4;
    if (isIPv6()) return kRecordLengthIPv6;
    return 0;
}

uint8_t SocketAddress::recordFamilyByte() const {
    if (isIPv4()) return kRecordFamilyIPv4;
    if (isIPv6()) return kRecordFamilyIPv6;
    return 0;
}

void SocketAddress::setRecordLengthByte(uint8_t lengthByte) {
    m_declaredLengthByte = lengthByte == kRecordLengthStorage ? lengthByte : 0;
}

std::array<uint8_t, SocketAddress::kRecordSize> SocketAddress::recordBytes() const {
    std::array<uint8_t, kRecordSize> out{};
    if (!isPresent()) return out;
    out[0] = recordLengthByte();
    out[1] = recordFamilyByte();
    writeBigEndian16(&out[2], port());
    if (isIPv4()) {
        writeBigEndian32(&out[4], ntohl(asIPv4(m_storage).sin_addr.s_addr));
    } else {
        const auto& sin6 = asIPv6(m_storage);
        writeLittleEndian32(&out[4], sin6.sin6_flowinfo);
        std::memcpy(&out[8], &sin6.sin6_addr, 16);
        writeLittleEndian32(&out[24], sin6.sin6_scope_id);
    }
    return out;
}

std::string SocketAddress::numericHost() const {
    char text[INET6_ADDRSTRLEN] = {};
    if (isIPv4()) inet_ntop(AF_INET, &asIPv4(m_storage).sin_addr, text, sizeof text);
    if (isIPv6()) inet_ntop(AF_INET6, &asIPv6(m_storage).sin6_addr, text, sizeof text);
    return text;
}

std::string SocketAddress::description() const {
    if (isIPv4()) return platform::format("%@:%d", numericHost(), port());
    if (isIPv6()) return platform::format("[%@]:%d", numericHost(), port());
    return "(no address)";
}

bool SocketAddress::operator==(const SocketAddress& other) const {
    return recordBytes() == other.recordBytes();
}

} // namespace net
