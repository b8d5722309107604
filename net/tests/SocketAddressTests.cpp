// Socket addresses: record-layout meanings, comparison by address alone, address tokens.
#include "net/QNBNetAddress.h"
#include "net/QNNetSocket.h"
#include "net/SockAddrStorage.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>

using namespace net;
using Bytes = std::vector<uint8_t>;

namespace {

SocketAddress addr(const std::string& host, uint16_t port = 0) {
    auto a = SocketAddress::fromNumericHost(host, port);
    EXPECT_TRUE(a) << host;
    return a.value_or(SocketAddress());
}

} // namespace

TEST(SocketAddress, RecordMeaningsOfEachFamily) {
    SocketAddress none;
    EXPECT_FALSE(none.isPresent());
    EXPECT_EQ(none.recordLengthByte(), 0);
    EXPECT_EQ(none.recordFamilyByte(), 0);
    EXPECT_EQ(none.description(), "(no address)");

    auto v4 = addr("192.168.1.20", 6001);
    EXPECT_EQ(v4.family(), AF_INET);
    EXPECT_EQ(v4.length(), sizeof(sockaddr_in));
    EXPECT_EQ(v4.recordLengthByte(), 16);
    EXPECT_EQ(v4.recordFamilyByte(), 2);
    EXPECT_EQ(v4.description(), "192.168.1.20:6001");

    auto v6 = addr("fe80::1", 6000);
    EXPECT_EQ(v6.length(), sizeof(sockaddr_in6));
    EXPECT_EQ(v6.recordLengthByte(), 28);
    EXPECT_EQ(v6.recordFamilyByte(), 30);
    EXPECT_EQ(v6.description(), "[fe80::1]:6000");
    EXPECT_FALSE(SocketAddress::fromNumericHost("example.org", 1));
}

TEST(SocketAddress, RecordBytesRoundTripWithPortInNetworkOrder) {
    auto v4 = addr("192.168.1.20", 6001);
    auto bytes = v4.recordBytes();
    Bytes head(bytes.begin(), bytes.begin() + 8);
    EXPECT_EQ(head, (Bytes{16, 2, 0x17, 0x71, 192, 168, 1, 20}));
    EXPECT_EQ(SocketAddress::fromRecordBytes(bytes), v4);

    auto v6 = addr("2001:db8::5", 443);
    auto b6 = v6.recordBytes();
    EXPECT_EQ(b6[0], 28);
    EXPECT_EQ(b6[1], 30);
    EXPECT_EQ(b6[2], 0x01);
    EXPECT_EQ(b6[3], 0xBB);
    EXPECT_EQ(b6[8], 0x20);
    EXPECT_EQ(b6[9], 0x01);
    EXPECT_EQ(b6[23], 0x05);
    EXPECT_EQ(SocketAddress::fromRecordBytes(b6), v6);

    // Hostile records: unknown family, wrong length byte, too short.
    Bytes bad(bytes.begin(), bytes.end());
    bad[1] = 7;
    EXPECT_FALSE(SocketAddress::fromRecordBytes(bad));
    Bytes badLength(b6.begin(), b6.end());
    badLength[0] = 20;
    EXPECT_FALSE(SocketAddress::fromRecordBytes(badLength));
    EXPECT_FALSE(SocketAddress::fromRecordBytes(Bytes(b6.begin(), b6.begin() + 20)));
    EXPECT_FALSE(SocketAddress::fromRecordBytes(Bytes{}));
}

TEST(SocketAddress, NativeConstructionRefusesShortOrOddAddresses) {
    sockaddr_in6 sin6{};
    sin6.sin6_family = AF_INET6;
    EXPECT_FALSE(SocketAddress(reinterpret_cast<sockaddr*>(&sin6), sizeof(sockaddr_in)).isPresent());
    EXPECT_TRUE(SocketAddress(reinterpret_cast<sockaddr*>(&sin6), sizeof sin6).isPresent());
    sockaddr local{};
    local.sa_family = AF_UNIX;
    EXPECT_FALSE(SocketAddress(&local, sizeof local).isPresent());
    EXPECT_FALSE(SocketAddress(nullptr, 16).isPresent());
}

TEST(SockAddrStorage, MappedFormFillsTheStorage) {
    auto v4 = addr("192.168.1.2", 6001);
    auto mapped = CreateIPv4MappedIPv6Address(v4);
    ASSERT_TRUE(mapped);
    EXPECT_EQ(mapped->recordLengthByte(), 128);
    EXPECT_EQ(mapped->recordFamilyByte(), 30);
    EXPECT_EQ(mapped->port(), 6001);
    EXPECT_EQ(mapped->numericHost(), "::ffff:192.168.1.2");
    EXPECT_EQ(mapped->length(), sizeof(sockaddr_in6)); // what a system call sees
    EXPECT_EQ(SocketAddress::fromRecordBytes(mapped->recordBytes()), *mapped);
    EXPECT_FALSE(CreateIPv4MappedIPv6Address(addr("::1")));
    EXPECT_EQ(QNNetSocket::convertDualStack(*mapped).description(), "192.168.1.2:6001");
    EXPECT_EQ(QNNetSocket::convertDualStack(addr("::1", 5)).description(), "[::1]:5");
}

TEST(SockAddrStorage, ComparesByAddressAloneAcrossFamilies) {
    auto v4 = addr("192.168.1.2", 6001);
    auto v4OtherPort = addr("192.168.1.2", 50000);
    auto mapped = addr("::ffff:192.168.1.2", 7);
    auto other = addr("192.168.1.3", 6001);
    EXPECT_TRUE(CompareSockAddrStorage(&v4, &mapped));
    EXPECT_TRUE(CompareSockAddrStorage(&mapped, &v4));
    EXPECT_TRUE(CompareSockAddrStorage(&v4, &v4OtherPort));
    EXPECT_FALSE(CompareSockAddrStorage(&v4, &other));
    EXPECT_FALSE(CompareSockAddrStorage(&v4, nullptr));
    EXPECT_TRUE(CompareIPv4SockAddrStorage(&v4, &v4OtherPort));
    EXPECT_FALSE(CompareIPv4SockAddrStorage(&v4, &mapped));
    EXPECT_FALSE(CompareIPv6SockAddrStorage(&v4, &mapped));

    // Scopes and flow information never count.
    in6_addr link{};
    inet_pton(AF_INET6, "fe80::9", &link);
    auto scoped = SocketAddress::ipv6(link, 1, 3, 0x1234);
    auto unscoped = SocketAddress::ipv6(link, 2, 0, 0);
    EXPECT_TRUE(CompareIPv6SockAddrStorage(&scoped, &unscoped));
    EXPECT_TRUE(CompareSockAddrStorage(&scoped, &unscoped));

    // Two different IPv6 addresses with the same flow information are different addresses.
    in6_addr otherLink{};
    inet_pton(AF_INET6, "fe80::a", &otherLink);
    auto sameFlow = SocketAddress::ipv6(otherLink, 1, 3, 0x1234);
    EXPECT_FALSE(CompareSockAddrStorage(&scoped, &sameFlow));
    // Nor does an IPv4 address equal an IPv6 one whose flow field holds its bytes.
    auto v4Bytes = addr("10.0.0.1");
    uint32_t flow = 0;
    auto raw = v4Bytes.ipv4Bytes();
    std::memcpy(&flow, raw.data(), 4);
    auto flowTwin = SocketAddress::ipv6(link, 0, 0, flow);
    EXPECT_FALSE(CompareSockAddrStorage(&v4Bytes, &flowTwin));
}

TEST(SockAddrStorage, ZeroAndMissingAddressesEqualNothing) {
    auto any4 = addr("0.0.0.0");
    auto any6 = addr("::");
    auto mappedAny = addr("::ffff:0.0.0.0");
    SocketAddress none;
    EXPECT_FALSE(CompareSockAddrStorage(&any4, &any4));
    EXPECT_FALSE(CompareSockAddrStorage(&any6, &any6));
    EXPECT_FALSE(CompareSockAddrStorage(&any4, &mappedAny));
    EXPECT_FALSE(CompareSockAddrStorage(&none, &none));
    EXPECT_TRUE(Ipv6AddressIsZero(any6.ipv6Bytes()));
    EXPECT_FALSE(Ipv6AddressIsZero(addr("::1").ipv6Bytes()));
}

TEST(SockAddrStorage, AddressStrings) {
    EXPECT_EQ(AddressStringFromSockAddrStorage(addr("10.1.2.3", 9)), "10.1.2.3");
    EXPECT_EQ(AddressStringFromSockAddrStorage(addr("::ffff:10.1.2.3", 9)), "::ffff:10.1.2.3");
    EXPECT_EQ(AddressStringFromSockAddrStorage(SocketAddress()), std::nullopt);
}

TEST(QNBNetAddress, TokensAreDottedIPv4Only) {
    platform::Error error;
    error.code = 99;
    auto a = QNBNetAddress::addressFromTokenString("192.168.1.20", 6001, &error);
    ASSERT_TRUE(a);
    auto bytes = a->address().recordBytes();
    EXPECT_EQ(bytes[0], 16);
    EXPECT_EQ(bytes[1], 2);
    EXPECT_EQ(bytes[2], 0x17);
    EXPECT_EQ(bytes[3], 0x71);
    EXPECT_EQ(QNBNetAddress::tokenStringFromAddress(a.get()), "192.168.1.20");

    EXPECT_FALSE(QNBNetAddress::addressFromTokenString("::1", 6001, &error));
    EXPECT_FALSE(QNBNetAddress::addressFromTokenString("tablet.local", 6001, &error));
    EXPECT_FALSE(QNBNetAddress::addressFromTokenString("192.168.1", 6001, nullptr));
    EXPECT_EQ(error.code, 99); // never set

    EXPECT_EQ(QNBNetAddress::tokenStringFromAddress(nullptr), std::nullopt);
    QNBNetAddress v6;
    v6.setAddress(addr("2001:db8::1", 1));
    EXPECT_EQ(QNBNetAddress::tokenStringFromAddress(&v6), "2001:db8::1");
    EXPECT_EQ(QNBNetAddress::tokenStringFromAddress(std::make_shared<QNBNetAddress>().get()), std::nullopt);
}

TEST(QNBNetAddress, CopiesAreIndependent) {
    QNBNetAddress original;
    original.setAddress(addr("10.0.0.1", 1));
    original.setNetmask(addr("255.0.0.0"));
    original.setPort(6001);
    original.setExternalAddress(true);
    auto copy = original.copy();
    EXPECT_EQ(copy->address(), original.address());
    EXPECT_EQ(copy->netmask(), original.netmask());
    EXPECT_EQ(copy->port(), 6001);
    EXPECT_TRUE(copy->externalAddress());
    copy->setPort(1);
    EXPECT_EQ(original.port(), 6001);
}
