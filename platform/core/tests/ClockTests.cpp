#include "platform/core/Clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <poll.h>
#include <unistd.h>

// This executable runs each test in its own process (CTest), so the fake clock installed
// here never leaks into a real-time test.
TEST(FakeClock, SleepersWakeOnlyWhenTimeIsAdvancedPastTheirDeadline) {
    auto& clock = platform::installFakeClock();
    auto start = platform::now();
    std::atomic<bool> woke{false};
    auto due = start + platform::seconds(2.0);
    std::thread sleeper([&] {
        platform::sleepUntil(due);
        woke = true;
    });
    clock.advance(platform::seconds(1.5));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(woke.load());
    clock.advance(platform::seconds(0.5));
    sleeper.join();
    EXPECT_TRUE(woke.load());
    EXPECT_EQ(platform::now() - start, platform::seconds(2.0));
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
