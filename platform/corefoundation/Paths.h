// The stand-in Mac's root folder and the mapping of macOS paths into it.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// $PLATFORM_ROOT without a trailing slash; empty when unset.
std::string platformRoot();
// $HOME, else the user's home from the password database.
std::string homeDirectory();

// "/Applications", "/Library", "/System", "/usr/bin/sudo", "/usr/sbin/system_profiler" and
// anything below them go under the root; "~" and "~/..." go to $HOME; anything else (/tmp,
// /proc, "/var/run/usbmuxd", ...) and paths already under the root are unchanged. Without a
// root nothing is mapped (logged once).
std::string macPath(std::string_view path);

} // namespace platform
