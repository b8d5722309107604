// The one process-wide clock. Every wait, time-out, timer and date in the system
// reads it, so unit tests can install a fake clock and drive time themselves.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

namespace platform {

// Monotonic time of the process clock (real or fake).
struct MonoClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<MonoClock>;
    static constexpr bool is_steady = true;
    static time_point now();
};
using Duration = std::chrono::nanoseconds;
using TimePoint = MonoClock::time_point;

// Seconds as a Duration (the design's figures are fractional seconds: 0.25, 3.5, 1/120).
// Saturates at about ±146 years (NaN gives zero), so a huge or infinite interval read from
// a file or a caller stays a far-off time instead of an overflowing conversion.
constexpr Duration seconds(double s) {
    constexpr double kLimit = static_cast<double>(INT64_MAX / 2) / 1e9;
    if (!(s == s)) return Duration::zero();
    if (s >= kLimit) return Duration(INT64_MAX / 2);
    if (s <= -kLimit) return Duration(-(INT64_MAX / 2));
    return Duration(static_cast<int64_t>(s * 1e9));
}
constexpr double toSeconds(Duration d) { return static_cast<double>(d.count()) / 1e9; }
constexpr TimePoint kDistantFuture = TimePoint(Duration(INT64_MAX / 2));

TimePoint now();
// Wall time in seconds since 2001-01-01 00:00:00 UTC (an NSDate's reference).
double wallNow();
uint64_t machAbsoluteTime(); // nanoseconds, like mach_absolute_time with a 1/1 timebase

void sleepFor(Duration d);
void sleepFor(double secs);
void sleepUntil(TimePoint t);

// Waits on cv (lock held by the caller) until pred() or the deadline on the process clock.
// Answers pred() at return.
bool waitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, TimePoint deadline,
               const std::function<bool()>& pred);
bool waitUntil(std::condition_variable_any& cv, std::unique_lock<std::recursive_mutex>& lock, TimePoint deadline,
               const std::function<bool()>& pred);

// poll(2) on one descriptor until an event or the deadline; waits in real slices of at most
// 100 ms so the process clock is rechecked. Answers revents, 0 at the deadline, -1 with errno.
int pollFor(int fd, short events, TimePoint deadline);

class FakeClock {
public:
    TimePoint now() const;
    double wallNow() const;
    // Moves monotonic and wall time on and releases every wait due by then.
    void advance(Duration d);
    void advanceTo(TimePoint t);
    // Moves wall time alone (a clock set back or forward).
    void setWall(double secondsSince2001);

private:
    friend FakeClock& installFakeClock();
    FakeClock() = default;
    mutable std::mutex m_mutex;
    Duration m_mono{Duration(1'000'000'000)};
    double m_wall = 820'000'000.0; // 2026-12-26, fixed so tests are repeatable
};

// Installs the fake clock for the rest of the process (idempotent); call before any facade.
FakeClock& installFakeClock();
bool usingFakeClock();

} // namespace platform
