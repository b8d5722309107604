// What a Connection's reader thread works on: the socket, the requests waiting for their
// replies, the event and loss handlers. The reader thread holds its own reference, so a
// Connection whose last owner lets go on the reader thread (from a handler) leaves the loop
// intact until it ends.
#pragma once

#include "platform/ipc/Message.h"
#include "platform/ipc/UniqueFd.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ipc {

class ConnectionState {
  public:
    using EventHandler = std::function<void(Event&)>;
    using LostHandler = std::function<void()>;

    explicit ConnectionState(UniqueFd fd) : m_fd(std::move(fd)) {}
    ConnectionState(const ConnectionState&) = delete;
    ConnectionState& operator=(const ConnectionState&) = delete;

    // The reader thread's body: hands replies and events out until the socket ends.
    void readLoop();
    Reply request(std::string_view op, const cf::Value& args, const std::vector<int>& fds);

    void setEventHandler(std::string_view topic, EventHandler handler);
    void removeEventHandler(std::string_view topic);
    void addLostHandler(LostHandler handler);

    bool isConnected() const { return !m_lost.load(); }
    bool isReaderThread() const { return std::this_thread::get_id() == m_readerId.load(); }
    // Marks the end as wanted and shuts the socket, so the reader's read returns.
    void beginClose();
    // platformd is about to end the connection on purpose (it is shutting down): its end is
    // handled as a loss but not logged as one.
    void expectEnd() { m_endExpected = true; }
    // From now on, an end this side did not ask for ends the process (after one log line).
    void endProcessWhenLost() { m_endsProcess = true; }
    void markLost(const std::string& why);

  private:
    void handleFrame(Frame& frame);
    bool sendMessage(const cf::Value& message, const std::vector<int>& fds);

    UniqueFd m_fd;
    std::atomic<std::thread::id> m_readerId{};
    std::atomic<bool> m_lost{false};
    bool m_losing = false; // under m_mutex: the loss is being handled
    std::atomic<bool> m_closing{false};
    std::atomic<bool> m_endExpected{false};
    std::atomic<bool> m_endsProcess{false};
    std::atomic<int64_t> m_nextId{1};

    std::mutex m_writeMutex;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::map<int64_t, std::optional<Reply>> m_pending;
    std::map<std::string, EventHandler, std::less<>> m_handlers;
    std::vector<LostHandler> m_lostHandlers;
};

} // namespace ipc
