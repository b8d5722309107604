#include "platform/core/Log.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/Testing.h"
#include "platform/dispatch/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace dispatch;

namespace {

// An upper bound for waits that an event ends; reaching it means the fault under test.
dispatch_time_t bound() {
    return dispatch_time(DISPATCH_TIME_NOW, 20 * NSEC_PER_SEC);
}

} // namespace

TEST(SerialQueue, RunsBlocksInOrderOneAtATime) {
    auto q = dispatch_queue_create("com.example.order", DISPATCH_QUEUE_SERIAL);
    std::vector<int> seen;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 200; ++i) {
        dispatch_async(q, [&, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            seen.push_back(i);
            running.fetch_sub(1);
        });
    }
    drain(q);
    ASSERT_EQ(seen.size(), 200u);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(seen[i], i);
    EXPECT_FALSE(overlapped.load());
}

TEST(SerialQueue, ABlockParkedOnOneQueueStarvesNoOtherQueue) {
    auto parked = dispatch_queue_create("com.example.loop", nullptr);
    auto spinning = dispatch_queue_create("com.example.spin", nullptr);
    auto other = dispatch_queue_create("com.example.other", nullptr);
    auto release = dispatch_semaphore_create(0);
    auto finished = dispatch_semaphore_create(0);
    std::atomic<bool> stopSpinning{false};
    dispatch_async(parked, [&] {
        dispatch_semaphore_wait(release, DISPATCH_TIME_FOREVER);
        dispatch_semaphore_signal(finished);
    });
    dispatch_async(spinning, [&] {
        while (!stopSpinning.load()) {
        }
        dispatch_semaphore_signal(finished);
    });
    // Only another queue can end either loop.
    dispatch_async(other, [&] {
        stopSpinning = true;
        dispatch_semaphore_signal(release);
    });
    EXPECT_EQ(dispatch_semaphore_wait(finished, bound()), 0);
    EXPECT_EQ(dispatch_semaphore_wait(finished, bound()), 0);
}

TEST(GlobalQueue, GrowsWhenBlocksWaitOnBlocksQueuedAfterThem) {
    // Block i waits for block i+1, so all of them must be running at once.
    constexpr int kBlocks = 64;
    std::vector<dispatch_semaphore_t> gates;
    for (int i = 0; i < kBlocks; ++i)
        gates.push_back(dispatch_semaphore_create(0));
    auto group = dispatch_group_create();
    auto q = dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT);
    for (int i = 0; i < kBlocks; ++i) {
        dispatch_group_async(group, q, [&, i] {
            if (i + 1 < kBlocks) dispatch_semaphore_wait(gates[i], DISPATCH_TIME_FOREVER);
            if (i > 0) dispatch_semaphore_signal(gates[i - 1]);
        });
    }
    EXPECT_EQ(dispatch_group_wait(group, bound()), 0);
}

TEST(GlobalQueue, StopsGrowingAtTheCapAndSaysSo) {
    platform::LogCapture log(true);
    constexpr int kBlocks = 260;
    auto gate = dispatch_semaphore_create(0);
    auto group = dispatch_group_create();
    std::atomic<int> started{0};
    for (int i = 0; i < kBlocks; ++i) {
        dispatch_group_async(group, dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_LOW), [&] {
            ++started;
            dispatch_semaphore_wait(gate, DISPATCH_TIME_FOREVER);
        });
    }
    EXPECT_TRUE(log.waitFor("reached its limit of 256 threads", platform::now() + platform::seconds(20)));
    for (int i = 0; i < kBlocks; ++i)
        dispatch_semaphore_signal(gate);
    EXPECT_EQ(dispatch_group_wait(group, bound()), 0);
    EXPECT_EQ(started.load(), kBlocks);
}

TEST(Queue, TargetingASerialQueueSerialisesButTargetingAGlobalOneChangesNothing) {
    auto target = dispatch_queue_create("com.example.target", nullptr);
    auto a = dispatch_queue_create("com.example.a", nullptr);
    auto b = dispatch_queue_create("com.example.b", DISPATCH_QUEUE_CONCURRENT);
    dispatch_set_target_queue(a, target);
    dispatch_set_target_queue(b, target);
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::string> labels;
    auto body = [&] {
        if (running.fetch_add(1) != 0) overlapped = true;
        labels.push_back(dispatch_queue_get_label(nullptr));
        running.fetch_sub(1);
    };
    for (int i = 0; i < 50; ++i) {
        dispatch_async(a, body);
        dispatch_async(b, body);
    }
    drain(a);
    drain(b);
    EXPECT_FALSE(overlapped.load());
    ASSERT_EQ(labels.size(), 100u);
    EXPECT_EQ(labels[0], "com.example.a"); // the block's own queue is the current one
    EXPECT_EQ(labels[1], "com.example.b");

    auto mouse = dispatch_queue_create("com.example.mouserunloop", nullptr);
    dispatch_set_target_queue(mouse, dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_HIGH));
    std::vector<int> order;
    for (int i = 0; i < 50; ++i)
        dispatch_async(mouse, [&, i] { order.push_back(i); });
    drain(mouse);
    ASSERT_EQ(order.size(), 50u);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(order[i], i);
}

TEST(Queue, BarrierRunsAloneBetweenTheBlocksAroundIt) {
    auto q = dispatch_queue_create("com.example.state", DISPATCH_QUEUE_CONCURRENT);
    std::atomic<int> running{0};
    std::atomic<int> before{0};
    std::atomic<int> after{0};
    int beforeAtBarrier = -1;
    int afterAtBarrier = -1;
    bool aloneAtBarrier = false;
    for (int i = 0; i < 20; ++i) {
        dispatch_async(q, [&] {
            ++running;
            ++before;
            --running;
        });
    }
    dispatch_barrier_async(q, [&] {
        aloneAtBarrier = running.load() == 0;
        beforeAtBarrier = before.load();
        afterAtBarrier = after.load();
    });
    for (int i = 0; i < 20; ++i)
        dispatch_async(q, [&] { ++after; });
    drain(q);
    EXPECT_TRUE(aloneAtBarrier);
    EXPECT_EQ(beforeAtBarrier, 20);
    EXPECT_EQ(afterAtBarrier, 0);
    EXPECT_EQ(after.load(), 20);
}

TEST(Queue, SyncRunsOnTheQueueAndKnowsTheCurrentQueue) {
    auto q = dispatch_queue_create("com.example.sync", nullptr);
    static const char kKey = 0;
    dispatch_queue_set_specific(q, &kKey, std::make_shared<int>(7));
    dispatch_queue_t seen;
    std::shared_ptr<void> specific;
    bool onMain = true;
    dispatch_sync(q, [&] {
        seen = currentQueue();
        specific = dispatch_get_specific(&kKey);
        onMain = isMainThread();
    });
    EXPECT_EQ(seen, q);
    ASSERT_TRUE(specific);
    EXPECT_EQ(*static_cast<int*>(specific.get()), 7);
    EXPECT_FALSE(onMain);
    EXPECT_EQ(currentQueue(), dispatch_get_main_queue()); // the main thread outside any block
    EXPECT_EQ(pthread_main_np(), 1);
    std::thread([] { EXPECT_EQ(pthread_main_np(), 0); }).join();
}

TEST(QueueDeathTest, SyncOntoTheQueueTheCallerRunsOnAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto q = dispatch_queue_create("com.example.self", nullptr);
            dispatch_sync(q, [&] { dispatch_sync(q, [] {}); });
        },
        "dispatch_sync onto queue \"com.example.self\"");
    EXPECT_DEATH(dispatch_sync(dispatch_get_main_queue(), [] {}), "dispatch_sync onto queue");
}

TEST(Group, NotifyAndWaitFollowTheLastLeave) {
    auto& clock = platform::installFakeClock();
    auto group = dispatch_group_create();
    int notified = 0;
    dispatch_group_enter(group);
    dispatch_group_enter(group);
    dispatch_group_notify(group, dispatch_get_main_queue(), [&] { ++notified; });
    // A wait with a deadline ends only when the fake clock passes it.
    std::atomic<long> waitResult{-1};
    auto deadline = dispatch_time(DISPATCH_TIME_NOW, NSEC_PER_SEC);
    std::thread waiter([&] { waitResult = dispatch_group_wait(group, deadline); });
    clock.advance(platform::seconds(1));
    waiter.join();
    EXPECT_NE(waitResult.load(), 0);

    dispatch_group_leave(group);
    runUntilIdle();
    EXPECT_EQ(notified, 0);
    dispatch_group_leave(group);
    runUntilIdle();
    EXPECT_EQ(notified, 1);
    EXPECT_EQ(dispatch_group_wait(group, DISPATCH_TIME_NOW), 0);
    // Notify on an empty group runs at once; a stray leave is refused, not counted.
    platform::LogCapture log(true);
    dispatch_group_leave(group);
    EXPECT_TRUE(log.contains("dispatch_group_leave without a matching enter"));
    dispatch_group_notify(group, dispatch_get_main_queue(), [&] { ++notified; });
    runUntilIdle();
    EXPECT_EQ(notified, 2);
}

TEST(Semaphore, DeadlineWaitEndsOnlyWhenTheClockPassesIt) {
    auto& clock = platform::installFakeClock();
    auto sema = dispatch_semaphore_create(0);
    std::atomic<long> result{-1};
    auto deadline = dispatch_time(DISPATCH_TIME_NOW, 2 * NSEC_PER_SEC);
    std::thread waiter([&] { result = dispatch_semaphore_wait(sema, deadline); });
    clock.advance(platform::seconds(1.5));
    EXPECT_EQ(result.load(), -1);
    clock.advance(platform::seconds(0.5));
    waiter.join();
    EXPECT_NE(result.load(), 0);

    // A signal ends a wait (or, when it comes first, is kept for it).
    std::thread waiter2([&] { result = dispatch_semaphore_wait(sema, DISPATCH_TIME_FOREVER); });
    dispatch_semaphore_signal(sema);
    waiter2.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(dispatch_semaphore_signal(sema), 0) << "nobody waits";
    EXPECT_EQ(dispatch_semaphore_wait(sema, DISPATCH_TIME_NOW), 0);
    EXPECT_NE(dispatch_semaphore_wait(sema, DISPATCH_TIME_NOW), 0);
    EXPECT_EQ(dispatch_semaphore_create(-1), nullptr);
}

TEST(Once, RunsOnceAcrossThreads) {
    static dispatch_once_t once;
    std::atomic<int> runs{0};
    auto group = dispatch_group_create();
    for (int i = 0; i < 16; ++i) {
        dispatch_group_async(group, dispatch_get_global_queue(0),
                             [&] { dispatch_once(&once, [&] { ++runs; }); });
    }
    EXPECT_EQ(dispatch_group_wait(group, bound()), 0);
    EXPECT_EQ(runs.load(), 1);
}

TEST(Time, NowForeverAndSaturation) {
    platform::installFakeClock();
    auto now = platform::now();
    EXPECT_EQ(toTimePoint(dispatch_time(DISPATCH_TIME_NOW, NSEC_PER_SEC)), now + platform::seconds(1));
    EXPECT_EQ(dispatch_time(DISPATCH_TIME_FOREVER, -5), DISPATCH_TIME_FOREVER);
    EXPECT_EQ(dispatch_time(DISPATCH_TIME_NOW, INT64_MAX), DISPATCH_TIME_FOREVER);
    EXPECT_EQ(toTimePoint(DISPATCH_TIME_FOREVER), platform::kDistantFuture);
    EXPECT_EQ(toTimePoint(fromTimePoint(now)), now);
}
