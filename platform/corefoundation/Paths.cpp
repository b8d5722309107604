#include "platform/corefoundation/Paths.h"

#include "platform/core/Log.h"

#include <atomic>
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

} // namespace

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
