// Vertical-blank pacing on the fake clock: the timer takes over once the screen server has
// been silent past the threshold, and each signal from it hands pacing back.
#include "FramebufferFixture.h"

#include "platform/kernel/IOTimerEventSource.h"

namespace drivers::testing {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

class VBLTest : public FramebufferTest {
protected:
    void advance(platform::Duration d) { kernel::testing::advanceClock(*clock, d); }

    FakeDisplay& enabledDisplay(int index, io_handle_t* connection) {
        FakeDisplay& display = booted(index);
        *connection = openUserClient(index);
        EXPECT_EQ(enable(*connection, {1}), kIOReturnSuccess);
        return display;
    }
};

TEST_F(VBLTest, TimerDeliversAtThePeriodOnceTheThresholdPassesWithoutASignal) {
    io_handle_t connection = 0;
    FakeDisplay& display = enabledDisplay(2, &connection);
    advance(milliseconds(249));
    EXPECT_EQ(display.vblCount, 0) << "inside the threshold the timer stays quiet";
    advance(milliseconds(2));
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
    FakeDisplay& display = booted(1);
    io_handle_t connection = openUserClient(1);
    ASSERT_EQ(call(connection, 10, {40000}), kIOReturnSuccess);
    ASSERT_EQ(call(connection, 11, {500000}), kIOReturnSuccess);
    ASSERT_EQ(call(connection, 8, {9, 1}), kIOReturnSuccess);
    advance(milliseconds(499));
    EXPECT_EQ(display.vblCount, 0) << "inside the threshold the timer stays quiet";
    advance(milliseconds(2));
    EXPECT_EQ(display.vblCount, 1);
    advance(microseconds(40000 * 5));
    auto times = display.vblTimesCopy();
    ASSERT_EQ(times.size(), 6u);
    for (size_t i = 1; i < times.size(); ++i)
        EXPECT_EQ(times[i] - times[i - 1], microseconds(40000));
}

TEST_F(VBLTest, ASignalDeliversAtOnceAndHandsPacingBackUntilTheNextSilence) {
    io_handle_t connection = 0;
    FakeDisplay& display = enabledDisplay(1, &connection);
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
    EXPECT_GE(display.vblCount, timerDriven + 7) << "silence past the threshold brings the timer back";
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
    // Asked for 1 ms, the threshold is a whole period: after a signal, one period of silence
    // is not yet past it, and only a moment later does the timer take over.
    ASSERT_EQ(call(connection, 9, {}), kIOReturnSuccess);
    const int signalled = display.vblCount;
    EXPECT_GE(signalled, 1);
    advance(microseconds(16666));
    EXPECT_EQ(display.vblCount, signalled) << "one period after a signal the timer stays quiet";
    advance(microseconds(2));
    EXPECT_EQ(display.vblCount, signalled + 1) << "past a period of silence the timer takes over";
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
    FakeDisplay& display = enabledDisplay(2, &connection);
    advance(milliseconds(300));
    ASSERT_GT(display.vblCount, 0);
    EXPECT_EQ(kernel->unloadKext("com.quenby.QNExFramebuffer"), kIOReturnSuccess);
    int after = display.vblCount;
    advance(std::chrono::seconds(1));
    EXPECT_EQ(display.vblCount, after);
}

} // namespace
} // namespace drivers::testing
