#include "foundation/FileURL.h"

#include "platform/corefoundation/Paths.h"

#include <cctype>
#include <unistd.h>
#include <vector>

namespace foundation {

namespace {

constexpr std::string_view kScheme = "file://";

// Characters a path keeps unescaped in a URL (RFC 3986 pchar and "/").
bool keptInPath(unsigned char c) {
    if (std::isalnum(c)) return true;
    switch (c) {
    case '-': case '.': case '_': case '~': case '/': case '!': case '$': case '&': case '\'':
    case '(': case ')': case '*': case '+': case ',': case ';': case '=': case ':': case '@':
        return true;
    default:
        return false;
    }
}

std::string currentFolder() {
    std::vector<char> buffer(4096);
    if (!::getcwd(buffer.data(), buffer.size())) return "/";
    return buffer.data();
}

} // namespace

std::string fileURLWithPath(std::string_view path, bool isDirectory) {
    std::string absolute = !path.empty() && path[0] == '/' ? std::string(path) : currentFolder() + "/" + std::string(path);
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string url(kScheme);
    for (unsigned char c : absolute) {
        if (keptInPath(c)) {
            url.push_back(static_cast<char>(c));
        } else {
            url.push_back('%');
            url.push_back(kHex[c >> 4]);
            url.push_back(kHex[c & 0xF]);
        }
    }
    if (isDirectory && url.back() != '/') url.push_back('/');
    return url;
}

bool isFileURL(std::string_view url) { return platform::isFileURL(url); }

std::optional<std::string> pathOfFileURL(std::string_view url) { return platform::pathOfFileURL(url); }

std::string stringByStandardizingPath(std::string_view path) {
    std::string expanded(path);
    if (expanded == "~" || expanded.starts_with("~/")) expanded = platform::homeDirectory() + expanded.substr(1);
    if (expanded.empty() || expanded[0] != '/') expanded = currentFolder() + "/" + expanded;
    std::vector<std::string_view> segments;
    std::string_view rest = expanded;
    while (!rest.empty()) {
        size_t slash = rest.find('/');
        std::string_view segment = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view{} : rest.substr(slash + 1);
        if (segment.empty() || segment == ".") continue;
        if (segment == "..") {
            if (!segments.empty()) segments.pop_back();
            continue;
        }
        segments.push_back(segment);
    }
    std::string standard;
    for (auto segment : segments) {
        standard.push_back('/');
        standard.append(segment);
    }
    if (standard.empty()) standard = "/";
    return platform::macPath(standard);
}

} // namespace foundation
