// The kernel's small library: memory, logging, atomics, the machine's model and version,
// and the system clock the drivers read.
#pragma once

#include "platform/kernel/IOReturn.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace kernel {

void* IOMalloc(size_t size);
void IOFree(void* address, size_t size);

// printf-style; the line goes to the logging facade prefixed with the bundle identifier of
// the kext whose code called it ("kernel" for the kernel's own code).
void IOLog(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Atomically stores newValue at *address when it still holds oldValue.
bool OSCompareAndSwapPtr(void* oldValue, void* newValue, void* volatile* address);

// Gives the processor to another thread for a moment (a busy wait's back-off).
void processorYield();

// The machine's model name, cut to maxLength - 1 bytes; false when there is no room at all.
bool PEGetModelName(char* name, int maxLength);

// Darwin major version of the running system: 10.x gives x + 4; 11 and later, major + 9.
extern int version_major;

using clock_sec_t = uint32_t;
using clock_usec_t = uint32_t;
// Seconds and microseconds of the system clock (time since boot on the process clock).
void clock_get_system_microtime(clock_sec_t* secs, clock_usec_t* microsecs);

// Set by the kernel at boot.
void setMachineModel(const std::string& model);
int versionMajorForProductVersion(const std::string& productVersion);

// Lets IOLog name the kext that owns code at an address.
void registerKextImage(const void* imageBase, const std::string& bundleIdentifier);
void unregisterKextImage(const void* imageBase);

} // namespace kernel
