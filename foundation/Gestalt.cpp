#include "foundation/Gestalt.h"

#include "platform/corefoundation/PropertyList.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>
#include <string_view>

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

std::optional<std::array<int, 3>> readSystemVersion() {
    auto plist = cf::readPropertyListFile(kSystemVersionPath);
    const cf::Value* version = plist ? plist->find("ProductVersion") : nullptr;
    if (!version || !version->isString()) return std::nullopt;
    return parseProductVersion(*version->asString());
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
