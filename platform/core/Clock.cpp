#include "platform/core/Clock.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <poll.h>
#include <set>
#include <thread>

namespace platform {

namespace {

std::atomic<FakeClock*> gFake{nullptr};

// Waits registered with the fake clock, so advance() can wake them at once. A wake-up
// that races the registration is caught by the short real-time slice of each wait.
// Leaked on purpose: detached threads may still wait while the process exits.
std::mutex& gWaitersMutex = *new std::mutex;
std::set<std::condition_variable*>& gWaiters = *new std::set<std::condition_variable*>;
std::set<std::condition_variable_any*>& gWaitersAny = *new std::set<std::condition_variable_any*>;
constexpr auto kFakeSlice = std::chrono::milliseconds(10);

void wakeAll() {
    std::lock_guard lock(gWaitersMutex);
    for (auto* cv : gWaiters) cv->notify_all();
    for (auto* cv : gWaitersAny) cv->notify_all();
}

template <typename CV, typename Lock> void fakeWaitSlice(CV& cv, Lock& lock, std::set<CV*>& registry) {
    {
        std::lock_guard g(gWaitersMutex);
        registry.insert(&cv);
    }
    cv.wait_for(lock, kFakeSlice);
    std::lock_guard g(gWaitersMutex);
    registry.erase(&cv);
}

template <typename CV, typename Lock>
bool waitImpl(CV& cv, Lock& lock, TimePoint deadline, const std::function<bool()>& pred, std::set<CV*>& registry) {
    for (;;) {
        if (pred()) return true;
        TimePoint t = now();
        if (t >= deadline) return pred();
        if (gFake.load()) {
            fakeWaitSlice(cv, lock, registry);
        } else {
            auto left = deadline - t;
            cv.wait_for(lock, std::min<Duration>(left, std::chrono::seconds(3600)));
        }
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
    return waitImpl(cv, lock, deadline, pred, gWaiters);
}

bool waitUntil(std::condition_variable_any& cv, std::unique_lock<std::recursive_mutex>& lock, TimePoint deadline,
               const std::function<bool()>& pred) {
    return waitImpl(cv, lock, deadline, pred, gWaitersAny);
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
