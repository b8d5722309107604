#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/Testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <pthread.h>

using namespace dispatch;

namespace {

dispatch_time_t bound() {
    return dispatch_time(DISPATCH_TIME_NOW, 20 * NSEC_PER_SEC);
}

TEST(SignalSource, DeliveriesRunTheHandlerOnItsQueueCountedByData) {
    auto queue = dispatch_queue_create("signal.test", nullptr);
    auto source = dispatch_source_create(DISPATCH_SOURCE_TYPE_SIGNAL, SIGUSR1, 0, queue);
    auto called = dispatch_semaphore_create(0);
    std::atomic<unsigned long> delivered{0};
    std::atomic<bool> onQueue{true};
    dispatch_source_set_event_handler(source, [&] {
        if (currentQueue() != queue) onQueue = false;
        delivered += dispatch_source_get_data(source);
        dispatch_semaphore_signal(called);
    });
    auto cancelled = dispatch_semaphore_create(0);
    dispatch_source_set_cancel_handler(source, [&] { dispatch_semaphore_signal(cancelled); });
    dispatch_resume(source);

    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(::raise(SIGUSR1), 0);
    while (delivered < 3)
        ASSERT_EQ(dispatch_semaphore_wait(called, bound()), 0);
    EXPECT_EQ(delivered, 3u);
    EXPECT_TRUE(onQueue);

    dispatch_source_cancel(source);
    ASSERT_EQ(dispatch_semaphore_wait(cancelled, bound()), 0);
    // Still caught once cancelled: the process lives on and no handler runs.
    ASSERT_EQ(::raise(SIGUSR1), 0);
    drain(queue);
    EXPECT_EQ(delivered, 3u);
}

TEST(SignalSource, OnTheMainQueueNothingRunsUntilTheMainRunLoopDoes) {
    auto source = dispatch_source_create(DISPATCH_SOURCE_TYPE_SIGNAL, SIGUSR2, 0, dispatch_get_main_queue());
    auto queued = dispatch_semaphore_create(0);
    int calls = 0;
    dispatch_source_set_event_handler(source, [&] { ++calls; });
    dispatch_resume(source);
    // A second source on the same signal shows the delivery was queued to the main queue's
    // source too (both are fed by the one handler).
    auto probe = dispatch_source_create(DISPATCH_SOURCE_TYPE_SIGNAL, SIGUSR2, 0,
                                        dispatch_queue_create("signal.probe", nullptr));
    dispatch_source_set_event_handler(probe, [&] { dispatch_semaphore_signal(queued); });
    dispatch_resume(probe);

    // Raised from another thread, as a kill from outside lands on any thread.
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, nullptr,
                  [](void*) -> void* {
                      ::raise(SIGUSR2);
                      return nullptr;
                  },
                  nullptr),
              0);
    pthread_join(thread, nullptr);
    ASSERT_EQ(dispatch_semaphore_wait(queued, bound()), 0);
    EXPECT_EQ(calls, 0);
    while (calls == 0)
        runUntilIdle();
    EXPECT_EQ(calls, 1);
    dispatch_source_cancel(source);
    dispatch_source_cancel(probe);
    runUntilIdle();
}

TEST(SignalSource, ASignalThatCannotBeCaughtLeavesTheSourceIdle) {
    auto source = dispatch_source_create(DISPATCH_SOURCE_TYPE_SIGNAL, SIGKILL, 0,
                                         dispatch_queue_create("signal.kill", nullptr));
    auto cancelled = dispatch_semaphore_create(0);
    dispatch_source_set_cancel_handler(source, [&] { dispatch_semaphore_signal(cancelled); });
    dispatch_resume(source);
    dispatch_source_cancel(source);
    EXPECT_EQ(dispatch_semaphore_wait(cancelled, bound()), 0);
}

} // namespace
