// Starts programs as platformd's own detached children: a session of their own, stdin from
// /dev/null, output appended to a log file, a clean signal state.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace platformd {

struct SpawnRequest {
    std::string path;              // absolute path of the executable
    std::vector<std::string> argv; // argv[0] first; empty means {path}
    std::string logPath;           // stdout and stderr appended here; empty means /dev/null
};

// Answers the child's pid, or -1 with errno (ENOENT, EACCES, ...) when it could not start.
pid_t spawnDetached(const SpawnRequest& request);

} // namespace platformd
