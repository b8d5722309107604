#include "platform/dispatch/Activity.h"

#include <condition_variable>
#include <mutex>

namespace dispatch::activity {

namespace {
struct State {
    std::mutex mutex;
    std::condition_variable cv;
    uint64_t generation = 0;
};
State& state() {
    static auto* s = new State();
    return *s;
}
} // namespace

uint64_t generation() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.generation;
}

void signal() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    ++s.generation;
    s.cv.notify_all();
}

void waitPast(uint64_t seen) {
    auto& s = state();
    std::unique_lock lock(s.mutex);
    s.cv.wait(lock, [&] { return s.generation != seen; });
}

bool waitPastFor(uint64_t seen, std::chrono::milliseconds bound) {
    auto& s = state();
    std::unique_lock lock(s.mutex);
    return s.cv.wait_for(lock, bound, [&] { return s.generation != seen; });
}

} // namespace dispatch::activity
