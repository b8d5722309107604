// platformd's end of a client connection fed hostile frames read from a socket pair: message
// bodies of the input's choosing, each framed with descriptors attached, maybe after a proper
// hello. Every request the connection hands on has its arguments read the way services read
// them and is answered; the connection ends on the first malformed message without leaking a
// descriptor.
#include "fuzz/FuzzSupport.h"
#include "platform/daemon/ClientConnection.h"
#include "platform/daemon/RequestContext.h"
#include "platform/ipc/Protocol.h"

#include <fcntl.h>

using namespace platformd;

namespace {

class Delegate final : public ClientConnection::Delegate {
  public:
    void requestReceived(const std::shared_ptr<ClientConnection>& connection, ipc::Request request) override {
        FUZZ_CHECK(m_requests > 0 || request.op == ipc::op::hello, "a first request that is not a hello");
        ++m_requests;
        RequestContext context(connection->client(), request.args, request.fds,
                               Responder(connection, request.id), request.bytes);
        readArguments(request.op, context);
        if (!context.responder().answered()) context.reply();
        connection->requestHandled();
    }
    void connectionEnded(const std::shared_ptr<ClientConnection>&) override {}

  private:
    // The argument readers of a service, on the keys its op names (a trailing "?" marks an
    // optional one), then on every key the request carries.
    static void readArguments(const std::string& op, RequestContext& context) {
        bool ok = true;
        for (const ipc::OpSignature& entry : ipc::kSystemServiceOps) {
            if (entry.name != op) continue;
            std::string_view keys = entry.args;
            while (!keys.empty() && ok && !context.responder().answered()) {
                const size_t space = keys.find(' ');
                std::string_view key = keys.substr(0, space);
                keys = space == std::string_view::npos ? std::string_view() : keys.substr(space + 1);
                if (key.empty()) continue;
                if (key.back() == '?')
                    (void)context.optionalString(key.substr(0, key.size() - 1), ok);
                else
                    (void)context.requiredString(key);
            }
        }
        if (context.responder().answered()) return;
        if (const cf::Dictionary* args = context.args().asDictionary()) {
            for (const auto& [key, value] : *args) {
                bool fine = true;
                (void)context.optionalInteger(key, fine);
                (void)context.optionalReal(key, fine);
                (void)context.optionalOfKind(key, cf::Value::Kind::Array, fine);
            }
        }
    }

    int m_requests = 0;
};

std::vector<uint8_t> helloBody() {
    cf::Dictionary args{{"protocol", cf::Value(ipc::kProtocolVersion)},
                        {"executable", cf::Value("/Applications/Fuzz.app/Contents/MacOS/Fuzz")},
                        {"processName", cf::Value("Fuzz")},
                        {"user", cf::Value("fuzz")}};
    std::string why;
    return *ipc::encodeMessage(ipc::makeRequest(std::string(ipc::op::hello), 1, cf::Value(args), 0), why);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog quiet;
    static const int attachment = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    static const std::vector<uint8_t> hello = helloBody();
    // A flags byte (bit 0: a proper hello goes first), then messages: a byte whose low two
    // bits count the descriptors attached, a little-endian u16 length and the body.
    fuzz::Reader input(data, std::min<size_t>(size, 65536));
    fuzz::DescriptorLeakCheck leaks;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) fuzz::fail("socketpair");
    if (input.u8() & 1) ipc::writeFrame(pair[1], hello);
    while (input.remaining() > 0) {
        const size_t fdCount = input.u8() & 3;
        const auto body = input.bytes(input.u16());
        if (body.empty()) break;
        if (!ipc::writeFrame(pair[1], body, std::vector<int>(fdCount, attachment))) break;
    }
    ::shutdown(pair[1], SHUT_WR);
    {
        // Never started: the frames are read here and handed on one by one, as the reader
        // thread would, without two threads per input; replies stay queued until it goes.
        Delegate delegate;
        auto connection = std::make_shared<ClientConnection>(ipc::UniqueFd(pair[0]), 1, delegate);
        ipc::Frame frame;
        while (ipc::readFrame(pair[0], frame) == ipc::ReadResult::Ok && connection->handleFrame(frame)) {
        }
        connection->end("");
    }
    ::close(pair[1]);
    return 0;
}
