// File URLs as texts ("file:///Applications/Tessel%20Host.app/"), the way applications and
// helper tools are named to Launch Services and to the authorization calls.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace foundation {

// "file://" and the path percent-escaped; a folder's URL ends with "/". A relative path is
// taken from the current folder.
std::string fileURLWithPath(std::string_view path, bool isDirectory);

// Whether the text is a URL of the file scheme (the scheme compared without case).
bool isFileURL(std::string_view url);

// The path of a file URL, unescaped and without a trailing "/"; nothing for another scheme, a
// host other than "localhost", a relative path, a bad or NUL escape, or a query or fragment.
std::optional<std::string> pathOfFileURL(std::string_view url);

// An absolute path with "." and empty segments dropped, ".." taking the segment before it,
// "~" expanded, and no trailing "/"; then mapped into the stand-in Mac's root, so a path and its
// mapped form name the same file.
std::string stringByStandardizingPath(std::string_view path);

} // namespace foundation
