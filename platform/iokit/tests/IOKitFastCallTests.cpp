// The lean road of scalar calls: its binary messages, and the loop that answers them on a
// socket, against well-formed, malformed and unanswerable calls.
#include "platform/core/Log.h"
#include "platform/iokit/IOKitFastCall.h"
#include "platform/iokit/IOKitRequestServer.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace iokit {
namespace {

using fastcall::Message;
using fastcall::ScalarCall;
using fastcall::ScalarResult;

TEST(IOKitFastCall, CallsAndAnswersRoundTripAndMalformedOnesAreRefused) {
    ScalarCall call{0x1234, 5, 2, 4, {}};
    call.input[0] = 16666;
    call.input[1] = ~uint64_t(0);
    Message message;
    const size_t length = fastcall::encodeCall(call, message);
    EXPECT_EQ(length, 36u);
    auto back = fastcall::decodeCall(std::span<const uint8_t>(message.data(), length));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->connection, 0x1234u);
    EXPECT_EQ(back->selector, 5u);
    EXPECT_EQ(back->outputCount, 4u);
    EXPECT_EQ(back->input[1], ~uint64_t(0));

    EXPECT_FALSE(fastcall::decodeCall(std::span<const uint8_t>(message.data(), 3)));          // short
    EXPECT_FALSE(fastcall::decodeCall(std::span<const uint8_t>(message.data(), length - 1))); // cut input
    Message wrong = message;
    wrong[0] ^= 0xFF;
    EXPECT_FALSE(fastcall::decodeCall(std::span<const uint8_t>(wrong.data(), length))); // not ours
    Message many = message;
    many[12] = 17; // more inputs than a message holds
    EXPECT_FALSE(fastcall::decodeCall(std::span<const uint8_t>(many.data(), length)));

    ScalarResult result{-5, 3, {}};
    result.output[2] = 42;
    const size_t answer = fastcall::encodeResult(result, message);
    auto read = fastcall::decodeResult(std::span<const uint8_t>(message.data(), answer), 4);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->status, -5);
    EXPECT_EQ(read->output[2], 42u);
    EXPECT_FALSE(
        fastcall::decodeResult(std::span<const uint8_t>(message.data(), answer), 2)); // more than asked
    EXPECT_FALSE(fastcall::decodeResult(std::span<const uint8_t>(message.data(), answer - 8), 4));
}

class FastCallLoop : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0); }
    void TearDown() override {
        if (ends[1] >= 0) ::close(ends[1]);
        if (server.joinable()) server.join();
        ::close(ends[0]);
    }
    void serve(IOKitRequestServer::FastCall call) {
        server = std::thread([this, call] { IOKitRequestServer::serveFastCalls(ends[0], call); });
    }
    std::optional<ScalarResult> exchange(const uint8_t* bytes, size_t length, uint32_t asked) {
        EXPECT_EQ(::send(ends[1], bytes, length, MSG_NOSIGNAL), ssize_t(length));
        Message answer;
        ssize_t got = ::recv(ends[1], answer.data(), answer.size(), 0);
        if (got <= 0) return std::nullopt;
        return fastcall::decodeResult(std::span<const uint8_t>(answer.data(), size_t(got)), asked);
    }
    std::optional<ScalarResult> exchange(const ScalarCall& call) {
        Message message;
        return exchange(message.data(), fastcall::encodeCall(call, message), call.outputCount);
    }

    int ends[2] = {-1, -1};
    std::thread server;
    platform::LogCapture log{true};
};

TEST_F(FastCallLoop, AnswersEachCallInTurnRefusesMalformedOnesAndEndsWithTheOtherEnd) {
    std::vector<uint32_t> selectors;
    serve([&](const ScalarCall& call, ScalarResult& result) {
        selectors.push_back(call.selector);
        if (call.selector == 9) return false; // no task behind the channel
        result.status = 0;
        result.outputCount = call.outputCount;
        for (uint32_t i = 0; i < call.outputCount; ++i)
            result.output[i] = call.input[0] + i;
        return true;
    });
    ScalarCall call{1, 5, 1, 4, {}};
    call.input[0] = 100;
    auto answer = exchange(call);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 0);
    ASSERT_EQ(answer->outputCount, 4u);
    EXPECT_EQ(answer->output[3], 103u);

    // Hostile messages are answered, so the channel stays in step, and never reach the call.
    const uint8_t three[3] = {1, 2, 3};
    answer = exchange(three, sizeof three, 0);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, kernel::kIOReturnBadArgument);
    std::vector<uint8_t> oversized(fastcall::kMaxMessageBytes + 40, 0x51);
    answer = exchange(oversized.data(), oversized.size(), 0);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, kernel::kIOReturnBadArgument);
    EXPECT_EQ(log.count("refused a malformed call"), 2u);

    call.selector = 9;
    answer = exchange(call);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, kernel::kIOReturnNotAttached);
    EXPECT_EQ(answer->outputCount, 0u);

    ::close(ends[1]); // the process goes: the loop ends
    ends[1] = -1;
    server.join();
    EXPECT_EQ(selectors, (std::vector<uint32_t>{5, 9}));
}

} // namespace
} // namespace iokit
