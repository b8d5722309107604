#include "foundation/Gestalt.h"

#include "platform/corefoundation/Paths.h"
#include "platform/corefoundation/PropertyList.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <mutex>
#include <optional>
#include <string_view>
#include <sys/stat.h>

namespace foundation {

namespace {

constexpr char kSystemVersionPath[] = "/System/Library/CoreServices/SystemVersion.plist";
constexpr size_t kMaximumProductVersionLength = 32;

// "10.12.6" as {10, 12, 6}; a missing bug-fix part reads 0. Anything else is unreadable.
std::optional<std::array<int, 3>> parseProductVersion(std::string_view text) {
    if (text.empty() || text.size() > kMaximumProductVersionLength) return std::nullopt;
    std::array<int, 3> parts{0, 0, 0};
    size_t count = 0;
    while (count < parts.size()) {
        size_t dot = text.find('.');
        std::string_view part = text.substr(0, dot);
        auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), parts[count]);
        if (part.empty() || ec != std::errc() || end != part.data() + part.size() || parts[count] < 0 ||
            parts[count] > 255)
            return std::nullopt;
        ++count;
        if (dot == std::string_view::npos) break;
        text.remove_prefix(dot + 1);
        if (count == parts.size()) return std::nullopt; // a fourth part
    }
    if (count < 2) return std::nullopt;
    return parts;
}

std::optional<std::array<int, 3>> parseSystemVersion() {
    auto plist = cf::readPropertyListFile(kSystemVersionPath);
    const cf::Value* version = plist ? plist->find("ProductVersion") : nullptr;
    if (!version || !version->isString()) return std::nullopt;
    return parseProductVersion(*version->asString());
}

// What tells one version file from another: a rewrite is a new file (written aside, then
// renamed), and a change in place moves its times.
struct FileIdentity {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t modified = 0, changed = 0; // ns

    static std::optional<FileIdentity> of(std::string path) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) return std::nullopt;
        const auto ns = [](const timespec& t) { return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; };
        return FileIdentity{std::move(path), st.st_dev, st.st_ino, st.st_size, ns(st.st_mtim), ns(st.st_ctim)};
    }
    bool operator==(const FileIdentity&) const = default;
};

// The version is asked on every cursor tick and frame: the file is read and parsed again only
// when it is another file than last time.
std::optional<std::array<int, 3>> readSystemVersion() {
    static std::mutex lock;
    static std::optional<FileIdentity> readFile;
    static std::optional<std::array<int, 3>> readVersion;
    auto identity = FileIdentity::of(platform::macPath(kSystemVersionPath));
    if (!identity) return std::nullopt;
    {
        std::lock_guard guard(lock);
        if (readFile == identity) return readVersion;
    }
    auto version = parseSystemVersion();
    std::lock_guard guard(lock);
    readFile = std::move(identity);
    readVersion = version;
    return version;
}

} // namespace

OSErr Gestalt(OSType selector, SInt32* response) {
    if (!response) return paramErr;
    if (selector != gestaltSystemVersion && selector != gestaltSystemVersionMajor &&
        selector != gestaltSystemVersionMinor && selector != gestaltSystemVersionBugFix)
        return gestaltUndefSelectorErr;
    auto version = readSystemVersion();
    if (!version) return gestaltUnknownErr;
    auto [major, minor, bugFix] = *version;
    if (selector == gestaltSystemVersion) {
        int bcdMajor = std::min(major, 99);
        *response = (bcdMajor / 10) << 12 | (bcdMajor % 10) << 8 | std::min(minor, 9) << 4 | std::min(bugFix, 9);
    } else if (selector == gestaltSystemVersionMajor) {
        *response = major;
    } else if (selector == gestaltSystemVersionMinor) {
        *response = minor;
    } else {
        *response = bugFix;
    }
    return noErr;
}

} // namespace foundation
