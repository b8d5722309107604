// Vertical-blank pacing on the fake clock: an enable's first check takes over when the last
// blank is older than the threshold; each signal from the screen server hands pacing back to it
// for good, one blank and one check a signal.
#include "FramebufferFixture.h"

#include "platform/kernel/IOTimerEventSource.h"

namespace drivers::testing {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

class VBLTest : public FramebufferTest {
protected:
    void advance(platform::Duration d) { kernel::testing::advanceClock(*clock, d); }

    // Enabled at once, or only once the driver's start (its last blank) is past the threshold,
    // as when the kext was loaded long before a device connects.
    FakeDisplay& enabledDisplay(int index, io_handle_t* connection, bool pastThreshold = false) {
        FakeDisplay& display = booted(index);
        *connection = openUserClient(index);
        if (pastThreshold) advance(milliseconds(251));
        EXPECT_EQ(enable(*connection, {1}), kIOReturnSuccess);
        return display;
    }
};

TEST_F(VBLTest, TimerDeliversAtThePeriodOnceTheThresholdPassesWithoutASignal) {
    io_handle_t early = 0;
    FakeDisplay& soon = enabledDisplay(1, &early);
    advance(std::chrono::seconds(1));
    EXPECT_EQ(soon.vblCount, 0) << "enabled inside the threshold: the first check arms nothing";

    io_handle_t connection = 0;
    FakeDisplay& display = enabledDisplay(2, &connection);
    advance(microseconds(16665));
    EXPECT_EQ(display.vblCount, 0) << "the first check comes a period after the enable";
    advance(microseconds(1));
    EXPECT_EQ(display.vblCount, 1);
    advance(microseconds(16666 * 10));
    auto times = display.vblTimesCopy();
    ASSERT_EQ(times.size(), 11u);
    for (size_t i = 1; i < times.size(); ++i)
        EXPECT_EQ(times[i] - times[i - 1], microseconds(16666));
}

// Period and threshold other than the defaults, so that a selector that changed nothing
// would show.
TEST_F(VBLTest, TheTimerKeepsThePeriodAndThresholdTheScreenServerSet) {
    FakeDisplay& quiet = booted(1);
    FakeDisplay& display = booted(3);
    io_handle_t early = openUserClient(1), connection = openUserClient(3);
    for (io_handle_t c : {early, connection}) {
        ASSERT_EQ(call(c, 10, {40000}), kIOReturnSuccess);
        ASSERT_EQ(call(c, 11, {500000}), kIOReturnSuccess);
    }
    // Checked 440 ms after the driver's start: past the default threshold, inside this one.
    advance(milliseconds(400));
    ASSERT_EQ(call(early, 8, {9, 1}), kIOReturnSuccess);
    advance(std::chrono::seconds(1));
    EXPECT_EQ(quiet.vblCount, 0) << "inside the threshold the timer stays quiet";
    ASSERT_EQ(call(connection, 8, {9, 1}), kIOReturnSuccess);
    advance(microseconds(40000));
    EXPECT_EQ(display.vblCount, 1);
    advance(microseconds(40000 * 5));
    auto times = display.vblTimesCopy();
    ASSERT_EQ(times.size(), 6u);
    for (size_t i = 1; i < times.size(); ++i)
        EXPECT_EQ(times[i] - times[i - 1], microseconds(40000));
}

TEST_F(VBLTest, ASignalDeliversAtOnceAndHandsPacingToTheScreenServer) {
    io_handle_t connection = 0;
    FakeDisplay& display = enabledDisplay(1, &connection, true);
    advance(milliseconds(300));
    int timerDriven = display.vblCount;
    ASSERT_GT(timerDriven, 0);
    EXPECT_EQ(call(connection, 9), kIOReturnSuccess);
    EXPECT_EQ(display.vblCount, timerDriven + 1);
    advance(milliseconds(100));
    EXPECT_EQ(display.vblCount, timerDriven + 1) << "a check 100 ms after a signal delivers nothing";
    for (int i = 0; i < 5; ++i) {
        advance(milliseconds(20));
        EXPECT_EQ(call(connection, 9), kIOReturnSuccess);
    }
    EXPECT_EQ(display.vblCount, timerDriven + 6);
    advance(milliseconds(251));
    EXPECT_EQ(display.vblCount, timerDriven + 6) << "silence brings no timer back: each signal paces";
}

TEST_F(VBLTest, ACheckSoonAfterANotificationLeavesTheTimerIdle) {
    FakeDisplay& display = booted(1);
    io_handle_t connection = openUserClient(1);
    // A period of 100 ms: the check each notification arms comes 100 ms after it, well
    // inside the 250 ms threshold.
    ASSERT_EQ(call(connection, 10, {100000}), kIOReturnSuccess);
    ASSERT_EQ(call(connection, 11, {250000}), kIOReturnSuccess);
    ASSERT_EQ(call(connection, 8, {1}), kIOReturnSuccess);
    EXPECT_EQ(call(connection, 9), kIOReturnSuccess);
    ASSERT_EQ(display.vblCount, 1);
    advance(milliseconds(100));
    EXPECT_EQ(display.vblCount, 1) << "the check 100 ms after the notification delivers nothing";
    advance(std::chrono::seconds(2));
    EXPECT_EQ(display.vblCount, 1) << "and arms nothing: the timer stays idle past the threshold";
    // The next notification delivers one and arms one check again.
    EXPECT_EQ(call(connection, 9), kIOReturnSuccess);
    EXPECT_EQ(display.vblCount, 2);
    advance(std::chrono::seconds(2));
    EXPECT_EQ(display.vblCount, 2);
}

TEST_F(VBLTest, ADisabledDisplayNeitherDeliversNorArms) {
    io_handle_t connection = 0;
    FakeDisplay& display = enabledDisplay(0, &connection);
    EXPECT_EQ(call(connection, 3), kIOReturnSuccess);
    EXPECT_EQ(call(connection, 9), kIOReturnOffline);
    advance(std::chrono::seconds(2));
    EXPECT_EQ(display.vblCount, 0);
}

TEST_F(VBLTest, WithoutTheWindowServersStateBitNothingIsDelivered) {
    io_handle_t connection = 0;
    FakeDisplay& display = enabledDisplay(0, &connection);
    {
        IOGateLock gate(display.framebuffer.get());
        display.framebuffer->setVBLStateBit(false);
    }
    EXPECT_EQ(call(connection, 9), kIOReturnOffline);
    advance(std::chrono::seconds(1));
    EXPECT_EQ(display.vblCount, 0);
}

TEST_F(VBLTest, ThresholdNeverFallsBelowThePeriodAndAZeroPeriodIsRefused) {
    FakeDisplay& display = booted(3);
    io_handle_t connection = openUserClient(3);
    EXPECT_EQ(call(connection, 10, {0}), kIOReturnBadArgument);
    EXPECT_TRUE(log.contains("a vertical-blank period of 0 refused"));
    EXPECT_EQ(call(connection, 10, {16666}), kIOReturnSuccess);
    EXPECT_EQ(call(connection, 11, {1000}), kIOReturnSuccess);
    EXPECT_EQ(call(connection, 2, {1}), kIOReturnSuccess);
    // Asked for 1 ms, the threshold is a whole period: the check one period after a signal is
    // not past it (a 1 ms threshold would take over there), so it delivers and arms nothing.
    ASSERT_EQ(call(connection, 9, {}), kIOReturnSuccess);
    const int signalled = display.vblCount;
    EXPECT_GE(signalled, 1);
    advance(microseconds(16666));
    EXPECT_EQ(display.vblCount, signalled) << "one period after a signal the timer stays quiet";
    advance(std::chrono::seconds(1));
    EXPECT_EQ(display.vblCount, signalled) << "and stays idle";
}

TEST_F(VBLTest, DisablingTheRegistrationDropsItForGood) {
    io_handle_t connection = 0;
    FakeDisplay& display = enabledDisplay(2, &connection);
    IOFramebuffer* fb = display.framebuffer.get();
    {
        IOGateLock gate(fb);
        EXPECT_EQ(fb->setInterruptState(display.vblRef, 0), kIOReturnSuccess);
        EXPECT_EQ(fb->setInterruptState(display.vblRef, 1), kIOReturnSuccess);
        EXPECT_EQ(fb->setInterruptState(display.vblRef, 7), kIOReturnUnsupported);
    }
    EXPECT_EQ(call(connection, 9), kIOReturnNoInterrupt);
    advance(std::chrono::seconds(1));
    EXPECT_EQ(display.vblCount, 0);
    IOGateLock gate(fb);
    void* ref = nullptr;
    EXPECT_EQ(fb->registerForInterruptType(kIOFBVBLInterruptType, &FakeWindowServer::onVBL, nullptr, &display,
                                           &ref),
              kIOReturnSuccess);
    EXPECT_EQ(ref, display.vblRef);
}

TEST_F(VBLTest, StoppingAPacedFramebufferEndsItsTimerBeforeItsMemoryGoes) {
    io_handle_t connection = 0;
    FakeDisplay& display = enabledDisplay(2, &connection, true);
    advance(milliseconds(300));
    ASSERT_GT(display.vblCount, 0);
    EXPECT_EQ(kernel->unloadKext("com.quenby.QNExFramebuffer"), kIOReturnSuccess);
    int after = display.vblCount;
    advance(std::chrono::seconds(1));
    EXPECT_EQ(display.vblCount, after);
}

} // namespace
} // namespace drivers::testing
