#include "platform/iokit/IOKitTransport.h"

#include "platform/iokit/IOKitFastCall.h"
#include "platform/iokit/IOKitProtocol.h"

#include "platform/core/Log.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/UniqueFd.h"

#include <cerrno>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <sys/socket.h>
#include <vector>

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
// lean channels for scalar calls. Each call has a channel to itself, so threads calling at once
// (the sessions' cursor loops) do not queue behind one another; a process keeps at most
// fastcall::kMaxChannels, and a call finding them all busy waits for the first given back.
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
            if (ipc::UniqueFd channel = take()) {
                fastcall::Message message;
                const size_t length = fastcall::encodeCall(call, message);
                ssize_t sent;
                do {
                    sent = ::send(channel.get(), message.data(), length, MSG_NOSIGNAL);
                } while (sent < 0 && errno == EINTR);
                if (sent == ssize_t(length)) {
                    const kernel::IOReturn status = answer(channel, asked, output, filled);
                    giveBack(std::move(channel));
                    return status;
                }
                // Not sent: the call never reached the kernel, so the long road may carry it.
                channel.reset();
                giveBack(std::move(channel));
            }
        }
        return IOKitTransport::callScalarMethod(connection, selector, input, inputCount, asked, output, filled);
    }

  private:
    // A free channel; else a new one, asked of platformd, while fewer are open than a process
    // may keep; else the first one given back. Invalid when platformd gives none.
    ipc::UniqueFd take() {
        std::unique_lock lock(m_channelsLock);
        for (;;) {
            if (!m_free.empty()) {
                ipc::UniqueFd channel = std::move(m_free.back());
                m_free.pop_back();
                return channel;
            }
            if (m_open < fastcall::kMaxChannels) break;
            m_given.wait(lock);
        }
        ++m_open;
        lock.unlock();
        ipc::UniqueFd channel = open();
        if (!channel) giveBack({});
        return channel;
    }

    // Back to the free ones; an invalid channel (lost, or never had) frees its place.
    void giveBack(ipc::UniqueFd channel) {
        std::lock_guard lock(m_channelsLock);
        if (channel)
            m_free.push_back(std::move(channel));
        else
            --m_open;
        m_given.notify_one();
    }

    ipc::UniqueFd open() {
        auto connection = ipc::Connection::shared();
        if (!connection) return {};
        {
            std::lock_guard lock(m_channelsLock);
            if (connection == m_refusedBy.lock()) return {};
        }
        ipc::Reply reply = connection->request(op::fastChannel);
        if (!reply.ok || reply.fds.size() != 1) {
            // This platformd gives no more: the channels had so far, and the long road, serve.
            std::lock_guard lock(m_channelsLock);
            if (connection->isConnected()) m_refusedBy = connection;
            return {};
        }
        return std::move(reply.fds.front());
    }

    // A channel that fails or answers out of step is closed (channel left invalid).
    kernel::IOReturn answer(ipc::UniqueFd& channel, uint32_t asked, uint64_t* output, uint32_t* filled) {
        fastcall::Message message;
        ssize_t got;
        do {
            got = ::recv(channel.get(), message.data(), message.size(), MSG_TRUNC);
        } while (got < 0 && errno == EINTR);
        auto result = got > 0 && size_t(got) <= message.size()
                          ? fastcall::decodeResult(std::span<const uint8_t>(message.data(), size_t(got)), asked)
                          : std::nullopt;
        if (!result) {
            if (got > 0) platform::log("I/O Kit: a malformed answer on the lean channel, dropped");
            channel.reset(); // lost, or out of step: a later call asks for a new one
            return kernel::kIOReturnIPCError;
        }
        std::copy(result->output.begin(), result->output.begin() + result->outputCount, output);
        *filled = result->outputCount;
        return static_cast<kernel::IOReturn>(result->status);
    }

    std::mutex m_channelsLock;
    std::condition_variable m_given;
    std::vector<ipc::UniqueFd> m_free;
    size_t m_open = 0; // channels free or in a call, and places taken by calls asking for one
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
