#include "platform/core/Clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <vector>
#include <thread>
#include <poll.h>
#include <unistd.h>

// This executable runs each test in its own process (CTest), so the fake clock installed
// here never leaks into a real-time test.
// The waiter counts each look at its predicate; holding the same mutex, the test sees it
// either back inside its wait or returned, so "still waiting" needs no real sleep.
struct CountingWaiter {
    std::mutex m;
    std::condition_variable cv;    // the waiter's; nobody but the clock notifies it
    std::condition_variable seen;  // the test's
    int looks = 0;
    bool returned = false;
    bool result = true;

    void wait(platform::TimePoint deadline) {
        std::unique_lock l(m);
        result = platform::waitUntil(cv, l, deadline, [&] {
            ++looks;
            seen.notify_all();
            return false;
        });
        returned = true;
        seen.notify_all();
    }
    // Waits (real time, ended by the event) until the waiter has looked more than n times.
    int awaitLookBeyond(int n) {
        std::unique_lock l(m);
        EXPECT_TRUE(seen.wait_for(l, std::chrono::seconds(20), [&] { return looks > n || returned; }));
        return looks;
    }
};

TEST(FakeClock, WaitsWakeExactlyWhenTimeIsAdvancedToTheirDeadline) {
    auto& clock = platform::installFakeClock();
    auto deadline = platform::now() + platform::seconds(2.0);
    CountingWaiter w;
    std::thread waiter([&] { w.wait(deadline); });
    int looks = w.awaitLookBeyond(0);
    // Just short of the deadline: the advance wakes the wait, which looks and waits again.
    clock.advanceTo(deadline - platform::Duration(1));
    looks = w.awaitLookBeyond(looks);
    {
        std::lock_guard l(w.m);
        EXPECT_FALSE(w.returned);
    }
    clock.advance(platform::Duration(1));
    {
        std::unique_lock l(w.m);
        EXPECT_TRUE(w.seen.wait_for(l, std::chrono::seconds(20), [&] { return w.returned; }));
        EXPECT_FALSE(w.result);
    }
    waiter.join();
    EXPECT_EQ(platform::now(), deadline);
}

TEST(FakeClock, EveryWaiterOnOneConditionVariableIsWoken) {
    auto& clock = platform::installFakeClock();
    std::mutex m;
    std::condition_variable cv;
    std::atomic<int> done{0};
    auto deadline = platform::now() + platform::seconds(1.0);
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&] {
            std::unique_lock l(m);
            platform::waitUntil(cv, l, deadline, [] { return false; });
            ++done;
        });
    }
    clock.advanceTo(deadline);
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(done.load(), 4);
}

TEST(FakeClock, SleepersWakeOnlyWhenTimeIsAdvancedPastTheirDeadline) {
    auto& clock = platform::installFakeClock();
    auto start = platform::now();
    std::atomic<bool> woke{false};
    std::thread sleeper([&] {
        platform::sleepUntil(start + platform::seconds(2.0));
        woke = true;
    });
    clock.advance(platform::seconds(1.5));
    clock.advance(platform::seconds(0.5));
    sleeper.join();
    EXPECT_TRUE(woke.load());
    EXPECT_EQ(platform::now() - start, platform::seconds(2.0));
}

TEST(Clock, SecondsSaturatesInsteadOfOverflowing) {
    EXPECT_EQ(platform::seconds(1e300), platform::kDistantFuture.time_since_epoch());
    EXPECT_EQ(platform::seconds(std::numeric_limits<double>::infinity()),
              platform::kDistantFuture.time_since_epoch());
    EXPECT_EQ(platform::seconds(-1e300), -platform::kDistantFuture.time_since_epoch());
    EXPECT_EQ(platform::seconds(std::numeric_limits<double>::quiet_NaN()), platform::Duration::zero());
    EXPECT_EQ(platform::seconds(0.25), std::chrono::milliseconds(250));
}

TEST(FakeClock, WallTimeMovesWithAdvanceAndAloneWithSetWall) {
    auto& clock = platform::installFakeClock();
    double w = platform::wallNow();
    clock.advance(platform::seconds(3));
    EXPECT_DOUBLE_EQ(platform::wallNow(), w + 3);
    auto mono = platform::now();
    clock.setWall(100.0);
    EXPECT_DOUBLE_EQ(platform::wallNow(), 100.0);
    EXPECT_EQ(platform::now(), mono);
}

TEST(FakeClock, DeadlineWaitEndsByPredicateOrByTime) {
    auto& clock = platform::installFakeClock();
    std::mutex m;
    std::condition_variable cv;
    bool flag = false;
    std::thread setter([&] {
        std::lock_guard l(m);
        flag = true;
        cv.notify_all();
    });
    {
        std::unique_lock l(m);
        EXPECT_TRUE(platform::waitUntil(cv, l, platform::now() + platform::seconds(45), [&] { return flag; }));
    }
    setter.join();
    std::atomic<bool> result{true};
    auto deadline = platform::now() + platform::seconds(45);
    std::thread waiter([&] {
        std::unique_lock l(m);
        result = platform::waitUntil(cv, l, deadline, [] { return false; });
    });
    clock.advance(platform::seconds(45));
    waiter.join();
    EXPECT_FALSE(result.load());
}

TEST(RealClock, PollForTimesOutOnAQuietDescriptor) {
    if (platform::usingFakeClock()) GTEST_SKIP() << "needs real time (run through CTest)";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(platform::pollFor(fds[0], POLLIN, platform::now() + platform::seconds(0.05)), 0);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    EXPECT_TRUE(platform::pollFor(fds[0], POLLIN, platform::now() + platform::seconds(5)) & POLLIN);
    close(fds[0]);
    close(fds[1]);
}
