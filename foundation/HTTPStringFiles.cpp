// Identifiers, addresses, folders, numbers and pages of the file-serving helpers.
#include "foundation/HTTPStringAdditions.h"

#include "foundation/StringAdditions.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/Paths.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSTemporaryDirectory.h"
#include "platform/foundation/NSUUID.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <unistd.h>

namespace foundation {

std::string stringWithNewUUID() {
    return ns::NSUUID::UUID().UUIDString();
}

std::optional<std::string> stringWithAddress(const sockaddr* address, socklen_t length) {
    auto text = stringIPAddresWithSockAddr(address, length);
    if (!text || text->empty()) return std::nullopt;
    uint16_t port = address->sa_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(address)->sin6_port
                                                   : reinterpret_cast<const sockaddr_in*>(address)->sin_port;
    return platform::format("%@:%d", *text, ntohs(port));
}

std::string appPrivateDataPath() {
    return platform::homeDirectory() + "/Library/Preferences";
}

std::string stringForAppPrivateDataPathByAppendingPathComponent(std::string_view component) {
    std::string path = appPrivateDataPath();
    if (!component.empty()) path += "/" + std::string(component);
    return path;
}

std::optional<std::string> uniqueTempFilePath(std::string_view prefix) {
    // A "/" would put the file outside the temporary folder, or in a folder that is not there.
    if (prefix.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos) return std::nullopt;
    std::string path = ns::NSTemporaryDirectory() + std::string(prefix) + "XXXXXX";
    int fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) {
        platform::log("cannot create a temporary file %@: %@", path, std::string(std::strerror(errno)));
        return std::nullopt;
    }
    ::close(fd);
    return path;
}

std::string realTemporaryDirectory() {
    return ns::NSTemporaryDirectory();
}

std::optional<std::string> AppSpecificTemporaryDirectory() {
    auto identifier = ns::NSBundle::mainBundle()->bundleIdentifier();
    if (!identifier || identifier->empty() || identifier->find('/') != std::string::npos) {
        platform::log("no application temporary folder: the main bundle has no usable identifier");
        return std::nullopt;
    }
    std::string path = ns::NSTemporaryDirectory() + *identifier;
    std::error_code error;
    std::filesystem::create_directories(path, error);
    if (error) {
        platform::log("cannot create %@: %@", path, error.message());
        return std::nullopt;
    }
    return path;
}

std::string documentsRootPath() {
    return platform::homeDirectory() + "/Documents";
}

uint64_t hexValue(std::string_view text) {
    uint64_t value = 0;
    for (char c : text) {
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0) break;
        if (value > (UINT64_MAX >> 4)) return UINT64_MAX; // a seventeenth significant digit
        value = value << 4 | static_cast<uint64_t>(digit);
    }
    return value;
}

std::string htmlString(std::string_view text) {
    std::string escaped;
    for (char c : text) {
        if (c == '&')
            escaped += "&amp;";
        else if (c == '<')
            escaped += "&lt;";
        else if (c == '>')
            escaped += "&gt;";
        else
            escaped += c;
    }
    return "<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Strict//EN\" "
           "\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-strict.dtd\">\n"
           "<html><body><pre>" +
           escaped + "</pre></body></html>";
}

std::string stringWithBuffer(std::span<const uint8_t> bytes) {
    std::string out;
    size_t whole = bytes.size() < 9 ? 0 : bytes.size() / 8 * 8;
    for (size_t i = 0; i < bytes.size(); ++i) {
        out += platform::format("%02x", bytes[i]);
        if (i < whole && i % 8 == 7) out += ' ';
    }
    return out;
}

ns::NSComparisonResult finderSortWithLocale(std::string_view a, std::string_view b,
                                            const ns::NSLocale* locale) {
    constexpr ns::NSUInteger options = ns::NSCaseInsensitiveSearch | ns::NSNumericSearch |
                                       ns::NSWidthInsensitiveSearch | ns::NSForcedOrderingSearch;
    return ns::compare(a, b, options, ns::NSMakeRange(0, a.size()), locale);
}

} // namespace foundation
