// Shared state of the work loops and their timers (kernel-internal).
#pragma once

#include "platform/core/Clock.h"

#include <condition_variable>
#include <mutex>
#include <optional>
#include <vector>

namespace kernel {

class IOTimerEventSource;

struct WorkLoopState {
    std::condition_variable wake;
    std::vector<IOTimerEventSource*> sources; // retained
    bool changed = false;
    bool exiting = false;
    bool firing = false;
};

// One lock for every work loop and timer: arming, cancelling and picking a due timer are
// short, and one lock keeps the settle test of all loops simple.
std::mutex& timersLock();
// Notified whenever a loop finishes a firing or goes back to waiting.
std::condition_variable& timersProgress();
std::vector<WorkLoopState*>& liveWorkLoops(); // guarded by timersLock()
// Earliest armed deadline over all loops; caller holds timersLock().
std::optional<platform::TimePoint> earliestDeadlineLocked();

} // namespace kernel
