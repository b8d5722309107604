#include "platform/core/Log.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/Testing.h"
#include "platform/dispatch/Thread.h"
#include "platform/foundation/CFRunLoop.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/NSThread.h"
#include "platform/foundation/NSTimer.h"
#include "platform/foundation/PerformSelector.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace ns;

TEST(PerformOnMainThread, FromAWorkerWaitsUntilTheMainLoopRanIt) {
    std::atomic<bool> returned{false};
    std::atomic<bool> ranOnMain{false};
    std::thread worker([&] {
        performSelectorOnMainThread([&] { ranOnMain = dispatch::isMainThread(); }, true);
        returned = true;
    });
    EXPECT_FALSE(returned.load());
    NSRunLoop::mainRunLoop()->runModeBeforeDate(NSDefaultRunLoopMode, platform::kDistantFuture);
    worker.join();
    EXPECT_TRUE(ranOnMain.load());
    EXPECT_TRUE(returned.load());
}

TEST(PerformOnMainThread, WithoutWaitingReturnsAtOnceAndRunsInEveryMode) {
    std::atomic<int> ran{0};
    std::thread([&] { performSelectorOnMainThread([&] { ++ran; }, false); }).join();
    EXPECT_EQ(ran.load(), 0);
    dispatch::runUntilIdle(NSModalPanelRunLoopMode);
    EXPECT_EQ(ran.load(), 1);
    // On the main thread: with wait at once, without wait at the loop's next turn.
    performSelectorOnMainThread([&] { ++ran; }, true);
    EXPECT_EQ(ran.load(), 2);
    performSelectorOnMainThread([&] { ++ran; }, false);
    EXPECT_EQ(ran.load(), 2);
    dispatch::runUntilIdle();
    EXPECT_EQ(ran.load(), 3);
}

TEST(PerformAfterDelay, TargetsAreWeakAndCancelReachesOtherThreadsLoops) {
    platform::installFakeClock();
    auto target = std::make_shared<int>(0);
    auto gone = std::make_shared<int>(0);
    std::vector<std::string> ran;
    performSelectorAfterDelay(
        target, "tick", [&] { ran.push_back("tick"); }, 1.0);
    performSelectorAfterDelay(
        target, "retry", [&] { ran.push_back("retry"); }, 1.0);
    performSelectorAfterDelay(
        gone, "tick", [&] { ran.push_back("gone"); }, 1.0);
    gone.reset();
    // A cancel from another thread still finds the main loop's performs.
    std::thread([&] { cancelPreviousPerformRequestsWithTarget(target.get(), "retry", nullptr); }).join();
    dispatch::advanceAndRun(1.0);
    EXPECT_EQ(ran, std::vector<std::string>{"tick"});
    performSelectorAfterDelay(
        target, "tick", [&] { ran.push_back("late"); }, 1.0);
    cancelPreviousPerformRequestsWithTarget(target.get());
    dispatch::advanceAndRun(2.0);
    EXPECT_EQ(ran.size(), 1u);
}

namespace {
struct Checker {
    int fires = 0;
    void check(NSTimer&) { ++fires; }
};
} // namespace

TEST(NSTimer, ScheduledTimerFiresByIntervalAndInvalidatesWhenItsTargetIsGone) {
    platform::installFakeClock();
    auto checker = std::make_shared<Checker>();
    auto timer = NSTimer::scheduledTimerWithTimeInterval(2.0, checker, &Checker::check, true);
    EXPECT_DOUBLE_EQ(timer->timeInterval(), 2.0);
    dispatch::advanceAndRun(6.0);
    EXPECT_EQ(checker->fires, 3);
    checker.reset();
    dispatch::advanceAndRun(2.0);
    EXPECT_FALSE(timer->isValid());

    int once = 0;
    auto oneShot = NSTimer::scheduledTimerWithTimeInterval(0.5, false, [&](NSTimer&) { ++once; });
    dispatch::advanceAndRun(3.0);
    EXPECT_EQ(once, 1);
    EXPECT_FALSE(oneShot->isValid());
    // A timer only in the modal mode waits out default-mode runs.
    int modal = 0;
    auto modalTimer = NSTimer::timerWithTimeInterval(1.0, false, [&](NSTimer&) { ++modal; });
    NSRunLoop::mainRunLoop()->addTimer(modalTimer, NSModalPanelRunLoopMode);
    dispatch::advanceAndRun(2.0);
    EXPECT_EQ(modal, 0);
    dispatch::runUntilIdle(NSModalPanelRunLoopMode);
    EXPECT_EQ(modal, 1);
}

TEST(CFRunLoop, RunUntilStoppedFromAnotherThread) {
    auto main = cf::CFRunLoopGetMain();
    EXPECT_EQ(cf::CFRunLoopGetCurrent(), main);
    EXPECT_EQ(NSRunLoop::currentRunLoop(), NSRunLoop::mainRunLoop());
    std::thread([main] {
        cf::CFRunLoopPerformBlock(main, cf::kCFRunLoopDefaultMode, [main] { cf::CFRunLoopStop(main); });
    }).join();
    cf::CFRunLoopRun();
    EXPECT_EQ(cf::CFRunLoopRunInMode(cf::kCFRunLoopDefaultMode, 0, false), cf::kCFRunLoopRunTimedOut);
}

TEST(NSThread, RunsItsOwnLoopAndPostsWillExitOnItsWayOut) {
    platform::installFakeClock();
    auto exited = dispatch::dispatch_semaphore_create(0);
    std::shared_ptr<NSThread> exitedThread;
    std::atomic<bool> exitedOnItself{false};
    auto token = NSNotificationCenter::defaultCenter().addObserverForName(
        NSThreadWillExitNotification, nullptr, [&](const NSNotification& n) {
            exitedThread = std::static_pointer_cast<NSThread>(n.object);
            exitedOnItself = NSThread::currentThread() == exitedThread;
            dispatch::dispatch_semaphore_signal(exited);
        });
    std::atomic<int> checks{0};
    auto thread = NSThread::detachNewThread([&] {
        // The local-window check: a repeating timer on the thread's own loop, ended by exit().
        NSTimer::scheduledTimerWithTimeInterval(2.0, true, [&](NSTimer& timer) {
            if (++checks == 2) {
                timer.invalidate();
                NSThread::exit();
            }
        });
        NSRunLoop::currentRunLoop()->run();
    });
    auto& clock = platform::installFakeClock();
    while (dispatch::dispatch_semaphore_wait(exited, dispatch::DISPATCH_TIME_NOW) != 0) {
        clock.advance(platform::seconds(1)); // the thread's loop wakes as the clock moves
        std::this_thread::yield();
    }
    EXPECT_EQ(exitedThread, thread);
    EXPECT_TRUE(exitedOnItself.load());
    EXPECT_EQ(checks.load(), 2);
    NSNotificationCenter::defaultCenter().removeObserver(token);
    EXPECT_TRUE(NSThread::isMainThread());
    EXPECT_TRUE(NSThread::currentThread()->isMain());

    platform::LogCapture log(true);
    NSThread::exit(); // not an NSThread: refused, the test goes on
    EXPECT_TRUE(log.contains("NSThread exit on a thread NSThread did not start"));
}
