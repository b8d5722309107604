// A process's connection to platformd: requests from any thread, matched to their replies by
// id, and pushed events handed to per-topic handlers on the one reader thread. Handlers only
// forward (to the main run loop or a queue); a synchronous request from the reader thread
// would wait for itself, so it aborts.
#pragma once

#include "platform/corefoundation/Error.h"
#include "platform/corefoundation/Value.h"
#include "platform/ipc/ConnectionState.h"
#include "platform/ipc/Message.h"
#include "platform/ipc/UniqueFd.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace ipc {

// What the hello tells platformd about this process (pid and uid come from the socket).
struct HelloInfo {
    std::string executable;
    std::string processName;
    std::string bundleIdentifier; // empty outside an application bundle
    std::string bundlePath;
    std::string user;

    // This process: /proc/self/exe, the logging name, the enclosing X.app when the executable
    // sits in X.app/Contents/MacOS, and $PLATFORM_USER or the real user.
    static HelloInfo forThisProcess();
    cf::Value toValue() const;
};

class Connection {
  public:
    using EventHandler = ConnectionState::EventHandler;
    using LostHandler = ConnectionState::LostHandler;

    // Connects to the socket and completes the hello; null with an Error (PlatformErrorDomain 1)
    // when platformd is not there or refuses.
    static std::shared_ptr<Connection> open(const std::string& socketPath, const HelloInfo& hello,
                                            platform::Error* error = nullptr);
    // The process's one connection to the platformd of $PLATFORM_ROOT, opened on first need.
    // While platformd has never been reached each call tries again; once a connection was lost
    // it stays lost (no reconnection) and this answers null. An application (a program in an
    // X.app bundle) whose connection to a platformd in another process drops ends, with one
    // log line, as a Mac application ends with the window server; tools and tests run on.
    static std::shared_ptr<Connection> shared(platform::Error* error = nullptr);
    // Tests that boot several platformds in one process start over with the next root.
    static void resetShared();

    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Sends one request and waits for its reply. A lost or closed connection answers a reply
    // with ok false and PlatformErrorDomain 2.
    Reply request(std::string_view op, const cf::Value& args = cf::Value::emptyDictionary(),
                  const std::vector<int>& fds = {});

    // One handler per topic; it runs on the reader thread and must only forward.
    void setEventHandler(std::string_view topic, EventHandler handler);
    void removeEventHandler(std::string_view topic);
    void addLostHandler(LostHandler handler);

    bool isConnected() const { return m_state->isConnected(); }
    // The next end of the connection is platformd's doing on request (a shutdown): not logged.
    void expectEnd() { m_state->expectEnd(); }
    bool isReaderThread() const { return m_state->isReaderThread(); }
    int64_t platformdPid() const { return m_platformdPid; }
    // Ends the connection; pending and later requests fail with PlatformErrorDomain 2. Safe
    // from any thread and any number of times: the first caller off the reader thread waits
    // for the reader to end, later ones wait for that; the reader thread itself never waits
    // for itself.
    void close();

  private:
    explicit Connection(UniqueFd fd);
    void start();

    // Shared with the reader thread, which keeps it alive for as long as it runs.
    std::shared_ptr<ConnectionState> m_state;
    std::mutex m_joinMutex; // one closer joins the reader; the others wait for it
    std::thread m_reader;
    int64_t m_platformdPid = 0;
};

// One request on the process's shared connection: the result dictionary (empty when the reply
// has none), or nothing when platformd is unreachable or refused it.
std::optional<cf::Value> requestShared(std::string_view op, const cf::Value& args);

platform::Error connectionLostError();
platform::Error unreachableError(const std::string& why);

} // namespace ipc
