#include "foundation/StringAdditions.h"

#include "platform/core/Format.h"
#include "platform/foundation/NSSearchPath.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace foundation {

std::optional<std::string> stringWithData(std::span<const uint8_t> data) {
    if (data.empty()) return std::nullopt;
    return ns::stringWithData(data.data(), data.size());
}

std::optional<std::string> applicationSupportPath() {
    auto paths = ns::NSSearchPathForDirectoriesInDomains(ns::NSApplicationSupportDirectory,
                                                         ns::NSUserDomainMask, true);
    if (paths.empty()) return std::nullopt;
    return paths.front();
}

bool isValidIPAddress(std::string_view text) {
    // inet_pton reads up to a NUL, so a text with one inside would be judged by its head alone.
    if (text.empty() || text.find('\0') != std::string_view::npos) return false;
    std::string address(text);
    in6_addr v6{};
    in_addr v4{};
    return inet_pton(AF_INET6, address.c_str(), &v6) == 1 || inet_pton(AF_INET, address.c_str(), &v4) == 1;
}

std::optional<std::string> stringIPAddresWithSockAddr(const sockaddr* address, socklen_t length) {
    if (!address || length < sizeof(sa_family_t)) return std::nullopt;
    char text[INET6_ADDRSTRLEN] = {};
    if (address->sa_family == AF_INET6) {
        if (length < sizeof(sockaddr_in6)) return std::nullopt;
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        if (!inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text)) return std::nullopt;
        return std::string(text);
    }
    if (address->sa_family == AF_INET) {
        if (length < sizeof(sockaddr_in)) return std::nullopt;
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        if (!inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text)) return std::nullopt;
        return std::string(text);
    }
    return std::string();
}

std::optional<std::string> stringIPAddresWithSockAddr(const sockaddr_storage* address) {
    return stringIPAddresWithSockAddr(reinterpret_cast<const sockaddr*>(address), sizeof(sockaddr_storage));
}

bool hasPrefixCaseless(std::string_view text, std::string_view prefix) {
    return ns::lowercaseString(text).starts_with(ns::lowercaseString(prefix));
}

bool containsString(std::string_view text, std::string_view needle, ns::NSUInteger options) {
    return ns::rangeOfString(text, needle, options).location != ns::NSNotFound;
}

bool containsString(std::string_view text, std::string_view needle) { return containsString(text, needle, 0); }

bool containsInsensitiveString(std::string_view text, std::string_view needle) {
    return containsString(text, needle, ns::NSCaseInsensitiveSearch);
}

std::string NSStringFromCGPoint(cg::CGPoint point) { return platform::format("{ %g, %g }", point.x, point.y); }

std::string NSStringFromCGSize(cg::CGSize size) { return platform::format("{ %g, %g }", size.width, size.height); }

std::string NSStringFromCGRect(cg::CGRect rect) {
    return platform::format("{ %@, %@ }", NSStringFromCGPoint(rect.origin), NSStringFromCGSize(rect.size));
}

std::string NSStringFromCGAffineTransform(cg::CGAffineTransform t) {
    return platform::format("a=%g b=%g c=%g d=%g tx=%g ty=%g", t.a, t.b, t.c, t.d, t.tx, t.ty);
}

QNExConnectionState QNExConnectStateFromString(std::string_view text) { return text == "Connected" ? 2 : 0; }

std::optional<std::string> NSStringFromQNExConnectionState(QNExConnectionState state) {
    if (state == 0) return std::string("NotConnected");
    if (state >= 1 && state <= 3) return std::string("Connected");
    return std::nullopt;
}

} // namespace foundation
