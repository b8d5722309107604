// The client's main stream as the server reads it, through the real network socket over a
// socket pair: the bytes arrive in pieces of the input's choosing, and the reader goes on
// message by message until the stream ends or the handler stops it.
#include "fuzz/FuzzSupport.h"
#include "net/QNClientStreamReader.h"
#include "net/QNNetSocket.h"

#include <condition_variable>
#include <mutex>
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

// The writing end's thread, started once: a thread per input cost more than the input.
class Writer {
  public:
    Writer() : m_thread([this] { run(); }) {}
    // Writes the stream to fd in pieces, then closes fd; wait() returns when it has.
    void write(int fd, const std::vector<uint8_t>& stream, size_t piece) {
        std::lock_guard lock(m_mutex);
        m_fd = fd, m_stream = &stream, m_piece = piece;
        m_cv.notify_all();
    }
    void wait() {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [this] { return m_fd < 0; });
    }

  private:
    [[noreturn]] void run() {
        for (;;) {
            std::unique_lock lock(m_mutex);
            m_cv.wait(lock, [this] { return m_fd >= 0; });
            size_t sent = 0;
            while (sent < m_stream->size()) {
                const size_t n = std::min(m_piece, m_stream->size() - sent);
                if (!fuzz::sendWithDescriptors(m_fd, m_stream->data() + sent, n, {})) break;
                sent += n;
            }
            ::close(m_fd);
            m_fd = -1;
            m_cv.notify_all();
        }
    }
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_fd = -1;
    const std::vector<uint8_t>* m_stream = nullptr;
    size_t m_piece = 1;
    std::thread m_thread;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Never destroyed: its thread runs until the process ends.
    static Writer& writer = *new Writer;
    fuzz::QuietLog quiet;
    fuzz::DescriptorLeakCheck leaks;
    // The first byte chooses the size of the pieces; the rest is the stream.
    fuzz::Reader input(data, size);
    const size_t piece = 1 + input.u8();
    const std::vector<uint8_t> stream = input.rest();

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) fuzz::fail("socketpair");
    writer.write(pair[1], stream, piece);
    {
        auto socket = net::QNNetSocket::initWithSocket(pair[0]);
        if (!socket) fuzz::fail("a socket around a socket pair");
        Handler handler;
        net::QNClientStreamReader reader(*socket);
        while (reader.readMessage(handler) == net::QNClientStreamReader::Outcome::Continue) {
        }
        socket->close();
    }
    writer.wait();
    return 0;
}
