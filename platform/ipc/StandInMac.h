// The programs of the product are macOS programs: here they run only inside a stand-in Mac,
// whose platformd launches them. Started anywhere else they would write into the real home and
// wait for a platformd that never answers, so they say where they belong and stop.
#pragma once

#include <optional>
#include <ostream>
#include <string>

namespace ipc {

inline constexpr int kOutsideStandInMacStatus = 2;

// nullopt when this process runs inside a stand-in Mac ($PLATFORM_ROOT set and its platformd
// answering). Otherwise writes one line to out, naming the program, why it cannot run and
// command, the way to run it, and answers the exit status 2.
std::optional<int> refuseOutsideStandInMac(const std::string& program, const std::string& command,
                                           std::ostream& out);

} // namespace ipc
