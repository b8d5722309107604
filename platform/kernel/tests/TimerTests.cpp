// Timers on work loops, driven by the fake clock.
#include "platform/core/Clock.h"
#include "platform/kernel/IOService.h"
#include "platform/kernel/IOTimerEventSource.h"
#include "platform/kernel/IOWorkLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace kernel {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

std::atomic<int> gFirings{0};
std::vector<platform::TimePoint> gTimes;
std::atomic<int> gRearmUS{0};

void onTimer(OSObject*, IOTimerEventSource* sender) {
    gTimes.push_back(platform::now());
    ++gFirings;
    if (gRearmUS) sender->setTimeoutUS(static_cast<uint32_t>(gRearmUS.load()));
}

class TimerTest : public ::testing::Test {
protected:
    void SetUp() override {
        clock = &platform::installFakeClock();
        gFirings = 0;
        gTimes.clear();
        gRearmUS = 0;
        owner = adoptRetained(new IOService);
        owner->init(nullptr);
        loop = adoptRetained(IOWorkLoop::workLoop());
        timer = adoptRetained(IOTimerEventSource::timerEventSource(owner.get(), &onTimer));
        ASSERT_EQ(loop->addEventSource(timer.get()), kIOReturnSuccess);
    }
    void TearDown() override {
        loop->removeEventSource(timer.get());
        timer.reset();
        loop.reset();
        IOWorkLoop::reapRetiredThreads();
    }
    void advance(platform::Duration d) { kernel::testing::advanceClock(*clock, d); }

    platform::FakeClock* clock = nullptr;
    OSPtr<IOService> owner;
    OSPtr<IOWorkLoop> loop;
    OSPtr<IOTimerEventSource> timer;
};

TEST_F(TimerTest, FiresOnceAtItsDeadlineAndANewTimeoutReplacesTheOld) {
    timer->setTimeoutUS(1000);
    timer->setTimeoutUS(5000);
    advance(microseconds(4999));
    EXPECT_EQ(gFirings, 0);
    advance(microseconds(1));
    EXPECT_EQ(gFirings, 1);
    advance(std::chrono::seconds(1));
    EXPECT_EQ(gFirings, 1) << "one-shot";
    EXPECT_FALSE(timer->isArmed());
}

TEST_F(TimerTest, RearmingFromTheActionKeepsItsOwnPeriod) {
    gRearmUS = 16666;
    auto start = platform::now();
    timer->setTimeoutUS(16666);
    advance(milliseconds(100));
    ASSERT_EQ(gFirings, 6);
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(gTimes[i] - start, microseconds(16666) * (i + 1));
}

TEST_F(TimerTest, CancelledOrRemovedTimersNeverFire) {
    timer->setTimeoutUS(1000);
    timer->cancelTimeout();
    advance(milliseconds(5));
    EXPECT_EQ(gFirings, 0);
    timer->setTimeoutUS(1000);
    EXPECT_EQ(loop->removeEventSource(timer.get()), kIOReturnSuccess);
    EXPECT_EQ(loop->removeEventSource(timer.get()), kIOReturnBadArgument);
    advance(milliseconds(5));
    EXPECT_EQ(gFirings, 0);
    EXPECT_EQ(loop->addEventSource(timer.get()), kIOReturnSuccess);
}

TEST_F(TimerTest, ActionsWaitForTheOwnersGateAndAFiringCancelledMeanwhileIsDropped) {
    timer->setTimeoutUS(1000);
    {
        IOGateLock gate(owner.get());
        clock->advance(milliseconds(2)); // due, but the gate is held
        for (int i = 0; i < 20; ++i)
            std::this_thread::yield();
        EXPECT_EQ(gFirings, 0);
        timer->cancelTimeout();
    }
    kernel::testing::settleTimers();
    EXPECT_EQ(gFirings, 0);
    timer->setTimeoutUS(1000);
    {
        IOGateLock gate(owner.get());
        clock->advance(milliseconds(2));
    }
    kernel::testing::settleTimers();
    EXPECT_EQ(gFirings, 1);
}

TEST_F(TimerTest, ReleasingAWorkLoopWithArmedTimersStopsItsThread) {
    timer->setTimeoutUS(1000);
    loop.reset();
    IOWorkLoop::reapRetiredThreads();
    advance(milliseconds(5));
    EXPECT_EQ(gFirings, 0);
    loop = adoptRetained(IOWorkLoop::workLoop());
    EXPECT_EQ(loop->addEventSource(timer.get()), kIOReturnSuccess) << "a released loop let go of its sources";
}

} // namespace
} // namespace kernel
