// Text helpers: texts from bytes and socket addresses, address checks, caseless tests, and
// the "{ x, y }" text forms of geometry used in the server's log lines.
#pragma once

#include "platform/coregraphics/CGAffineTransform.h"
#include "platform/coregraphics/CGGeometry.h"
#include "platform/foundation/NSString.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <sys/socket.h>

namespace foundation {

// The bytes read as UTF-8; nothing for empty data or bytes that are not valid UTF-8.
std::optional<std::string> stringWithData(std::span<const uint8_t> data);

// The first folder of the user's Application Support, tilde expanded (no product folder
// appended); nothing when there is none.
std::optional<std::string> applicationSupportPath();

// Whether the text is a numeric IPv6 address or, failing that, a numeric IPv4 address.
bool isValidIPAddress(std::string_view text);

// The numeric text of an IPv6 or IPv4 socket address, without the port; "" for another family;
// nothing for a null address or one shorter than its family needs.
std::optional<std::string> stringIPAddresWithSockAddr(const sockaddr* address, socklen_t length);
std::optional<std::string> stringIPAddresWithSockAddr(const sockaddr_storage* address);

// Both texts lower-cased, then a prefix test.
bool hasPrefixCaseless(std::string_view text, std::string_view prefix);

// Whether a search with the options (ns::NSStringCompareOptions) finds needle in text; an empty
// needle is never found.
bool containsString(std::string_view text, std::string_view needle, ns::NSUInteger options);
bool containsString(std::string_view text, std::string_view needle);
bool containsInsensitiveString(std::string_view text, std::string_view needle);

std::string NSStringFromCGPoint(cg::CGPoint point);
std::string NSStringFromCGSize(cg::CGSize size);
std::string NSStringFromCGRect(cg::CGRect rect);                            // "{ { 0, 0 }, { 1024, 768 } }"
std::string NSStringFromCGAffineTransform(cg::CGAffineTransform transform); // "a=1 b=0 c=0 d=1 tx=0 ty=0"

// A client device's connection state as it announces it under "ConnState": 0 not connected,
// 1 to 3 connected.
using QNExConnectionState = int32_t;
// "NotConnected" gives 0, "Connected" 2, any other text 0.
QNExConnectionState QNExConnectStateFromString(std::string_view text);
// 0 gives "NotConnected", 1 to 3 "Connected", anything else nothing.
std::optional<std::string> NSStringFromQNExConnectionState(QNExConnectionState state);

} // namespace foundation
