#include "platform/daemon/ClientConnection.h"

#include "platform/core/Log.h"
#include "platform/ipc/Protocol.h"

#include <sys/socket.h>

namespace platformd {

ClientConnection::ClientConnection(ipc::UniqueFd fd, uint64_t id, Delegate& delegate)
    : m_fd(std::move(fd)), m_delegate(delegate) {
    m_client.id = id;
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(m_fd.get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) {
        m_client.pid = cred.pid;
        m_client.uid = cred.uid;
    }
}

ClientConnection::~ClientConnection() {
    end("");
    join();
    // The reader holds a reference of its own, so the last one may be dropped on it.
    if (m_reader.joinable()) m_reader.detach();
}

std::string ClientConnection::label() const {
    std::lock_guard lock(m_mutex);
    std::string name = m_labelName.empty() ? std::string("unknown") : m_labelName;
    return "pid " + std::to_string(m_client.pid) + " (" + name + ")";
}

void ClientConnection::setLabelName(const std::string& name) {
    std::lock_guard lock(m_mutex);
    m_labelName = name.substr(0, 64);
}

void ClientConnection::start() {
    auto self = shared_from_this();
    // Under the lock: a connection can end, and be joined, before start has returned.
    std::lock_guard lock(m_mutex);
    m_reader = std::thread([this, self] { readLoop(); });
    m_writer = std::thread([this] { writeLoop(); });
}

bool ClientConnection::send(const cf::Value& message, std::vector<ipc::UniqueFd> fds) {
    std::string why;
    auto bytes = ipc::encodeMessage(message, why);
    if (!bytes) {
        platform::log("platformd: cannot send to %s: %s", label(), why);
        return false;
    }
    bool overflow = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_ending) return false;
        if (m_outboundBytes + bytes->size() > kMaxOutboundBytes) {
            overflow = m_overflowed = true;
        } else {
            m_outboundBytes += bytes->size();
            m_outbound.push_back(Outgoing{std::move(*bytes), std::move(fds)});
        }
    }
    if (overflow) {
        end("it stopped reading its messages");
        return false;
    }
    m_cv.notify_all();
    return true;
}

bool ClientConnection::overflowed() const {
    std::lock_guard lock(m_mutex);
    return m_overflowed;
}

void ClientConnection::end(const std::string& why, bool flush) {
    {
        std::lock_guard lock(m_mutex);
        if (m_ending && !(m_flushing && !flush)) return;
        m_ending = true;
        m_flushing = flush;
    }
    if (!why.empty()) platform::log("platformd: closing the connection of %s: %s", label(), why);
    // When flushing, the writer shuts the socket down once what was queued is out.
    if (!flush) ::shutdown(m_fd.get(), SHUT_RDWR);
    m_cv.notify_all();
}

void ClientConnection::join() {
    {
        // Waits out a start() still assigning the threads.
        std::lock_guard lock(m_mutex);
    }
    auto self = std::this_thread::get_id();
    if (m_reader.joinable() && m_reader.get_id() != self) m_reader.join();
    if (m_writer.joinable() && m_writer.get_id() != self) m_writer.join();
}

void ClientConnection::readLoop() {
    auto self = shared_from_this();
    ipc::Frame frame;
    for (;;) {
        ipc::ReadResult r = ipc::readFrame(m_fd.get(), frame);
        if (r == ipc::ReadResult::Closed) break;
        if (r != ipc::ReadResult::Ok) {
            bool ending;
            {
                std::lock_guard lock(m_mutex);
                ending = m_ending;
            }
            if (!ending) end(ipc::describe(r));
            break;
        }
        if (!handleFrame(frame)) break;
    }
    end("");
    m_delegate.connectionEnded(self);
}

bool ClientConnection::handleFrame(ipc::Frame& frame) {
    std::string why;
    auto message = ipc::decodeFrame(frame, why);
    std::optional<ipc::Request> request;
    if (message) {
        if (ipc::kindOf(*message) == ipc::MessageKind::Request)
            request = ipc::parseRequest(*message, frame, why);
        else
            why = "not a request";
    }
    if (request && !m_sawHello && request->op != ipc::op::hello) {
        request.reset();
        why = "the first message was not a hello";
    }
    if (!request) {
        end("malformed message (" + why + ")");
        return false;
    }
    m_sawHello = true;
    {
        std::unique_lock lock(m_mutex);
        platform::waitUntil(m_cv, lock, platform::kDistantFuture,
                            [&] { return m_ending || m_queuedRequests < kMaxQueuedRequests; });
        if (m_ending) return false;
        ++m_queuedRequests;
    }
    m_delegate.requestReceived(shared_from_this(), std::move(*request));
    return true;
}

void ClientConnection::requestHandled() {
    {
        std::lock_guard lock(m_mutex);
        if (m_queuedRequests > 0) --m_queuedRequests;
    }
    m_cv.notify_all();
}

void ClientConnection::writeLoop() {
    for (;;) {
        Outgoing next;
        {
            std::unique_lock lock(m_mutex);
            platform::waitUntil(m_cv, lock, platform::kDistantFuture,
                                [&] { return m_ending || !m_outbound.empty(); });
            if (m_outbound.empty()) {
                lock.unlock();
                ::shutdown(m_fd.get(), SHUT_RDWR); // ending with nothing left to say
                return;
            }
            next = std::move(m_outbound.front());
            m_outbound.pop_front();
            m_outboundBytes -= next.bytes.size();
        }
        std::vector<int> fds;
        for (auto& fd : next.fds)
            fds.push_back(fd.get());
        if (!ipc::writeFrame(m_fd.get(), next.bytes, fds)) {
            end("");
            std::lock_guard lock(m_mutex);
            m_outbound.clear();
            m_outboundBytes = 0;
            return;
        }
    }
}

} // namespace platformd
