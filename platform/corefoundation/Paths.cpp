#include "platform/corefoundation/Paths.h"

#include "platform/core/Log.h"

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace platform {

namespace {

// The macOS locations that live inside the stand-in root.
constexpr std::string_view kMappedPrefixes[] = {"/Applications", "/Library", "/System", "/usr/bin/sudo",
                                                "/usr/sbin/system_profiler"};

// path is prefix itself or lies below it ("/Library2" is not below "/Library").
bool isAtOrBelow(std::string_view path, std::string_view prefix) {
    return path.starts_with(prefix) && (path.size() == prefix.size() || path[prefix.size()] == '/');
}

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt; // an escape cut short
        int high = hexDigit(text[i + 1]), low = hexDigit(text[i + 2]);
        if (high < 0 || low < 0 || (high == 0 && low == 0)) return std::nullopt;
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return out;
}

} // namespace

bool isFileURL(std::string_view url) {
    if (url.size() < 5) return false;
    std::string scheme;
    for (char c : url.substr(0, 5))
        scheme.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return scheme == "file:";
}

std::optional<std::string> pathOfFileURL(std::string_view url) {
    if (!isFileURL(url) || url.substr(5, 2) != "//") return std::nullopt;
    std::string_view rest = url.substr(7);
    size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    std::string_view host = rest.substr(0, slash);
    if (!host.empty() && host != "localhost") return std::nullopt;
    std::string_view escaped = rest.substr(slash);
    if (escaped.find_first_of("?#") != std::string_view::npos) return std::nullopt;
    auto path = unescape(escaped);
    if (!path) return std::nullopt;
    while (path->size() > 1 && path->back() == '/')
        path->pop_back();
    return path;
}

std::string platformRoot() {
    const char* root = std::getenv("PLATFORM_ROOT");
    return root ? withoutTrailingSlashes(root) : std::string();
}

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home && *home) return withoutTrailingSlashes(home);
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir)
        return withoutTrailingSlashes(found->pw_dir);
    return "/";
}

std::string macPath(std::string_view path) {
    if (path == "~" || path.starts_with("~/")) return homeDirectory() + std::string(path.substr(1));
    std::string root = platformRoot();
    if (!root.empty() && root != "/" && isAtOrBelow(path, root)) return std::string(path); // already mapped
    for (std::string_view prefix : kMappedPrefixes) {
        if (!isAtOrBelow(path, prefix)) continue;
        if (root.empty()) {
            static std::atomic<bool> logged{false};
            if (!logged.exchange(true)) log("PLATFORM_ROOT is not set; macOS paths are used unmapped");
            return std::string(path);
        }
        return root == "/" ? std::string(path) : root + std::string(path);
    }
    return std::string(path);
}

} // namespace platform
