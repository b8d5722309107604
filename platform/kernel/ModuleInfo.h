// The module record every kext exports: its name and version, and optional start and stop
// routines the kernel runs after dlopen and before dlclose.
#pragma once

#include "platform/kernel/IOReturn.h"

namespace kernel {

struct kmod_info_t;
using kmod_start_func_t = kern_return_t(kmod_info_t* info, void* data);
using kmod_stop_func_t = kern_return_t(kmod_info_t* info, void* data);

struct kmod_info_t {
    const char* name;
    const char* version;
    kmod_start_func_t* start;
    kmod_stop_func_t* stop;
};

inline constexpr char kKmodInfoSymbol[] = "kmod_info";

} // namespace kernel

// Defines the exported module record of a kext; start and stop may be null.
#define KMOD_EXPLICIT_DECL(name, version, start, stop)                                                       \
    extern "C" {                                                                                             \
    __attribute__((visibility("default"), used)) ::kernel::kmod_info_t kmod_info = {name, version, start,    \
                                                                                    stop};                   \
    }
