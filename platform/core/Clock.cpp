#include "platform/core/Clock.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <poll.h>
#include <list>
#include <thread>
#include <vector>

namespace platform {

namespace {

std::atomic<FakeClock*> gFake{nullptr};

// A wait registered with the fake clock, so advance() can wake it at once. The waker takes
// the waiter's mutex before notifying: the waiter holds it from its time check until it is
// inside the condition variable's wait, so a wake can never fall between the two.
struct FakeWaiter {
    std::function<bool()> tryWake; // notifies under the waiter's mutex if it can be taken
    std::function<void()> wake;    // notifies without it
    int busy = 0;                  // wakers using this entry; it stays until they are done
};

// Leaked on purpose: detached threads may still wait while the process exits.
std::mutex& gWaitersMutex = *new std::mutex;
std::condition_variable& gWaitersIdle = *new std::condition_variable;
std::list<FakeWaiter>& gWaiters = *new std::list<FakeWaiter>;

// Only a safety net: a waiter whose mutex another thread held through a whole wake attempt
// (the waker gives up rather than risk a deadlock) is released by this real-time slice.
constexpr auto kFakeSafetySlice = std::chrono::milliseconds(100);
constexpr auto kWakeAttempt = std::chrono::milliseconds(2);

// Wakers never block on a waiter's mutex (the caller of advance() might hold it): they try
// for a moment, then notify without it.
void wakeOne(FakeWaiter& w) {
    auto giveUp = std::chrono::steady_clock::now() + kWakeAttempt;
    while (!w.tryWake()) {
        if (std::chrono::steady_clock::now() >= giveUp) {
            w.wake();
            return;
        }
        std::this_thread::yield();
    }
}

void wakeAll() {
    std::vector<FakeWaiter*> waiters;
    {
        std::lock_guard lock(gWaitersMutex);
        for (auto& w : gWaiters) {
            ++w.busy;
            waiters.push_back(&w);
        }
    }
    for (auto* w : waiters)
        wakeOne(*w);
    std::lock_guard lock(gWaitersMutex);
    for (auto* w : waiters)
        --w->busy;
    gWaitersIdle.notify_all();
}

template <typename CV, typename Lock> std::list<FakeWaiter>::iterator registerWaiter(CV& cv, Lock& lock) {
    auto* mutex = lock.mutex();
    FakeWaiter w{[&cv, mutex] {
                     if (!mutex->try_lock()) return false;
                     cv.notify_all();
                     mutex->unlock();
                     return true;
                 },
                 [&cv] { cv.notify_all(); }};
    std::lock_guard g(gWaitersMutex);
    return gWaiters.insert(gWaiters.end(), std::move(w));
}

// Called with the waiter's mutex released: a waker busy with the entry, or with another
// waiter's on the same mutex (a pool's workers share one), takes it at once instead of spinning
// its whole attempt.
void unregisterWaiter(std::list<FakeWaiter>::iterator it) {
    std::unique_lock g(gWaitersMutex);
    gWaitersIdle.wait(g, [&] { return it->busy == 0; });
    gWaiters.erase(it);
}

template <typename CV, typename Lock>
bool waitImpl(CV& cv, Lock& lock, TimePoint deadline, const std::function<bool()>& pred) {
    if (!gFake.load()) {
        for (;;) {
            if (pred()) return true;
            TimePoint t = now();
            if (t >= deadline) return pred();
            cv.wait_for(lock, std::min<Duration>(deadline - t, std::chrono::seconds(3600)));
        }
    }
    for (;;) {
        // Registered before the first time check, so an advance after it always reaches the wait.
        auto entry = registerWaiter(cv, lock);
        while (!pred() && now() < deadline)
            cv.wait_for(lock, kFakeSafetySlice);
        lock.unlock();
        unregisterWaiter(entry);
        lock.lock();
        // Looked at again with the mutex held once more: what another thread did meanwhile counts.
        if (pred()) return true;
        if (now() >= deadline) return false;
    }
}

double realWall() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count() - 978307200.0;
}

} // namespace

MonoClock::time_point MonoClock::now() { return platform::now(); }

TimePoint now() {
    if (auto* f = gFake.load()) return f->now();
    return TimePoint(std::chrono::duration_cast<Duration>(std::chrono::steady_clock::now().time_since_epoch()));
}

double wallNow() {
    if (auto* f = gFake.load()) return f->wallNow();
    return realWall();
}

uint64_t machAbsoluteTime() { return static_cast<uint64_t>(now().time_since_epoch().count()); }

void sleepFor(Duration d) { sleepUntil(now() + d); }
void sleepFor(double secs) { sleepFor(seconds(secs)); }

void sleepUntil(TimePoint t) {
    if (!gFake.load()) {
        auto left = t - now();
        if (left > Duration::zero()) std::this_thread::sleep_for(left);
        return;
    }
    std::mutex m;
    std::condition_variable cv;
    std::unique_lock lock(m);
    waitUntil(cv, lock, t, [] { return false; });
}

bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, TimePoint deadline,
               const std::function<bool()>& pred) {
    return waitImpl(cv, lock, deadline, pred);
}

bool waitUntil(std::condition_variable_any& cv, std::unique_lock<std::recursive_mutex>& lock, TimePoint deadline,
               const std::function<bool()>& pred) {
    return waitImpl(cv, lock, deadline, pred);
}

int pollFor(int fd, short events, TimePoint deadline) {
    for (;;) {
        TimePoint t = now();
        if (t >= deadline) return 0;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - t).count();
        int slice = static_cast<int>(std::clamp<long long>(left, 1, 100));
        if (gFake.load()) slice = 10;
        pollfd p{fd, events, 0};
        int r = ::poll(&p, 1, slice);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r > 0) return p.revents;
    }
}

TimePoint FakeClock::now() const {
    std::lock_guard lock(m_mutex);
    return TimePoint(m_mono);
}

double FakeClock::wallNow() const {
    std::lock_guard lock(m_mutex);
    return m_wall;
}

void FakeClock::advance(Duration d) {
    if (d < Duration::zero()) return;
    {
        std::lock_guard lock(m_mutex);
        m_mono += d;
        m_wall += toSeconds(d);
    }
    wakeAll();
}

void FakeClock::advanceTo(TimePoint t) {
    Duration d;
    {
        std::lock_guard lock(m_mutex);
        d = t.time_since_epoch() - m_mono;
    }
    advance(d);
}

void FakeClock::setWall(double s) {
    {
        std::lock_guard lock(m_mutex);
        m_wall = s;
    }
    wakeAll();
}

FakeClock& installFakeClock() {
    static FakeClock* clock = [] {
        auto* c = new FakeClock();
        gFake.store(c);
        return c;
    }();
    return *clock;
}

bool usingFakeClock() { return gFake.load() != nullptr; }

} // namespace platform
