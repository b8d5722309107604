// sysctl and sysctlbyname for the stand-in Mac: machine facts from the profile, and the
// process table (kern.proc.all) from platformd, so parallel test roots never see each
// other's programs. Constants live here, apart from the Linux headers they would clash with.
#pragma once

#include <cstddef>
#include <sys/types.h>

namespace bsd {

inline constexpr int CTL_KERN = 1;
inline constexpr int CTL_HW = 6;
inline constexpr int KERN_OSRELEASE = 2;
inline constexpr int KERN_OSREV = 3;
inline constexpr int KERN_PROC = 14;
inline constexpr int KERN_PROC_ALL = 0;
inline constexpr int HW_MODEL = 2;
inline constexpr int HW_NCPU = 3;
inline constexpr int HW_CPU_FREQ = 15;
inline constexpr int HW_MEMSIZE = 24;

// The command name holds 16 bytes and its terminating zero.
inline constexpr size_t MAXCOMLEN = 16;

struct extern_proc {
    pid_t p_pid = 0;
    char p_comm[MAXCOMLEN + 1] = {};
};
struct kinfo_proc {
    extern_proc kp_proc;
};

// A null oldp answers the length in *oldlenp; a short buffer -1 with ENOMEM and the needed
// length; an unknown name -1 with ENOENT; any newp -1 with EPERM (nothing is settable).
int sysctl(const int* name, unsigned int namelen, void* oldp, size_t* oldlenp, const void* newp,
           size_t newlen);
int sysctlbyname(const char* name, void* oldp, size_t* oldlenp, const void* newp, size_t newlen);

} // namespace bsd
