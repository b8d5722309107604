// The stand-in Mac's root folder and the mapping of macOS paths into it.
#pragma once

#include <optional>
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

// Whether the text is a URL of the file scheme (the scheme compared without case).
bool isFileURL(std::string_view url);

// The path of a file URL, unescaped and without a trailing "/"; nothing for another scheme, a
// host other than "localhost", a relative path, a bad or NUL escape, or a query or fragment.
std::optional<std::string> pathOfFileURL(std::string_view url);

} // namespace platform
