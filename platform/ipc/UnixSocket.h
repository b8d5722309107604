// The platformd socket's address and the two ends of opening it.
#pragma once

#include "platform/ipc/UniqueFd.h"

#include <string>

namespace ipc {

// sun_path holds 108 bytes with its terminating zero, so a longer path cannot be bound at all.
constexpr size_t kMaxSocketPathBytes = 107;

// "$root/run/platformd.sock".
std::string socketPathForRoot(const std::string& root);
// The root named by PLATFORM_ROOT, empty when unset.
std::string rootFromEnvironment();

// A close-on-exec stream socket connected to path; invalid with errno set on failure
// (ENAMETOOLONG for a path that does not fit).
UniqueFd connectUnix(const std::string& path);
// Binds and listens on path, replacing a stale socket file; invalid with errno on failure.
UniqueFd listenUnix(const std::string& path);

} // namespace ipc
