// The small socket-address functions the connect road uses. Addresses compare by address
// alone: ports, scopes and flow information never count, an IPv4 address equals its
// IPv4-mapped IPv6 form, and a missing or all-zero address equals nothing.
#pragma once

#include "net/SocketAddress.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace net {

bool Ipv6AddressIsZero(const std::array<uint8_t, 16>& address);
// The IPv4-mapped IPv6 form (::ffff:a.b.c.d) of an IPv4 address, same port, declared
// length 128 (the whole storage); nullopt for anything but IPv4.
std::optional<SocketAddress> CreateIPv4MappedIPv6Address(const SocketAddress& ipv4);
// Both IPv4, both addresses non-zero and equal.
bool CompareIPv4SockAddrStorage(const SocketAddress* a, const SocketAddress* b);
// Both IPv6, neither address all zero, and equal.
bool CompareIPv6SockAddrStorage(const SocketAddress* a, const SocketAddress* b);
// Equal addresses within a family, or across families through the IPv4-mapped form.
bool CompareSockAddrStorage(const SocketAddress* a, const SocketAddress* b);
// Numeric text of an IPv4 or IPv6 address; nullopt for any other family.
std::optional<std::string> AddressStringFromSockAddrStorage(const SocketAddress& address);

} // namespace net
