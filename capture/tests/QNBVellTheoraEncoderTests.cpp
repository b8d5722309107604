// The Theora encoder's frame pacing on the fake clock: each wait runs on a thread of its own,
// and the test moves time on to release it.
#include "capture/QNBVellTheoraEncoder.h"
#include "capture/tests/EncoderTestSupport.h"
#include "display/QNBDisplaySet.h"

#include "platform/core/Clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace capture {
namespace {

class QNBVellTheoraEncoderTest : public ::testing::Test {
  protected:
    void SetUp() override { clock = &platform::installFakeClock(); }
    void TearDown() override {
        // Whatever a failed test left waiting is let go.
        clock->advance(platform::seconds(7200));
        if (waiter.joinable()) waiter.join();
    }
    // Starts a wait; done turns true when it returns.
    void startWait() {
        if (waiter.joinable()) waiter.join();
        done = false;
        waiter = std::thread([this] {
            encoder->waitForNextFrame();
            done = true;
        });
    }
    bool finishes() {
        return testing::eventually([this] { return done.load(); });
    }
    // Lets a thread that is not due run: if it were due, it would finish.
    void settle() {
        for (int i = 0; i < 1000; ++i)
            std::this_thread::yield();
    }

    platform::FakeClock* clock = nullptr;
    std::shared_ptr<QNBVellTheoraEncoder> encoder = QNBVellTheoraEncoder::create();
    std::thread waiter;
    std::atomic<bool> done{false};
};

TEST_F(QNBVellTheoraEncoderTest, TheFirstWaitReturnsAtOnce) {
    EXPECT_EQ(encoder->lastFrameSent(), 0.0);
    const auto start = platform::now();
    startWait();
    EXPECT_TRUE(finishes());
    EXPECT_EQ(platform::now(), start);
    EXPECT_EQ(encoder->lastFrameSent(), platform::wallNow());
}

TEST_F(QNBVellTheoraEncoderTest, QuickWaitsAreAThirtiethOfASecondApart) {
    startWait();
    ASSERT_TRUE(finishes());
    const auto first = platform::now();
    startWait();
    clock->advance(platform::seconds(1.0 / 30) - std::chrono::milliseconds(1));
    settle();
    EXPECT_FALSE(done.load());
    clock->advance(std::chrono::milliseconds(1));
    EXPECT_TRUE(finishes());
    EXPECT_EQ(platform::now() - first, platform::seconds(1.0 / 30));

    // A frame that took its time already: the next wait is only what is left.
    clock->advance(std::chrono::milliseconds(20));
    const auto before = platform::now();
    startWait();
    clock->advance(platform::seconds(1.0 / 30) - std::chrono::milliseconds(20));
    EXPECT_TRUE(finishes());
    EXPECT_LT(platform::now() - before, std::chrono::milliseconds(14));
    // Longer than a frame since: at once.
    clock->advance(std::chrono::milliseconds(100));
    startWait();
    EXPECT_TRUE(finishes());
}

TEST_F(QNBVellTheoraEncoderTest, AWallClockSetBackWaitsAtMostOneFrame) {
    startWait();
    ASSERT_TRUE(finishes());
    clock->setWall(platform::wallNow() - 3600);
    startWait();
    clock->advance(platform::seconds(1.0 / 30));
    EXPECT_TRUE(finishes());
    // And set forward: no frame is skipped either.
    clock->setWall(platform::wallNow() + 3600);
    startWait();
    settle();
    EXPECT_FALSE(done.load());
    clock->advance(platform::seconds(1.0 / 30));
    EXPECT_TRUE(finishes());
}

TEST_F(QNBVellTheoraEncoderTest, PacesAtThirtyAndSendsNothing) {
    EXPECT_TRUE(encoder->drivesFrameClock());
    EXPECT_EQ(encoder->drivenFramerate(), 30u);
    auto socket = std::make_shared<regions::testing::RecordingSocket>();
    auto display = std::make_shared<display::QNBDisplay>(0x100);
    auto set = std::make_shared<display::QNBDisplaySet>();
    set->addDisplay(display);
    encoder->setEncoderInformation(set, socket, {});
    display->addDirtyRectangle(cg::CGRectMake(0, 0, 10, 10));
    encoder->encodeFrame(0, false, display);
    EXPECT_TRUE(socket->stream().empty());
    EXPECT_FALSE(encoder->fp());
    EXPECT_EQ(encoder->currentFrameSize().width, 0);
    EXPECT_TRUE(encoder->headerData().empty());
    const auto& theora = QNBVellTheoraEncoderClass();
    EXPECT_EQ(theora.name, "QNBVellTheoraEncoder");
    EXPECT_TRUE(std::dynamic_pointer_cast<QNBVellTheoraEncoder>(theora.make()));
}

} // namespace
} // namespace capture
