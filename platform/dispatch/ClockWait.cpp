#include "platform/dispatch/ClockWait.h"

#include "platform/dispatch/Thread.h"

#include <atomic>
#include <cstdlib>
#include <set>
#include <thread>

namespace dispatch {

namespace {

std::atomic<bool> gExiting{false};
std::once_flag gRegistered;

// The condition variables threads are waiting on, so exit can wake them all. Never destroyed:
// threads may still use it while the process exits.
struct Waits {
    std::mutex mutex;
    std::multiset<std::condition_variable*> cvs;
};

Waits& waits() {
    static auto* w = new Waits();
    return *w;
}

// Runs before the clock's statics are destroyed, having been registered after they were made:
// wakes every wait and lets it leave the clock before those statics go.
void stopClockWaits() {
    if (!platform::usingFakeClock()) return; // real-time waits never touch the clock's statics
    gExiting = true;
    auto& w = waits();
    for (;;) {
        {
            std::lock_guard lock(w.mutex);
            if (w.cvs.empty()) return;
            for (auto* cv : w.cvs)
                cv->notify_all();
        }
        std::this_thread::yield();
    }
}

// The main thread is the one exiting (a static destructor waiting): it must go on; any other
// thread waits for the process to end.
void parkUnlessMain(std::condition_variable& cv, std::unique_lock<std::mutex>& lock) {
    if (isMainThread()) return;
    for (;;)
        cv.wait(lock);
}

class Registration {
  public:
    explicit Registration(std::condition_variable& cv) {
        std::lock_guard lock(waits().mutex);
        m_it = waits().cvs.insert(&cv);
    }
    ~Registration() {
        std::lock_guard lock(waits().mutex);
        waits().cvs.erase(m_it);
    }

  private:
    std::multiset<std::condition_variable*>::iterator m_it;
};

} // namespace

bool clockWait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, platform::TimePoint deadline,
               const std::function<bool()>& pred) {
    std::call_once(gRegistered, [] { std::atexit(stopClockWaits); });
    if (gExiting) {
        parkUnlessMain(cv, lock);
        return pred();
    }
    {
        Registration registration(cv);
        platform::waitUntil(cv, lock, deadline, [&] { return gExiting.load() || pred(); });
    }
    bool result = pred();
    if (gExiting && !result) parkUnlessMain(cv, lock);
    return result;
}

} // namespace dispatch
