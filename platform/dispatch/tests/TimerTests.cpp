#include "platform/core/Log.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/Testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

using namespace dispatch;

namespace {
dispatch_time_t in(double seconds) {
    return dispatch_time(DISPATCH_TIME_NOW, static_cast<int64_t>(seconds * NSEC_PER_SEC));
}
} // namespace

TEST(DispatchAfter, FiresOnlyWhenTheFakeClockReachesIt) {
    auto& clock = platform::installFakeClock();
    int onMain = 0;
    std::atomic<int> onSerial{0};
    auto serial = dispatch_queue_create("com.example.after", nullptr);
    dispatch_after(in(2), dispatch_get_main_queue(), [&] { ++onMain; });
    dispatch_after(in(2), serial, [&] { ++onSerial; });
    dispatch_after(DISPATCH_TIME_FOREVER, serial, [&] { onSerial += 100; });
    runUntilIdle();
    drain(serial);
    EXPECT_EQ(onMain, 0);
    clock.advance(platform::seconds(1.999));
    runUntilIdle();
    drain(serial);
    EXPECT_EQ(onMain, 0);
    EXPECT_EQ(onSerial.load(), 0);
    clock.advance(platform::seconds(0.001));
    runUntilIdle();
    drain(serial);
    EXPECT_EQ(onMain, 1);
    EXPECT_EQ(onSerial.load(), 1);
}

TEST(DispatchAfter, AdvanceAndRunStopsAtEachDueTimeOnTheWay) {
    platform::installFakeClock();
    auto start = platform::now();
    std::vector<double> at;
    auto main = dispatch_get_main_queue();
    // Each block schedules the next: all three fall inside one advance.
    dispatch_after(in(1), main, [&] {
        at.push_back(platform::toSeconds(platform::now() - start));
        dispatch_after(in(1), main, [&] {
            at.push_back(platform::toSeconds(platform::now() - start));
            dispatch_after(in(1), main, [&] { at.push_back(platform::toSeconds(platform::now() - start)); });
        });
    });
    advanceAndRun(3.5);
    EXPECT_EQ(at, (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(platform::now() - start, platform::seconds(3.5));
}

TEST(TimerSource, RepeatsKeepingPhaseAndCollapsesMissedFires) {
    auto& clock = platform::installFakeClock();
    auto start = platform::now();
    auto timer = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, dispatch_get_main_queue());
    std::vector<std::pair<double, unsigned long>> fires;
    dispatch_source_set_event_handler(timer, [&] {
        fires.emplace_back(platform::toSeconds(platform::now() - start), dispatch_source_get_data(timer));
    });
    dispatch_source_set_timer(timer, in(1), NSEC_PER_SEC, 0);
    advanceAndRun(2.0);
    EXPECT_TRUE(fires.empty()) << "a source starts suspended";

    dispatch_resume(timer);
    // Suspended time counts as missed: the first call stands for the fires at 1 and 2.
    runUntilIdle();
    ASSERT_EQ(fires.size(), 1u);
    EXPECT_EQ(fires[0].second, 2u);
    advanceAndRun(3.0);
    ASSERT_EQ(fires.size(), 4u);
    EXPECT_EQ(fires[3], (std::pair<double, unsigned long>{5.0, 1}));

    clock.advance(platform::seconds(4.5)); // now 9.5: fires at 6, 7, 8 and 9 collapse
    runUntilIdle();
    ASSERT_EQ(fires.size(), 5u);
    EXPECT_EQ(fires[4].second, 4u);
    advanceAndRun(0.4);
    EXPECT_EQ(fires.size(), 5u);
    advanceAndRun(0.1); // 10.0: the phase is kept
    ASSERT_EQ(fires.size(), 6u);
    EXPECT_EQ(fires[5].first, 10.0);
    dispatch_source_cancel(timer); // its handler refers to this test's locals
}

TEST(TimerSource, CancelStopsFiresAndRunsTheCancelHandlerOnce) {
    platform::installFakeClock();
    auto q = dispatch_queue_create("com.example.timer", nullptr);
    auto timer = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, q);
    std::atomic<int> fires{0};
    std::atomic<int> cancels{0};
    dispatch_source_set_event_handler(timer, [&] { ++fires; });
    dispatch_source_set_cancel_handler(timer, [&] { ++cancels; });
    dispatch_source_set_timer(timer, in(0.5), NSEC_PER_SEC / 2, 0);
    dispatch_resume(timer);
    auto& clock = platform::installFakeClock();
    clock.advance(platform::seconds(0.5));
    drain(q);
    EXPECT_EQ(fires.load(), 1);
    dispatch_source_cancel(timer);
    dispatch_source_cancel(timer);
    clock.advance(platform::seconds(5));
    drain(q);
    EXPECT_EQ(fires.load(), 1);
    EXPECT_EQ(cancels.load(), 1);
    EXPECT_EQ(dispatch_source_testcancel(timer), 1);
}

TEST(TimerSource, OneShotFiresOnceAndSuspendHoldsFires) {
    auto& clock = platform::installFakeClock();
    auto timer = dispatch_source_create(DISPATCH_SOURCE_TYPE_TIMER, 0, 0, dispatch_get_main_queue());
    int fires = 0;
    dispatch_source_set_event_handler(timer, [&] { ++fires; });
    dispatch_source_set_timer(timer, in(1), DISPATCH_TIME_FOREVER, 0);
    dispatch_resume(timer);
    dispatch_suspend(timer);
    advanceAndRun(3.0);
    EXPECT_EQ(fires, 0);
    dispatch_resume(timer);
    runUntilIdle();
    EXPECT_EQ(fires, 1);
    clock.advance(platform::seconds(10));
    runUntilIdle();
    EXPECT_EQ(fires, 1);

    platform::LogCapture log(true);
    dispatch_resume(timer);
    EXPECT_TRUE(log.contains("dispatch_resume on a source that is not suspended"));
}
