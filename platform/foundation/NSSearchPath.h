// The standard folders of the stand-in Mac, by kind and domain. Answers mapped paths: the local
// domain's folders lie under the stand-in's root, the user domain's under $HOME.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ns {

enum NSSearchPathDirectory : uint32_t {
    NSApplicationDirectory = 1,
    NSCachesDirectory = 13,
    NSApplicationSupportDirectory = 14,
    NSPreferencePanesDirectory = 22,
};

enum NSSearchPathDomainMask : uint32_t {
    NSUserDomainMask = 1,
    NSLocalDomainMask = 2,
    NSNetworkDomainMask = 4,
    NSSystemDomainMask = 8,
    NSAllDomainsMask = 0x0ffff,
};

// The folders of that kind in the domains of the mask, user domain first. Without tilde
// expansion a user-domain folder keeps its leading "~"; other domains are absolute either way.
// Kinds and domains the stand-in does not keep give no entry.
std::vector<std::string> NSSearchPathForDirectoriesInDomains(NSSearchPathDirectory directory,
                                                             uint32_t domainMask, bool expandTilde);

} // namespace ns
