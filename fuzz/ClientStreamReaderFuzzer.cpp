// The client's main stream as the server reads it, through the real network socket over a
// socket pair: the bytes arrive in pieces of the input's choosing, and the reader goes on
// message by message until the stream ends or the handler stops it.
#include "fuzz/FuzzSupport.h"
#include "net/QNClientStreamReader.h"
#include "net/QNNetSocket.h"

#include <thread>

using namespace net;

namespace {

class Handler final : public net::QNClientMessageHandler {
  public:
    void processClientHandshakeMsg(const net::QNClientHandshakeRecord& record) override {
        FUZZ_CHECK(record.handshakeLength <= net::QNClientHandshake::kSize, "handshake length");
        (void)record.handshake.deviceNameText();
    }
    void processClientHeartBeatMsg() override {}
    bool processUpdateRequestMsg() override { return ++updates > 64; }
    int updates = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog quiet;
    fuzz::DescriptorLeakCheck leaks;
    // The first byte chooses the size of the pieces; the rest is the stream.
    fuzz::Reader input(data, size);
    const size_t piece = 1 + input.u8();
    const std::vector<uint8_t> stream = input.rest();

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) fuzz::fail("socketpair");
    std::thread writer([&] {
        size_t sent = 0;
        while (sent < stream.size()) {
            const size_t n = std::min(piece, stream.size() - sent);
            if (!fuzz::sendWithDescriptors(pair[1], stream.data() + sent, n, {})) break;
            sent += n;
        }
        ::close(pair[1]);
    });
    {
        auto socket = net::QNNetSocket::initWithSocket(pair[0]);
        if (!socket) fuzz::fail("a socket around a socket pair");
        Handler handler;
        net::QNClientStreamReader reader(*socket);
        while (reader.readMessage(handler) == net::QNClientStreamReader::Outcome::Continue) {
        }
        socket->close();
    }
    writer.join();
    return 0;
}
