// Processes by command name, from the kernel's process table (kern.proc.all): how the host
// finds its screen server to watch and to stop it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace host {

// The sysctl call the lookup reads the table with (bsd::sysctl unless a test gives another).
using SysctlFunction = std::function<int(const int* name, unsigned int namelen, void* oldp, size_t* oldlenp,
                                         const void* newp, size_t newlen)>;

// Table reads that lose a race with a growing table are tried again, this many times.
inline constexpr int kProcessTableReadAttempts = 10;

// 0 when at least one process is named name (its first 16 characters), -1 when none; -2 for an
// absent name, array or count out, or a capacity of 0; -3 when the table cannot be read (error
// out: the errno); -4 when memory for it runs out (error out: ENOMEM); -5 when more processes
// match than the capacity (the array holds the first capacity ids, count = capacity).
// error may be null.
int GetAllPIDsForProcessName(const char* name, int32_t* pids, unsigned capacity, unsigned* count, int* error,
                             const SysctlFunction& sysctl = {});
// The id of the one process of that name; -1 for none or several.
int32_t GetPIDForProcessName(const char* name, const SysctlFunction& sysctl = {});

} // namespace host
