// The Process Manager calls the input code uses: a process's serial number by pid and its
// information dictionary, from platformd's process table.
#pragma once

#include "platform/corefoundation/Value.h"

#include <cstdint>
#include <optional>
#include <sys/types.h>

namespace appservices {

using OSStatus = int32_t;
inline constexpr OSStatus procNotFound = -600;
inline constexpr OSStatus paramErr = -50;
inline constexpr uint32_t kProcessDictionaryIncludeAllInformationMask = 0xFFFFFFFF;

struct ProcessSerialNumber {
    uint32_t highLongOfPSN = 0;
    uint32_t lowLongOfPSN = 0;
};

// 0 with the serial number, procNotFound for a pid platformd does not know.
OSStatus GetProcessForPID(pid_t pid, ProcessSerialNumber* psn);
// "CFBundleIdentifier" (when it has one), "CFBundleName", "BundlePath" and "pid"; nullopt for an
// unknown serial number.
std::optional<cf::Value> ProcessInformationCopyDictionary(const ProcessSerialNumber* psn,
                                                          uint32_t infoToReturn);

} // namespace appservices
