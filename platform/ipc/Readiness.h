// Waiting for platformd to be ready without sleeping: platformd renames its socket into place
// only once it listens, so readiness is the path appearing. The wait watches the nearest
// existing folder on the way to the socket with inotify and tries to connect at each change.
#pragma once

#include "platform/core/Clock.h"

#include <string>

namespace ipc {

enum class WaitResult { Ready, TimedOut, Aborted };

// Ready once a connect to socketPath succeeds; Aborted when abortFd (say, a pidfd of the
// platformd being waited for) becomes readable first.
WaitResult waitForSocket(const std::string& socketPath, platform::TimePoint deadline, int abortFd = -1);

} // namespace ipc
