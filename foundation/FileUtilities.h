// Small file-system and text helpers shared by the foundation's diagnostics.
#pragma once

#include <cstddef>
#include <string>

namespace foundation {

bool isDirectory(const std::string& path);
// Creates path and any missing parents (mode 0755); true when path is a folder afterwards.
bool createDirectoryWithIntermediates(const std::string& path);
// Writes the bytes to a temporary file beside path and renames it into place, so path never
// holds a partial file. False, leaving nothing behind, when any step fails.
bool writeFileAtomically(const std::string& path, const void* bytes, size_t length);
// A random (version 4) UUID in its upper-case text form, 8-4-4-4-12 hexadecimal digits.
std::string newUUIDString();
// A date, in seconds since 2001-01-01 UTC, as "YYYY-MM-DD HH:MM:SS +0000".
std::string dateDescription(double secondsSince2001);

} // namespace foundation
