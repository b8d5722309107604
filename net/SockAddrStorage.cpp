#include "net/SockAddrStorage.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>

namespace net {

bool Ipv6AddressIsZero(const std::array<uint8_t, 16>& address) {
    return std::all_of(address.begin(), address.end(), [](uint8_t b) { return b == 0; });
}

std::optional<SocketAddress> CreateIPv4MappedIPv6Address(const SocketAddress& ipv4) {
    if (!ipv4.isIPv4()) return std::nullopt;
    in6_addr mapped{};
    mapped.s6_addr[10] = 0xFF;
    mapped.s6_addr[11] = 0xFF;
    auto v4 = ipv4.ipv4Bytes();
    std::memcpy(&mapped.s6_addr[12], v4.data(), 4);
    SocketAddress result = SocketAddress::ipv6(mapped, ipv4.port());
    result.setRecordLengthByte(SocketAddress::kRecordLengthStorage);
    return result;
}

bool CompareIPv4SockAddrStorage(const SocketAddress* a, const SocketAddress* b) {
    if (!a || !b || !a->isIPv4() || !b->isIPv4()) return false;
    const std::array<uint8_t, 4> zero{};
    return a->ipv4Bytes() != zero && a->ipv4Bytes() == b->ipv4Bytes();
}

bool CompareIPv6SockAddrStorage(const SocketAddress* a, const SocketAddress* b) {
    if (!a || !b || !a->isIPv6() || !b->isIPv6()) return false;
    return !Ipv6AddressIsZero(a->ipv6Bytes()) && a->ipv6Bytes() == b->ipv6Bytes();
}

bool CompareSockAddrStorage(const SocketAddress* a, const SocketAddress* b) {
    if (!a || !b) return false;
    if (CompareIPv6SockAddrStorage(a, b) || CompareIPv4SockAddrStorage(a, b)) return true;
    const SocketAddress* v4 = a->isIPv4() ? a : b;
    const SocketAddress* v6 = a->isIPv6() ? a : b;
    if (!v4->isIPv4() || !v6->isIPv6()) return false;
    if (v4->ipv4Bytes() == std::array<uint8_t, 4>{}) return false; // 0.0.0.0 is no address
    auto mapped = CreateIPv4MappedIPv6Address(*v4);
    return mapped && CompareIPv6SockAddrStorage(&*mapped, v6);
}

std::optional<std::string> AddressStringFromSockAddrStorage(const SocketAddress& address) {
    if (!address.isPresent()) return std::nullopt;
    return address.numericHost();
}

} // namespace net
