// platformd's end of one process's connection: a reader thread that turns frames into
// requests (anything malformed ends the connection, logged) and a writer thread that drains
// an outbound queue, so no service ever blocks on a client that does not read.
#pragma once

#include "platform/daemon/Client.h"
#include "platform/ipc/Message.h"
#include "platform/ipc/UniqueFd.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace platformd {

class ClientConnection : public std::enable_shared_from_this<ClientConnection> {
  public:
    class Delegate {
      public:
        virtual ~Delegate() = default;
        // On the reader thread, in arrival order; the first one is always a hello.
        virtual void requestReceived(const std::shared_ptr<ClientConnection>& connection,
                                     ipc::Request request) = 0;
        // On the reader thread, once, after the last request.
        virtual void connectionEnded(const std::shared_ptr<ClientConnection>& connection) = 0;
    };

    // A client that stops reading may hold this much unsent before it is dropped.
    static constexpr size_t kMaxOutboundBytes = 64 * 1024 * 1024;
    // Requests read but not yet handled; past this the reader waits, so a client that sends
    // faster than platformd serves is slowed by its own socket instead of growing a queue.
    static constexpr size_t kMaxQueuedRequests = 256;

    ClientConnection(ipc::UniqueFd fd, uint64_t id, Delegate& delegate);
    ~ClientConnection();
    ClientConnection(const ClientConnection&) = delete;
    ClientConnection& operator=(const ClientConnection&) = delete;

    void start();
    // One frame read from the socket: a request handed to the delegate, or the end of the
    // connection when it is malformed (false then). The reader thread calls it for each frame;
    // a connection never started may be fed this way directly, its replies then only queued.
    bool handleFrame(ipc::Frame& frame);
    // Queues one message; false once the connection is ending.
    bool send(const cf::Value& message, std::vector<ipc::UniqueFd> fds = {});
    // Shuts the socket down both ways (after sending what is queued when flush); the threads
    // leave soon after. Logged with why unless empty.
    void end(const std::string& why, bool flush = false);
    // Waits for both threads (never from one of them).
    void join();

    // Whether it was ended for holding more than kMaxOutboundBytes unsent.
    bool overflowed() const;

    // The service thread calls this once per request it has handled.
    void requestHandled();

    uint64_t id() const { return m_client.id; }
    // Written only on the service thread (by the hello), read there by the services.
    Client& client() { return m_client; }
    const Client& client() const { return m_client; }
    std::string label() const; // "pid 123 (name)" for log lines, from any thread
    void setLabelName(const std::string& name);

  private:
    struct Outgoing {
        std::vector<uint8_t> bytes;
        std::vector<ipc::UniqueFd> fds;
    };
    void readLoop();
    void writeLoop();

    ipc::UniqueFd m_fd;
    Delegate& m_delegate;
    Client m_client;
    bool m_sawHello = false;
    std::string m_labelName; // under m_mutex: the reader and writer log while the hello is read

    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Outgoing> m_outbound;
    size_t m_outboundBytes = 0;
    bool m_ending = false;
    bool m_flushing = false;
    bool m_overflowed = false;
    size_t m_queuedRequests = 0;
    std::thread m_reader;
    std::thread m_writer;
};

} // namespace platformd
