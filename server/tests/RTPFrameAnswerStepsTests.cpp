#include "server/RTPFrameAnswerSteps.h"

#include "capture/QNNetOutboundRTPSocket.h"
#include "regions/tests/RecordingSocket.h"

#include <gtest/gtest.h>

namespace server {
namespace {

struct CountingSteps : ScreenServer::FrameAnswerSteps {
    void pollApplicationMonitor() override { ++polls; }
    bool sendApplicationRecords(const ScreenServer::Socket&) override {
        ++sends;
        return false;
    }
    int polls = 0, sends = 0;
};

TEST(RTPFrameAnswerStepsTest, BracketsAnUpdateOnAnOutboundRTPSocket) {
    RTPFrameAnswerSteps steps;
    auto other = std::make_shared<regions::testing::RecordingSocket>();
    EXPECT_FALSE(steps.isRTPOutputSocket(other));
    EXPECT_FALSE(steps.isRTPOutputSocket(nullptr));
    capture::RTPSocketConfig config;
    config.receivers.clear(); // nothing to send to
    auto rtp = capture::QNNetOutboundRTPSocket::create(config);
    ASSERT_TRUE(steps.isRTPOutputSocket(rtp));
    steps.beginRTPPacket(cg::CGSizeMake(1024, 768));
    auto packets = rtp->outboundPackets();
    ASSERT_EQ(packets.size(), 1u);
    const std::vector<uint8_t>& block = packets[0];
    ASSERT_EQ(block.size(), 61u);
    EXPECT_EQ(block[0], 0x79);
    const std::vector<uint8_t> record(block.begin() + 3, block.begin() + 50);
    std::vector<uint8_t> expected(47, 0);
    const uint8_t head[] = {1, 3, 0, 1, 1, 0, 0, 3, 0, 1, 0};
    std::copy(std::begin(head), std::end(head), expected.begin());
    EXPECT_EQ(record, expected);
    const std::vector<uint8_t> resolution(block.begin() + 50, block.end());
    EXPECT_EQ(resolution, (std::vector<uint8_t>{16, 0, 0, 0, 0, 0x00, 0x04, 0x00, 0x03, 0, 0}));
    steps.endRTPPacket();
    EXPECT_TRUE(rtp->outboundPackets().empty());
    rtp->close();
}

TEST(RTPFrameAnswerStepsTest, OtherStepsGoToTheInnerSteps) {
    auto inner = std::make_shared<CountingSteps>();
    RTPFrameAnswerSteps steps(inner);
    steps.pollApplicationMonitor();
    EXPECT_FALSE(steps.sendApplicationRecords(nullptr));
    EXPECT_EQ(inner->polls, 1);
    EXPECT_EQ(inner->sends, 1);
    RTPFrameAnswerSteps alone;
    EXPECT_TRUE(alone.sendApplicationRecords(nullptr));
    alone.beginRTPPacket(cg::CGSizeMake(1, 1)); // no socket seen: nothing to do
    alone.endRTPPacket();
}

} // namespace
} // namespace server
