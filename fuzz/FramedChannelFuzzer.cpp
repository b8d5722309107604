// What the framed channel reads from its connection: frames of a 16-byte big-endian header
// (version 1, type, tag, payload size) and the payload, over a socket pair into a channel's
// frame loop on the main queue. The delegate declines some frames (their payloads are read
// and dropped). An oracle reads the same bytes: the delegate gets exactly the frames it
// accepted, whole, in order, and the loop ends at the first frame that cannot be read (a
// version other than 1, an oversized payload, type 0, a cut-short header or payload).
#include "fuzz/FuzzSupport.h"
#include "platform/dispatch/Activity.h"
#include "platform/dispatch/Testing.h"
#include "usblink/PTChannel.h"

#include <chrono>
#include <sys/socket.h>

using namespace usblink;

namespace {

struct Frame {
    uint32_t type = 0;
    uint32_t tag = 0;
    std::vector<uint8_t> payload;
    bool operator==(const Frame&) const = default;
};

// Some frames are declined, so both the payload and the discard roads are read.
bool accepts(uint32_t type) {
    return type % 5 != 4;
}

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

class Recorder final : public PTChannelDelegate {
  public:
    void ioFrameChannelDidReceiveFrameOfType(const std::shared_ptr<PTChannel>&, uint32_t type, uint32_t tag,
                                             const std::shared_ptr<PTData>& payload) override {
        FUZZ_CHECK(type != kPTFrameTypeEndOfStream, "the end-of-stream frame delivered");
        FUZZ_CHECK(accepts(type), "a declined frame delivered");
        Frame frame{type, tag, {}};
        if (payload) frame.payload.assign(payload->data(), payload->data() + payload->length());
        FUZZ_CHECK(frame.payload.size() == announced, "a payload of another size than its header's");
        frames.push_back(std::move(frame));
    }
    bool respondsToShouldAcceptFrame() const override { return true; }
    bool ioFrameChannelShouldAcceptFrameOfType(const std::shared_ptr<PTChannel>&, uint32_t type, uint32_t,
                                               uint32_t payloadSize) override {
        FUZZ_CHECK(payloadSize <= kPTMaxFramePayloadSize, "an oversized frame offered");
        announced = payloadSize;
        return accepts(type);
    }

    std::vector<Frame> frames;
    uint32_t announced = 0;
};

std::vector<Frame> oracle(const uint8_t* data, size_t size) {
    std::vector<Frame> frames;
    size_t at = 0;
    while (size - at >= kPTFrameHeaderSize) {
        const uint8_t* header = data + at;
        const uint32_t type = be32(header + 4), payloadSize = be32(header + 12);
        if (be32(header) != kPTProtocolVersion1 || payloadSize > kPTMaxFramePayloadSize ||
            type == kPTFrameTypeEndOfStream || payloadSize > size - at - kPTFrameHeaderSize)
            break;
        at += kPTFrameHeaderSize;
        if (accepts(type))
            frames.push_back(
                {type, be32(header + 8), std::vector<uint8_t>(data + at, data + at + payloadSize)});
        at += payloadSize;
    }
    return frames;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog quiet;
    fuzz::DescriptorLeakCheck leaks;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) fuzz::fail("socketpair");
    // The whole input fits the socket's buffer; the end of the stream follows it.
    if (!fuzz::sendWithDescriptors(pair[1], data, size, {})) fuzz::fail("send");
    ::close(pair[1]);

    auto recorder = std::make_shared<Recorder>();
    auto channel = PTChannel::initWithProtocol(PTProtocol::initWithDispatchQueue(nullptr), recorder);
    bool ended = false;
    const int fd = pair[0];
    auto io = dispatch::dispatch_io_create(dispatch::DISPATCH_IO_STREAM, fd,
                                           dispatch::dispatch_get_main_queue(), [fd, &ended](int) {
                                               ::close(fd);
                                               ended = true;
                                           });
    platform::Error error;
    FUZZ_CHECK(channel->startReadingFromConnectedChannel(io, &error), "the channel refused its connection");
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!ended) {
        const uint64_t seen = dispatch::activity::generation();
        dispatch::runUntilIdle();
        if (ended) break;
        if (std::chrono::steady_clock::now() > bound) fuzz::fail("the frame loop never ended");
        dispatch::activity::waitPastFor(seen, std::chrono::milliseconds(50));
    }
    FUZZ_CHECK(recorder->frames == oracle(data, size), "the frames delivered differ from the stream's");
    return 0;
}
