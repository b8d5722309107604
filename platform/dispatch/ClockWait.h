// Deadline waits for threads that may outlive main(). With the fake clock, a wait registers
// with the clock's list of waiters, which is destroyed when the process exits; so once exit
// has begun, these waits end their current slice and park the thread instead of touching it.
#pragma once

#include "platform/core/Clock.h"

#include <condition_variable>
#include <functional>
#include <mutex>

namespace dispatch {

// platform::waitUntil with that exit rule; answers pred() at return.
bool clockWait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, platform::TimePoint deadline,
               const std::function<bool()>& pred);

} // namespace dispatch
