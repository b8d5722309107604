// The kernel-extension manager: which kexts platformd's kernel has loaded, and where an
// installed kext lives. Loaded, installed only, or absent are the three answers callers read.
#pragma once

#include "platform/corefoundation/Value.h"

#include <optional>
#include <string>

namespace iokit {

// Keyed by each asked identifier that is loaded (all loaded kexts when kextIdentifiers is
// null), each value an info dictionary reduced to infoKeys when given. Null without platformd.
std::optional<cf::Value> KextManagerCopyLoadedKextInfo(const std::optional<cf::Value>& kextIdentifiers,
                                                       const std::optional<cf::Value>& infoKeys);

// The file URL ("file:///…/Name.kext/") of the kext with that identifier under the root's
// /Library/Extensions or /System/Library/Extensions; null when none is installed.
std::optional<std::string> KextManagerCreateURLForBundleIdentifier(const void* allocator,
                                                                   const std::string& kextIdentifier);

} // namespace iokit
