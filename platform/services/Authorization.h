// The stand-in Authorization calls: platformd answers (allow, deny or cancel, from the
// profile or a test switch) and runs a tool "with privileges" as its own detached child,
// without any change of privilege. Both are recorded in platformd's event log.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

namespace security {

using OSStatus = int32_t;
using AuthorizationFlags = uint32_t;

inline constexpr OSStatus errAuthorizationSuccess = 0;
inline constexpr OSStatus errAuthorizationInvalidRef = -60002;
inline constexpr OSStatus errAuthorizationDenied = -60005;
inline constexpr OSStatus errAuthorizationCanceled = -60006;
inline constexpr OSStatus errAuthorizationInternal = -60008;
inline constexpr OSStatus errAuthorizationToolExecuteFailure = -60031;

inline constexpr AuthorizationFlags kAuthorizationFlagDefaults = 0;
inline constexpr AuthorizationFlags kAuthorizationFlagInteractionAllowed = 1 << 0;
inline constexpr AuthorizationFlags kAuthorizationFlagExtendRights = 1 << 1;
inline constexpr AuthorizationFlags kAuthorizationFlagPreAuthorize = 1 << 4;

// A right asked for: its name, and a value the callers here never give.
struct AuthorizationItem {
    const char* name = nullptr;
    size_t valueLength = 0;
    void* value = nullptr;
    uint32_t flags = 0;
};
struct AuthorizationRights {
    uint32_t count = 0;
    AuthorizationItem* items = nullptr;
};

struct AuthorizationOpaqueRef;
using AuthorizationRef = std::shared_ptr<AuthorizationOpaqueRef>;

// The answer of platformd, which records the names of the rights asked for; *authorization is
// set only on success. Without platformd: errAuthorizationInternal.
OSStatus AuthorizationCreate(const AuthorizationRights* rights, const void* environment,
                             AuthorizationFlags flags, AuthorizationRef* authorization);
OSStatus AuthorizationFree(const AuthorizationRef& authorization, AuthorizationFlags flags);

// A null ref answers errAuthorizationInvalidRef; a missing or non-executable tool
// errAuthorizationToolExecuteFailure; else platformd starts it (path mapped into the root)
// with the null-terminated arguments and answers 0. A requested pipe reads end-of-file at once.
OSStatus AuthorizationExecuteWithPrivileges(const AuthorizationRef& authorization, const char* pathToTool,
                                            AuthorizationFlags options, const char* const* arguments,
                                            FILE** communicationsPipe);

} // namespace security
