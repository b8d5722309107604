#include "platform/ipc/ConnectionState.h"

#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/ipc/Connection.h"

#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

namespace ipc {

void ConnectionState::beginClose() {
    m_closing = true;
    // No send may start on a descriptor that is being shut down.
    std::lock_guard lock(m_writeMutex);
    if (m_fd) ::shutdown(m_fd.get(), SHUT_RDWR);
}

bool ConnectionState::sendMessage(const cf::Value& message, const std::vector<int>& fds) {
    std::string why;
    auto bytes = encodeMessage(message, why);
    if (!bytes) {
        platform::log("platformd connection: cannot send a message: %s", why);
        return false;
    }
    std::lock_guard lock(m_writeMutex);
    if (m_lost) return false;
    return writeFrame(m_fd.get(), *bytes, fds);
}

Reply ConnectionState::request(std::string_view op, const cf::Value& args, const std::vector<int>& fds) {
    Reply failed;
    failed.ok = false;
    failed.error = connectionLostError();
    int64_t id = m_nextId++;
    {
        std::lock_guard lock(m_mutex);
        if (m_lost) return failed;
        m_pending.emplace(id, std::nullopt);
    }
    if (!sendMessage(makeRequest(std::string(op), id, args, fds.size()), fds)) {
        std::lock_guard lock(m_mutex);
        m_pending.erase(id);
        if (!m_losing)
            failed.error = platform::Error::withDescription(platform::PlatformErrorDomain,
                                                            platform::kPlatformErrorRefused,
                                                            "The request could not be sent.");
        return failed;
    }
    std::unique_lock lock(m_mutex);
    // Only the reply or the end of the connection ends this wait.
    platform::waitUntil(m_cv, lock, platform::kDistantFuture,
                        [&] { return m_lost.load() || m_pending[id].has_value(); });
    auto it = m_pending.find(id);
    if (it->second) {
        Reply reply = std::move(*it->second);
        m_pending.erase(it);
        return reply;
    }
    m_pending.erase(it);
    return failed;
}

void ConnectionState::setEventHandler(std::string_view topic, EventHandler handler) {
    std::lock_guard lock(m_mutex);
    m_handlers.insert_or_assign(std::string(topic), std::move(handler));
}

void ConnectionState::removeEventHandler(std::string_view topic) {
    std::lock_guard lock(m_mutex);
    if (auto it = m_handlers.find(topic); it != m_handlers.end()) m_handlers.erase(it);
}

void ConnectionState::addLostHandler(LostHandler handler) {
    bool lostAlready;
    {
        std::lock_guard lock(m_mutex);
        lostAlready = m_losing;
        if (!lostAlready) m_lostHandlers.push_back(handler);
    }
    if (lostAlready && handler) handler();
}

void ConnectionState::readLoop() {
    m_readerId = std::this_thread::get_id();
    Frame frame;
    for (;;) {
        ReadResult r = readFrame(m_fd.get(), frame);
        if (r != ReadResult::Ok) {
            if (!m_closing) markLost(describe(r));
            break;
        }
        handleFrame(frame);
        if (m_lost) break;
    }
    markLost("reader ended");
}

void ConnectionState::handleFrame(Frame& frame) {
    std::string why;
    auto message = decodeFrame(frame, why);
    if (!message) {
        platform::log("platformd connection: malformed message from platformd (%s); closing", why);
        markLost(why);
        return;
    }
    switch (kindOf(*message)) {
    case MessageKind::Reply: {
        auto reply = parseReply(*message, frame, why);
        if (!reply) break;
        std::lock_guard lock(m_mutex);
        auto it = m_pending.find(reply->id);
        if (it == m_pending.end()) {
            platform::log("platformd connection: a reply to no request (%lld)",
                          static_cast<long long>(reply->id));
            return;
        }
        it->second = std::move(*reply);
        m_cv.notify_all();
        return;
    }
    case MessageKind::Event: {
        auto event = parseEvent(*message, frame, why);
        if (!event) break;
        EventHandler handler;
        {
            std::lock_guard lock(m_mutex);
            if (auto it = m_handlers.find(event->topic); it != m_handlers.end()) handler = it->second;
        }
        if (handler) handler(*event);
        return;
    }
    default:
        why = "neither a reply nor an event";
        break;
    }
    platform::log("platformd connection: malformed message from platformd (%s); closing", why);
    markLost(why);
}

void ConnectionState::markLost(const std::string& why) {
    std::vector<LostHandler> handlers;
    {
        std::lock_guard lock(m_mutex);
        if (m_losing) return;
        m_losing = true;
        handlers.swap(m_lostHandlers);
    }
    {
        std::lock_guard lock(m_writeMutex);
        if (m_fd) ::shutdown(m_fd.get(), SHUT_RDWR);
    }
    if (!m_closing && m_endsProcess) {
        // As an application ends with the window server: nothing it holds (ports, displays,
        // devices) may outlive the system that granted it, nor block the next session.
        platform::log("platformd connection lost (%s): ending", why);
        ::_exit(EXIT_FAILURE);
    }
    if (!m_closing && !m_endExpected) platform::log("platformd connection lost (%s)", why);
    // Before any waiting request learns of the loss, so its caller finds the handlers run.
    for (auto& h : handlers)
        if (h) h();
    {
        std::lock_guard lock(m_mutex);
        m_lost = true;
    }
    m_cv.notify_all();
}

} // namespace ipc
