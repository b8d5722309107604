#include "platform/foundation/NSSearchPath.h"

#include "platform/corefoundation/Paths.h"

namespace ns {

namespace {

struct Location {
    NSSearchPathDirectory directory;
    NSSearchPathDomainMask domain;
    const char* path; // as macOS names it: "~/..." in the user domain
};

// In the order the domains are searched: user, local, network, system.
constexpr Location kLocations[] = {
    {NSCachesDirectory, NSUserDomainMask, "~/Library/Caches"},
    {NSApplicationSupportDirectory, NSUserDomainMask, "~/Library/Application Support"},
    {NSPreferencePanesDirectory, NSUserDomainMask, "~/Library/PreferencePanes"},
    {NSApplicationDirectory, NSLocalDomainMask, "/Applications"},
    {NSPreferencePanesDirectory, NSLocalDomainMask, "/Library/PreferencePanes"},
    {NSPreferencePanesDirectory, NSSystemDomainMask, "/System/Library/PreferencePanes"},
};

} // namespace

std::vector<std::string> NSSearchPathForDirectoriesInDomains(NSSearchPathDirectory directory,
                                                             uint32_t domainMask, bool expandTilde) {
    std::vector<std::string> paths;
    for (const auto& location : kLocations) {
        if (location.directory != directory || (domainMask & location.domain) == 0) continue;
        const std::string path = location.path;
        // macPath expands "~" and maps the root's folders; an unexpanded user path stays as it is.
        paths.push_back(path[0] == '~' && !expandTilde ? path : platform::macPath(path));
    }
    return paths;
}

} // namespace ns
