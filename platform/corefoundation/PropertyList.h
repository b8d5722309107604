// Reading and writing property lists (XML or binary) through libplist.
//
// Every input is bounded before libplist sees it: over 16 MiB, nested deeper than 64
// containers, a binary object graph that is cyclic or expands past kMaxPropertyListNodes, or
// anything libplist cannot parse gives nullopt and NSCocoaErrorDomain 3840 ("The data
// couldn't be read because it isn't in the correct format."), never a crash.
//
// Integers read back as SInt64 (unsigned values above INT64_MAX read back negative), reals as
// Float64, dates in seconds since 2001 (XML keeps whole seconds, binary microseconds), UIDs
// natively from binary and from XML's {"CF$UID": n} form.
#pragma once

#include "platform/corefoundation/Error.h"
#include "platform/corefoundation/Value.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace cf {

enum class PropertyListFormat { XML, Binary };

inline constexpr size_t kMaxPropertyListBytes = 16 * 1024 * 1024;
inline constexpr int kMaxPropertyListDepth = 64; // containers on the way to any value
// A binary plist may share objects, so a small file can stand for a huge tree; past this
// many values after expansion it is refused.
inline constexpr size_t kMaxPropertyListNodes = 2'000'000;

inline constexpr char kPropertyListReadCorruptDescription[] =
    "The data couldn't be read because it isn't in the correct format.";

// Parses XML or binary (recognised by the "bplist00" magic).
std::optional<Value> propertyListFromData(std::string_view bytes, platform::Error* error = nullptr);
std::optional<Value> propertyListFromData(const Bytes& bytes, platform::Error* error = nullptr);

// A bound on the array under one key of a root dictionary, checked once libplist has parsed
// the input and before any of it is converted, so a reader refusing more elements than it
// takes (an archive's objects) pays nothing for the ones it refuses.
struct RootArrayLimit {
    std::string_view key;
    size_t maxCount = 0;
};
// As above; past the limit gives nullopt with the same error, and *overLimit set when given.
std::optional<Value> propertyListFromData(std::string_view bytes, const RootArrayLimit& limit, bool* overLimit,
                                          platform::Error* error = nullptr);

// Serialises a value. Refused (nullopt + NSCocoaErrorDomain 3851) for strings or keys that are
// not valid UTF-8 or hold a NUL byte, dates outside what the format can hold, or output over
// kMaxPropertyListBytes (it could never be read back).
std::optional<Bytes> dataFromPropertyList(const Value& value, PropertyListFormat format,
                                          platform::Error* error = nullptr);

// Files. Paths go through platform::macPath. Reading refuses files over kMaxPropertyListBytes
// before reading them; I/O failures give NSPOSIXErrorDomain errors.
std::optional<Value> readPropertyListFile(const std::string& path, platform::Error* error = nullptr);
// Writes <path>.tmp.<pid> with the given mode and renames it over path, so readers see the
// old file or the new one, never a part.
bool writePropertyListFile(const Value& value, const std::string& path, PropertyListFormat format,
                           platform::Error* error = nullptr, mode_t mode = 0644);
bool writeFileAtomically(const std::string& path, const void* bytes, size_t length, mode_t mode,
                         platform::Error* error = nullptr);
// mkdir -p with the given mode for each folder it creates.
bool createDirectories(const std::string& path, mode_t mode, platform::Error* error = nullptr);

} // namespace cf
