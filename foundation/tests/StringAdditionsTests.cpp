#include "foundation/StringAdditions.h"
#include "foundation/ViewAdditions.h"
#include "platform/core/Format.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/un.h>

#include <gtest/gtest.h>

using namespace foundation;

TEST(StringAdditions, TextFromBytesIsStrictUTF8AndNothingForEmptyData) {
    const uint8_t hello[] = {'h', 'i'};
    EXPECT_EQ(stringWithData(hello), "hi");
    EXPECT_EQ(stringWithData({}), std::nullopt);
    const uint8_t broken[] = {'a', 0xC3};
    EXPECT_EQ(stringWithData(broken), std::nullopt);
    const uint8_t overlong[] = {0xC0, 0xAF};
    EXPECT_EQ(stringWithData(overlong), std::nullopt);
}

TEST(StringAdditions, NumericAddressesOnly) {
    EXPECT_TRUE(isValidIPAddress("::1"));
    EXPECT_TRUE(isValidIPAddress("192.168.1.2"));
    EXPECT_TRUE(isValidIPAddress("::ffff:10.0.0.1"));
    EXPECT_FALSE(isValidIPAddress("192.168.1"));
    EXPECT_FALSE(isValidIPAddress("kitchen-ipad.local"));
    EXPECT_FALSE(isValidIPAddress(""));
    EXPECT_FALSE(isValidIPAddress(std::string_view("1.2.3.4\0junk", 12)));
}

TEST(StringAdditions, SocketAddressTextsWithoutPortsAndLengthChecked) {
    sockaddr_storage storage{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(6001);
    inet_pton(AF_INET, "10.1.2.3", &v4->sin_addr);
    EXPECT_EQ(stringIPAddresWithSockAddr(&storage), "10.1.2.3");
    EXPECT_EQ(stringIPAddresWithSockAddr(reinterpret_cast<sockaddr*>(v4), sizeof(sockaddr_in) - 1),
              std::nullopt);

    storage = {};
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    v6->sin6_family = AF_INET6;
    inet_pton(AF_INET6, "fe80::1", &v6->sin6_addr);
    EXPECT_EQ(stringIPAddresWithSockAddr(reinterpret_cast<sockaddr*>(v6), sizeof(sockaddr_in6)), "fe80::1");
    EXPECT_EQ(stringIPAddresWithSockAddr(reinterpret_cast<sockaddr*>(v6), sizeof(sockaddr_in)), std::nullopt);

    storage = {};
    storage.ss_family = AF_UNIX;
    EXPECT_EQ(stringIPAddresWithSockAddr(&storage), "");
    EXPECT_EQ(stringIPAddresWithSockAddr(nullptr), std::nullopt);
}

TEST(StringAdditions, CaselessPrefixAndContainment) {
    EXPECT_TRUE(hasPrefixCaseless("iPad_Stylus", "IPAD"));
    EXPECT_TRUE(hasPrefixCaseless("ÉCRAN", "écr"));
    EXPECT_TRUE(hasPrefixCaseless("anything", ""));
    EXPECT_FALSE(hasPrefixCaseless("iPa", "iPad"));

    EXPECT_TRUE(containsInsensitiveString("Android_tablet", "android"));
    EXPECT_FALSE(containsString("Android_tablet", "android"));
    EXPECT_TRUE(containsString("Android_tablet", "_tab"));
    // An empty text is never found, with or without options.
    EXPECT_FALSE(containsString("MacOSX", ""));
    EXPECT_FALSE(containsInsensitiveString("MacOSX", ""));
    EXPECT_FALSE(containsInsensitiveString("", "x"));
}

TEST(StringAdditions, GeometryTexts) {
    EXPECT_EQ(NSStringFromCGRect(cg::CGRectMake(0, 0, 1024, 768)), "{ { 0, 0 }, { 1024, 768 } }");
    EXPECT_EQ(NSStringFromCGPoint(cg::CGPointMake(-1.5, 2e10)), "{ -1.5, 2e+10 }");
    EXPECT_EQ(NSStringFromCGSize(cg::CGSizeMake(0.25, 3)), "{ 0.25, 3 }");
}

TEST(StringAdditions, TransformTextAndConnectionStates) {
    EXPECT_EQ(NSStringFromCGAffineTransform(cg::CGAffineTransform{2, 0, 0, -1.5, 10, 1e10}),
              "a=2 b=0 c=0 d=-1.5 tx=10 ty=1e+10");
    EXPECT_EQ(QNExConnectStateFromString("Connected"), 2);
    EXPECT_EQ(QNExConnectStateFromString("NotConnected"), 0);
    EXPECT_EQ(QNExConnectStateFromString("connected"), 0);
    EXPECT_EQ(NSStringFromQNExConnectionState(2), "Connected");
    EXPECT_EQ(NSStringFromQNExConnectionState(1), "Connected");
    EXPECT_EQ(NSStringFromQNExConnectionState(3), "Connected");
    EXPECT_EQ(NSStringFromQNExConnectionState(0), "NotConnected");
    EXPECT_EQ(NSStringFromQNExConnectionState(4), std::nullopt);
    EXPECT_EQ(NSStringFromQNExConnectionState(-1), std::nullopt);
}

TEST(StringAdditions, ApplicationSupportIsTheUsersFolderTildeExpanded) {
    const char* saved = std::getenv("HOME");
    const std::string before = saved ? saved : "";
    ::setenv("HOME", "/tmp/tessel-home", 1);
    auto path = applicationSupportPath();
    if (saved)
        ::setenv("HOME", before.c_str(), 1);
    else
        ::unsetenv("HOME");
    ASSERT_TRUE(path);
    EXPECT_EQ(*path, "/tmp/tessel-home/Library/Application Support");
}

namespace {
class TitleStrip : public appkit::NSView {
    using NSView::NSView;
};
} // namespace

TEST(StringAdditions, RecursiveDescriptionIndentsEachSubviewByItsDepth) {
    auto root = std::make_shared<appkit::NSView>(cg::CGRectMake(0, 0, 100, 50));
    auto first = std::make_shared<appkit::NSView>(cg::CGRectMake(1, 2.5, 3, 4));
    auto nested = std::make_shared<TitleStrip>(cg::CGRectMake(0, 0, 1, 1));
    auto second = std::make_shared<appkit::NSView>(cg::CGRectMake(5, 6, 7, 8));
    root->addSubview(first);
    first->addSubview(nested);
    root->addSubview(second);
    auto at = [](const void* p) { return platform::format("%p", p); };
    EXPECT_EQ(recursiveDescription(*root),
              "<NSView: " + at(root.get()) + "; frame = {{0, 0}, {100, 50}}>\n" +
                  "    | <NSView: " + at(first.get()) + "; frame = {{1, 2.5}, {3, 4}}>\n" +
                  "    |    | <TitleStrip: " + at(nested.get()) + "; frame = {{0, 0}, {1, 1}}>\n" +
                  "    | <NSView: " + at(second.get()) + "; frame = {{5, 6}, {7, 8}}>");
    EXPECT_EQ(recursiveDescription(*second), "<NSView: " + at(second.get()) + "; frame = {{5, 6}, {7, 8}}>");
}
