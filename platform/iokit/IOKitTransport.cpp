#include "platform/iokit/IOKitTransport.h"

#include "platform/iokit/IOKitFastCall.h"
#include "platform/iokit/IOKitProtocol.h"

#include "platform/core/Log.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/UniqueFd.h"

#include <cerrno>
#include <limits>
#include <mutex>
#include <sys/socket.h>

namespace iokit {

namespace {

cf::Value scalarData(const uint64_t* values, uint32_t count) {
    cf::Bytes bytes(size_t(count) * 8);
    for (uint32_t i = 0; i < count; ++i)
        for (int b = 0; b < 8; ++b)
            bytes[size_t(i) * 8 + b] = static_cast<uint8_t>(values[i] >> (8 * b));
    return cf::Value(std::move(bytes));
}

// platformd's socket: the process's one connection, opened on first need, and beside it the
// lean channel for scalar calls.
class SocketTransport : public IOKitTransport {
  public:
    std::optional<cf::Value> request(std::string_view op, const cf::Value& args) override {
        return ipc::requestShared(op, args);
    }

    kernel::IOReturn callScalarMethod(uint32_t connection, uint32_t selector, const uint64_t* input,
                                      uint32_t inputCount, uint32_t asked, uint64_t* output,
                                      uint32_t* filled) override {
        if (inputCount <= fastcall::kMaxScalars && asked <= fastcall::kMaxScalars) {
            fastcall::ScalarCall call{connection, selector, inputCount, asked, {}};
            std::copy(input, input + inputCount, call.input.begin());
            std::unique_lock lock(m_channelLock);
            if (int fd = channel(); fd >= 0) {
                fastcall::Message message;
                const size_t length = fastcall::encodeCall(call, message);
                ssize_t sent;
                do {
                    sent = ::send(fd, message.data(), length, MSG_NOSIGNAL);
                } while (sent < 0 && errno == EINTR);
                if (sent == ssize_t(length)) return answer(fd, asked, output, filled);
                // Not sent: the call never reached the kernel, so the long road may carry it.
                m_channel.reset();
            }
        }
        return IOKitTransport::callScalarMethod(connection, selector, input, inputCount, asked, output, filled);
    }

  private:
    // The lean channel, asked of platformd on first need (and again after a loss); -1 when
    // platformd does not give one.
    int channel() {
        if (m_channel.get() >= 0) return m_channel.get();
        auto connection = ipc::Connection::shared();
        if (!connection || connection == m_refusedBy.lock()) return -1;
        ipc::Reply reply = connection->request(op::fastChannel);
        if (!reply.ok || reply.fds.size() != 1) {
            // This platformd gives none: its long road serves from now on.
            if (connection->isConnected()) m_refusedBy = connection;
            return -1;
        }
        m_channel = std::move(reply.fds.front());
        return m_channel.get();
    }

    kernel::IOReturn answer(int fd, uint32_t asked, uint64_t* output, uint32_t* filled) {
        fastcall::Message message;
        ssize_t got;
        do {
            got = ::recv(fd, message.data(), message.size(), MSG_TRUNC);
        } while (got < 0 && errno == EINTR);
        auto result = got > 0 && size_t(got) <= message.size()
                          ? fastcall::decodeResult(std::span<const uint8_t>(message.data(), size_t(got)), asked)
                          : std::nullopt;
        if (!result) {
            if (got > 0) platform::log("I/O Kit: a malformed answer on the lean channel, dropped");
            m_channel.reset(); // lost, or out of step: the next call asks for a new one
            return kernel::kIOReturnIPCError;
        }
        std::copy(result->output.begin(), result->output.begin() + result->outputCount, output);
        *filled = result->outputCount;
        return static_cast<kernel::IOReturn>(result->status);
    }

    std::mutex m_channelLock; // one call at a time on the channel
    ipc::UniqueFd m_channel;
    std::weak_ptr<ipc::Connection> m_refusedBy;
};

std::mutex gMutex;
std::shared_ptr<IOKitTransport> gTransport;

} // namespace

kernel::IOReturn IOKitTransport::callScalarMethod(uint32_t connection, uint32_t selector, const uint64_t* input,
                                                  uint32_t inputCount, uint32_t asked, uint64_t* output,
                                                  uint32_t* filled) {
    *filled = 0;
    auto result = request(op::callScalarMethod, cf::Value(cf::Dictionary{{"connection", connection},
                                                                         {"selector", selector},
                                                                         {"input", scalarData(input, inputCount)},
                                                                         {"outputCount", asked}}));
    if (!result) return kernel::kIOReturnIPCError;
    const cf::Value* statusValue = result->find("status");
    auto status = statusValue ? statusValue->storedInteger() : std::nullopt;
    if (!status || *status < std::numeric_limits<int32_t>::min() || *status > std::numeric_limits<int32_t>::max())
        return kernel::kIOReturnIPCError;
    if (static_cast<kernel::IOReturn>(*status) == kernel::kIOReturnIPCError) return kernel::kIOReturnIPCError;
    const cf::Value* out = result->find("output");
    const cf::Bytes* bytes = out ? out->asData() : nullptr;
    if (!bytes || bytes->size() % 8 != 0 || bytes->size() / 8 > asked) return kernel::kIOReturnIPCError;
    const uint32_t count = static_cast<uint32_t>(bytes->size() / 8);
    for (uint32_t i = 0; i < count; ++i) {
        uint64_t v = 0;
        for (int b = 0; b < 8; ++b)
            v |= uint64_t((*bytes)[size_t(i) * 8 + b]) << (8 * b);
        output[i] = v;
    }
    *filled = count;
    return static_cast<kernel::IOReturn>(*status);
}

void IOKitSetTransport(std::shared_ptr<IOKitTransport> transport) {
    std::lock_guard lock(gMutex);
    gTransport = std::move(transport);
}

std::shared_ptr<IOKitTransport> IOKitCurrentTransport() {
    std::lock_guard lock(gMutex);
    if (!gTransport) gTransport = std::make_shared<SocketTransport>();
    return gTransport;
}

} // namespace iokit
