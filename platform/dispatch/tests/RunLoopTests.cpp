#include "platform/core/Log.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/dispatch/Testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace dispatch;

namespace {
const RunLoopModes kDefault{std::string(kDefaultRunLoopMode)};
}

TEST(RunLoop, NestedModalRunServesTheMainQueueButNotDefaultModeWork) {
    platform::installFakeClock();
    auto loop = RunLoop::main();
    std::vector<std::string> order;
    loop->perform(kDefault, [&] {
        loop->perform(kDefault, [&] { order.push_back("default work"); });
        dispatch_async(dispatch_get_main_queue(), [&] {
            order.push_back("main queue in " + loop->currentMode());
            loop->stop();
        });
        auto result = loop->runInMode(kModalPanelRunLoopMode, platform::kDistantFuture, false);
        EXPECT_EQ(result, RunLoop::RunResult::Stopped);
        order.push_back("modal run ended");
    });
    runUntilIdle();
    EXPECT_EQ(order, (std::vector<std::string>{"main queue in NSModalPanelRunLoopMode", "modal run ended",
                                               "default work"}));
    EXPECT_EQ(loop->currentMode(), "");
}

TEST(RunLoop, CommonModesCoverTheThreeModesAndWorkRunsInReadyOrder) {
    platform::installFakeClock();
    auto loop = RunLoop::main();
    std::vector<std::string> order;
    loop->performAfter(platform::seconds(1), kDefault, {}, [&] { order.push_back("delayed"); });
    loop->perform({std::string(kCommonRunLoopModes)}, [&] { order.push_back("common"); });
    loop->perform({std::string(kEventTrackingRunLoopMode)}, [&] { order.push_back("tracking"); });
    loop->perform(kDefault, [&] { order.push_back("default"); });
    runUntilIdle(kEventTrackingRunLoopMode);
    EXPECT_EQ(order, (std::vector<std::string>{"common", "tracking"}));
    advanceAndRun(platform::seconds(1));
    EXPECT_EQ(order, (std::vector<std::string>{"common", "tracking", "default", "delayed"}));
}

TEST(RunLoop, RepeatingTimerKeepsPhaseCollapsesAndStopsWhenInvalidatedElsewhere) {
    auto& clock = platform::installFakeClock();
    auto loop = RunLoop::main();
    auto start = platform::now();
    std::vector<double> fires;
    auto timer = std::make_shared<RunLoopTimer>(
        start + platform::seconds(1), platform::seconds(1),
        [&](RunLoopTimer&) { fires.push_back(platform::toSeconds(platform::now() - start)); });
    loop->addTimer(timer, kDefault);
    advanceAndRun(2.5);
    EXPECT_EQ(fires, (std::vector<double>{1, 2}));
    clock.advance(platform::seconds(2.7)); // 5.2: fires at 3, 4 and 5 collapse into one
    runUntilIdle();
    EXPECT_EQ(fires.size(), 3u);
    EXPECT_EQ(timer->fireDate(), start + platform::seconds(6));
    std::thread([&] { timer->invalidate(); }).join();
    EXPECT_FALSE(timer->isValid());
    advanceAndRun(5.0);
    EXPECT_EQ(fires.size(), 3u);
    EXPECT_EQ(loop->nextDueDate(kDefaultRunLoopMode), std::nullopt);
}

TEST(RunLoop, DelayedPerformsCancelByTargetAndSelector) {
    platform::installFakeClock();
    auto loop = RunLoop::main();
    int target = 0;
    int argument = 0;
    std::vector<std::string> ran;
    loop->performAfter(platform::seconds(1), kDefault, {&target, "retry", &argument},
                       [&] { ran.push_back("retry"); });
    loop->performAfter(platform::seconds(1), kDefault, {&target, "retry", nullptr},
                       [&] { ran.push_back("retry nil"); });
    loop->performAfter(platform::seconds(1), kDefault, {&target, "wake", nullptr},
                       [&] { ran.push_back("wake"); });
    EXPECT_EQ(loop->cancelPerforms(&target, "retry", &argument), 1u);
    advanceAndRun(1.0);
    EXPECT_EQ(ran, (std::vector<std::string>{"retry nil", "wake"}));
    loop->performAfter(platform::seconds(1), kDefault, {&target, "a", nullptr}, [&] { ran.push_back("a"); });
    loop->performAfter(platform::seconds(1), kDefault, {&target, "b", nullptr}, [&] { ran.push_back("b"); });
    EXPECT_EQ(loop->cancelPerforms(&target), 2u);
    advanceAndRun(2.0);
    EXPECT_EQ(ran.size(), 2u);
}

TEST(RunLoop, StopEndsRunAndAStopWithNoRunEndsTheNextOne) {
    auto loop = RunLoop::main();
    loop->stop();
    loop->run(); // returns at once
    dispatch_async(dispatch_get_global_queue(0),
                   [loop] { loop->perform(kDefault, [loop] { loop->stop(); }); });
    loop->run();
    EXPECT_FALSE(loop->isRunning());
}

TEST(RunLoop, AnotherThreadsLoopRunsItsTimersAsTheFakeClockMoves) {
    auto& clock = platform::installFakeClock();
    std::atomic<int> fires{0};
    std::shared_ptr<RunLoop> threadLoop;
    auto ready = dispatch_semaphore_create(0);
    auto fired = dispatch_semaphore_create(0);
    std::thread t([&] {
        threadLoop = RunLoop::current();
        auto timer = std::make_shared<RunLoopTimer>(platform::now() + platform::seconds(2),
                                                    platform::seconds(2), [&](RunLoopTimer&) {
                                                        ++fires;
                                                        dispatch_semaphore_signal(fired);
                                                    });
        threadLoop->addTimer(timer, kDefault);
        dispatch_semaphore_signal(ready);
        threadLoop->run();
    });
    dispatch_semaphore_wait(ready, DISPATCH_TIME_FOREVER);
    EXPECT_FALSE(threadLoop->isMain());
    clock.advance(platform::seconds(2));
    EXPECT_EQ(dispatch_semaphore_wait(fired, DISPATCH_TIME_FOREVER), 0);
    EXPECT_EQ(fires.load(), 1);
    // Running a loop from a thread that does not own it only waits.
    EXPECT_EQ(threadLoop->runInMode(kDefaultRunLoopMode, platform::now(), false),
              RunLoop::RunResult::TimedOut);
    threadLoop->stop();
    t.join();
}

TEST(RunLoop, DelayedPerformOnADispatchWorkersLoopIsLogged) {
    platform::LogCapture log(true);
    auto q = dispatch_queue_create("com.example.worker", nullptr);
    dispatch_sync(q, [] { RunLoop::current()->performAfter(platform::seconds(1), kDefault, {}, [] {}); });
    EXPECT_TRUE(log.contains("delayed perform on a run loop that never runs"));
}

// A backlog as large as a busy host builds up drains in one pass per mode, each piece once, in
// the order it became ready; delayed work slots in by its ready time, cancelled work never
// runs, and work queued by a block waits for the next pass. A scan of the whole backlog per
// piece taken would not finish within the test's time.
TEST(RunLoop, ALargeBacklogDrainsInReadyOrderEachPieceOnceAcrossItsModes) {
    auto& clock = platform::installFakeClock();
    auto loop = RunLoop::main();
    const RunLoopModes kDefaultAndModal{std::string(kDefaultRunLoopMode), std::string(kModalPanelRunLoopMode)};
    const RunLoopModes kCommon{std::string(kCommonRunLoopModes), std::string(kDefaultRunLoopMode)};
    constexpr int kPieces = 200'000;
    std::vector<int> ran;
    ran.reserve(kPieces + 8);
    int target = 0;
    loop->performAfter(platform::seconds(1), kDefault, {&target, "late", nullptr}, [&] { ran.push_back(-2); });
    loop->performAfter(platform::seconds(0.5), kDefault, {&target, "cancelled", nullptr},
                       [&] { ran.push_back(-3); });
    for (int i = 0; i < kPieces; ++i) {
        const auto& modes = i % 3 == 0 ? kDefault : i % 3 == 1 ? kDefaultAndModal : kCommon;
        loop->perform(modes, [&ran, i] { ran.push_back(i); });
        if (i == kPieces / 2) clock.advance(platform::seconds(1)); // the delayed piece is ready from here
    }
    EXPECT_EQ(loop->cancelPerforms(&target, "cancelled", nullptr), 1u);

    // The modal run takes the pieces listed in its mode, directly or as a common mode.
    runUntilIdle(kModalPanelRunLoopMode);
    ASSERT_EQ(ran.size(), static_cast<size_t>(kPieces / 3 * 2 + 1));
    for (size_t k = 0; k < ran.size(); ++k) {
        ASSERT_NE(ran[k] % 3, 0) << "piece " << ran[k] << " ran outside its mode";
        if (k > 0) {
            ASSERT_LT(ran[k - 1], ran[k]);
        }
    }

    ran.clear();
    loop->perform(kDefault, [&] {
        loop->perform(kDefault, [&] { ran.push_back(-4); }); // queued during the pass
    });
    EXPECT_EQ(loop->serveReady(kDefaultRunLoopMode), static_cast<size_t>(kPieces / 3 + 1 + 1 + 1));
    std::vector<int> expected;
    for (int i = 0; i < kPieces; i += 3) {
        expected.push_back(i);
        if (i + 3 > kPieces / 2 && i <= kPieces / 2) expected.push_back(-2); // ready once the clock moved
    }
    EXPECT_EQ(ran, expected);
    EXPECT_EQ(runUntilIdle(), 1u);
    EXPECT_EQ(ran.back(), -4);
    EXPECT_EQ(loop->nextDueDate(kDefaultRunLoopMode), std::nullopt);
}
