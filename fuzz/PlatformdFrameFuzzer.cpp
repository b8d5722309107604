// platformd's framing and message decoding over a socket pair, with descriptors riding on the
// input's chunks: every frame read decodes as a request, a reply or an event or is refused,
// and every descriptor that arrived is owned by a frame or a message and closed with it.
#include "fuzz/FuzzSupport.h"
#include "platform/ipc/FrameIO.h"
#include "platform/ipc/Message.h"

#include <fcntl.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog quiet;
    static const int attachment = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    fuzz::DescriptorLeakCheck leaks;
    // The input's first byte holds the descriptor counts (up to 40, past the reader's limit)
    // riding on the first and on the second chunk of 256 bytes; the rest is the stream. All of
    // it is sent before reading, then the end of the stream.
    fuzz::Reader input(data, std::min<size_t>(size, 65536));
    const uint8_t plan = input.u8();
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) fuzz::fail("socketpair");
    for (int chunkIndex = 0; input.remaining() > 0; ++chunkIndex) {
        const auto chunk = input.bytes(256);
        size_t fdCount = 0;
        if (chunkIndex == 0)
            fdCount = plan % 41;
        else if (chunkIndex == 1)
            fdCount = (plan / 41) % 4;
        if (!fuzz::sendWithDescriptors(pair[1], chunk.data(), chunk.size(),
                                       std::vector<int>(fdCount, attachment)))
            break;
    }
    ::shutdown(pair[1], SHUT_WR);
    for (;;) {
        ipc::Frame frame;
        const ipc::ReadResult result = ipc::readFrame(pair[0], frame);
        if (result != ipc::ReadResult::Ok) {
            (void)ipc::describe(result);
            break;
        }
        FUZZ_CHECK(frame.fds.size() <= ipc::kMaxMessageFds, "a frame read with descriptors beyond the limit");
        std::string why;
        auto message = ipc::decodeFrame(frame, why);
        if (!message) continue;
        switch (ipc::kindOf(*message)) {
        case ipc::MessageKind::Request:
            (void)ipc::parseRequest(*message, frame, why);
            break;
        case ipc::MessageKind::Reply: {
            auto reply = ipc::parseReply(*message, frame, why);
            if (reply && !reply->ok) (void)reply->error.description();
            break;
        }
        case ipc::MessageKind::Event:
            (void)ipc::parseEvent(*message, frame, why);
            break;
        case ipc::MessageKind::Unknown:
            break;
        }
    }
    ::close(pair[0]);
    ::close(pair[1]);
    return 0;
}
