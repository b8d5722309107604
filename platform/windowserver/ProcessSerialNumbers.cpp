// Serial numbers of the process table: the parent of a process as one 64-bit number.
#include "platform/windowserver/EventSystem.h"

namespace windowserver {

// "ParentPSN" as one 64-bit number: launchd for what platformd launched, else the parent's entry
// in the table, else 0 (no process).
int64_t EventSystem::parentSerialNumber(const ProcessRecord& process,
                                        const std::vector<ProcessRecord>& table) {
    if (process.launchedBySystem)
        return static_cast<int64_t>(uint64_t(kLaunchdSerialNumberHigh) << 32 | kLaunchdSerialNumberLow);
    for (const ProcessRecord& p : table)
        if (process.parentPid > 0 && p.pid == process.parentPid) return p.serialNumber;
    return 0;
}

} // namespace windowserver
