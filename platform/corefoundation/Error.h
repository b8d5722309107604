// platform::Error: the stand-in for NSError. An NSError** parameter becomes a nullable
// Error* that is set only on failure (see setError).
#pragma once

#include "platform/corefoundation/Value.h"

#include <cstdint>
#include <string>

namespace platform {

inline constexpr char NSPOSIXErrorDomain[] = "NSPOSIXErrorDomain";
inline constexpr char NSOSStatusErrorDomain[] = "NSOSStatusErrorDomain";
inline constexpr char NSCocoaErrorDomain[] = "NSCocoaErrorDomain";
inline constexpr char NSNetServicesErrorDomain[] = "NSNetServicesErrorDomain";
inline constexpr char PlatformErrorDomain[] = "PlatformErrorDomain";

inline constexpr char NSLocalizedDescriptionKey[] = "NSLocalizedDescription";
inline constexpr char NSFilePathErrorKey[] = "NSFilePath";

// Codes of NSCocoaErrorDomain used by the stand-in.
inline constexpr int64_t NSFileReadUnknownError = 256;
inline constexpr int64_t NSFileWriteUnknownError = 512;
inline constexpr int64_t NSPropertyListReadCorruptError = 3840;
inline constexpr int64_t NSPropertyListWriteInvalidError = 3851;
inline constexpr int64_t NSCoderReadCorruptError = 4864;

// Codes of PlatformErrorDomain: talking to platformd.
inline constexpr int64_t kPlatformErrorUnreachable = 1;
inline constexpr int64_t kPlatformErrorConnectionLost = 2;
inline constexpr int64_t kPlatformErrorRefused = 3;

struct Error {
    std::string domain;
    int64_t code = 0;
    cf::Dictionary userInfo;

    Error() = default;
    Error(std::string domain, int64_t code, cf::Dictionary userInfo = {});
    // An error whose userInfo holds NSLocalizedDescription = description.
    static Error withDescription(std::string domain, int64_t code, std::string description);
    // NSPOSIXErrorDomain with an errno value (compared by name: ENOENT, ECONNREFUSED, ...).
    static Error posix(int errnoValue);

    // NSLocalizedDescription when present; else a text known for the domain and code
    // (strerror for NSPOSIXErrorDomain); else a generic text naming domain and code.
    std::string localizedDescription() const;
    // Error Domain=<domain> Code=<code> "<localized description>"
    std::string description() const;

    bool operator==(const Error& other) const = default;
};

// Sets *out when out is non-null; NSError** callers pass null when they do not care.
void setError(Error* out, const Error& error);
void setError(Error* out, std::string domain, int64_t code);
void setError(Error* out, std::string domain, int64_t code, std::string description);

} // namespace platform
