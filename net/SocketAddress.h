// A socket address as one value: the native sockaddr_storage with its length. Other code
// speaks of addresses in the 128-byte record layout the protocol grew up with (a length byte,
// family 2 or 30, lengths 16, 28 or 128); the helpers here answer those meanings, and the
// byte form is produced or parsed only for records and tests, never for a system call.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include <netinet/in.h>
#include <sys/socket.h>

namespace net {

class SocketAddress {
  public:
    // The record layout's family numbers and length bytes.
    static constexpr uint8_t kRecordFamilyIPv4 = 2;
    static constexpr uint8_t kRecordFamilyIPv6 = 30;
    static constexpr uint8_t kRecordLengthIPv4 = 16;
    static constexpr uint8_t kRecordLengthIPv6 = 28;
    static constexpr uint8_t kRecordLengthStorage = 128;
    static constexpr size_t kRecordSize = 128;

    SocketAddress(); // no address: family AF_UNSPEC, length 0
    // Copies a native address; lengths beyond sockaddr_storage or below the family's size
    // give no address.
    SocketAddress(const sockaddr* address, socklen_t length);

    static SocketAddress ipv4(const in_addr& address, uint16_t port);
    static SocketAddress ipv6(const in6_addr& address, uint16_t port, uint32_t scope = 0,
                              uint32_t flowInfo = 0);
    // The wildcard address of a native family (AF_INET or AF_INET6) at a port.
    static SocketAddress wildcard(int family, uint16_t port);
    // A numeric IPv4 or IPv6 text ("127.0.0.1", "::1"); nullopt for anything else.
    static std::optional<SocketAddress> fromNumericHost(const std::string& host, uint16_t port);
    // Parses the 128-byte record layout; nullopt when the bytes are short or the family
    // or length byte does not fit.
    static std::optional<SocketAddress> fromRecordBytes(std::span<const uint8_t> bytes);

    // Native view, for system calls.
    const sockaddr* sockaddrPointer() const { return reinterpret_cast<const sockaddr*>(&m_storage); }
    socklen_t length() const { return m_length; }
    const sockaddr_storage& storage() const { return m_storage; }
    int family() const; // AF_INET, AF_INET6 or AF_UNSPEC

    bool isPresent() const { return family() == AF_INET || family() == AF_INET6; }
    bool isIPv4() const { return family() == AF_INET; }
    bool isIPv6() const { return family() == AF_INET6; }
    // An IPv6 address of the form ::ffff:a.b.c.d.
    bool isIPv4Mapped() const;

    uint16_t port() const; // host byte order; 0 without an address
    void setPort(uint16_t port);
    uint32_t scope() const;
    // The four bytes of an IPv4 address, zero otherwise.
    std::array<uint8_t, 4> ipv4Bytes() const;
    // The sixteen bytes of an IPv6 address, zero otherwise.
    std::array<uint8_t, 16> ipv6Bytes() const;

    // Record-layout meanings.
    uint8_t recordLengthByte() const; // 16, 28, 128 when so declared, 0 without an address
    uint8_t recordFamilyByte() const; // 2, 30, 0 without an address
    // Declares a record length byte (only 128 is meaningful: a record that fills its
    // storage, as the IPv4-mapped form is made); the native length is unchanged.
    void setRecordLengthByte(uint8_t lengthByte);
    std::array<uint8_t, kRecordSize> recordBytes() const;

    // Numeric text of the address, without port; empty without an address.
    std::string numericHost() const;
    // "[::1]:6001" or "127.0.0.1:6001"; "(no address)".
    std::string description() const;

    // Byte-wise identity (family, address, port, scope and declared length).
    bool operator==(const SocketAddress& other) const;

  private:
    sockaddr_storage m_storage{};
    socklen_t m_length = 0;
    uint8_t m_declaredLengthByte = 0; // 0: the family's own length
};

} // namespace net
