#include "host/ProcessLookup.h"

#include "platform/services/Sysctl.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

namespace host {

namespace {

void setError(int* error, int value) {
    if (error) *error = value;
}

} // namespace

int GetAllPIDsForProcessName(const char* name, int32_t* pids, unsigned capacity, unsigned* count, int* error,
                             const SysctlFunction& sysctl) {
    if (!name || !pids || !count || capacity == 0) return -2;
    std::memset(pids, 0, capacity * sizeof(int32_t));
    *count = 0;
    setError(error, 0);
    const SysctlFunction read = sysctl ? sysctl : SysctlFunction(&bsd::sysctl);
    const int mib[3] = {bsd::CTL_KERN, bsd::KERN_PROC, bsd::KERN_PROC_ALL};

    std::vector<bsd::kinfo_proc> table;
    size_t size = 0;
    for (int attempt = 1;; ++attempt) {
        size = 0;
        if (read(mib, 3, nullptr, &size, nullptr, 0) == -1) {
            setError(error, errno);
            return -3;
        }
        try {
            table.assign(size / sizeof(bsd::kinfo_proc) + 1, bsd::kinfo_proc{});
        } catch (const std::bad_alloc&) {
            setError(error, ENOMEM);
            return -4;
        }
        size = table.size() * sizeof(bsd::kinfo_proc);
        if (read(mib, 3, table.data(), &size, nullptr, 0) == 0) break;
        // Only a table that grew between the two reads is worth reading again.
        if (errno != ENOMEM || attempt >= kProcessTableReadAttempts) {
            setError(error, errno);
            return -3;
        }
    }

    const size_t records = std::min(size / sizeof(bsd::kinfo_proc), table.size());
    for (size_t i = 0; i < records; ++i) {
        const bsd::extern_proc& process = table[i].kp_proc;
        if (process.p_pid <= 0 || std::strncmp(process.p_comm, name, bsd::MAXCOMLEN) != 0) continue;
        if (*count == capacity) return -5;
        pids[(*count)++] = process.p_pid;
    }
    return *count >= 1 ? 0 : -1;
}

int32_t GetPIDForProcessName(const char* name, const SysctlFunction& sysctl) {
    int32_t pid = 0;
    unsigned count = 0;
    if (GetAllPIDsForProcessName(name, &pid, 1, &count, nullptr, sysctl) == 0 && count == 1) return pid;
    return -1;
}

} // namespace host
