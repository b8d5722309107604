// platformd: the stand-in Mac's daemon. Boots a root, listens on its socket, reads each
// connection on a thread of its own and runs the system services on one service thread.
// A dropped connection is a dead process: every service and hook releases what it held.
#pragma once

#include "platform/corefoundation/Error.h"
#include "platform/corefoundation/Profile.h"
#include "platform/daemon/ChildReaper.h"
#include "platform/daemon/ClientConnection.h"
#include "platform/daemon/EventLog.h"
#include "platform/daemon/KextService.h"
#include "platform/daemon/ServiceLoop.h"
#include "platform/daemon/SystemService.h"
#include "platform/ipc/UniqueFd.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace platformd {

class ApplicationService;

struct PlatformdOptions {
    std::string root;
    // The kext manager's list (none when null); the platformd program sets the hosted kernel's.
    std::shared_ptr<KextListProvider> kexts;
};

class Platformd : public ServiceHost, private ClientConnection::Delegate {
  public:
    // Launched applications get this long after SIGTERM before SIGKILL.
    static constexpr double kTerminateGraceSeconds = 2.0;
    // Each connection costs two threads; a flood past this is turned away at the door.
    static constexpr size_t kMaxConnections = 512;

    explicit Platformd(PlatformdOptions options);
    ~Platformd() override;
    Platformd(const Platformd&) = delete;
    Platformd& operator=(const Platformd&) = delete;

    // Prepares the root, refuses a socket path of 108 bytes or more and a root another
    // platformd serves, then listens and starts serving. Records "platformd-ready".
    bool boot(platform::Error* error = nullptr);
    // Stops accepting, terminates launched programs, drops every connection, stops the threads.
    void shutdown();

    // Thread-safe; readable through shutdownRequestFd (an eventfd) as well.
    void requestShutdown() override;
    int shutdownRequestFd() const { return m_shutdownEvent.get(); }

    // Extension points for hosted subsystems (kernel, window server, Bonjour): register before boot.
    void addService(std::unique_ptr<SystemService> service);
    void addClientGoneHook(std::function<void(const Client&)> hook);
    void setKextListProvider(std::shared_ptr<KextListProvider> provider);
    // Requests answered on the caller's own connection thread, in its order, never queued
    // behind other processes' work (the kernel's and the window server's). Their handlers may
    // read only the client's id and pid: the hello fills in the rest on the service thread.
    RequestTable& connectionThreadRequests() { return m_connectionTable; }

    const std::string& socketPath() const { return m_socketPath; }
    // The registry of running applications; null before boot. On the service thread.
    ApplicationService* applications() const { return m_applications; }

    // ServiceHost.
    ServiceLoop& loop() override { return m_loop; }
    EventLog& events() override { return m_events; }
    ChildReaper& reaper() override { return *m_reaper; }
    const std::string& root() const override { return m_root; }
    const platform::Profile& profile() const override { return m_profile; }
    bool push(uint64_t clientId, std::string_view topic, const cf::Value& body) override;
    std::vector<const Client*> clients() const override;

  private:
    void requestReceived(const std::shared_ptr<ClientConnection>& connection, ipc::Request request) override;
    void connectionEnded(const std::shared_ptr<ClientConnection>& connection) override;

    bool prepare(platform::Error* error);
    bool listen(platform::Error* error);
    void acceptLoop();
    void dispatch(const std::shared_ptr<ClientConnection>& connection, ipc::Request& request);
    void serveOnConnectionThread(const std::shared_ptr<ClientConnection>& connection, ipc::Request& request,
                                 const RequestHandler& handler);
    void greet(ClientConnection& connection, RequestContext& ctx);
    void status(RequestContext& ctx);
    void clientGone(const std::shared_ptr<ClientConnection>& connection);
    void registerOwnRequests();
    // Ends every connection (after its queued messages when flush); answers whether all left
    // by the deadline.
    bool endConnections(bool flush, platform::TimePoint deadline);

    std::string m_root;
    std::string m_socketPath;
    platform::Profile m_profile;
    EventLog m_events;
    ServiceLoop m_loop;
    std::unique_ptr<ChildReaper> m_reaper;
    RequestTable m_table;
    RequestTable m_connectionTable;
    std::vector<std::unique_ptr<SystemService>> m_services;
    ApplicationService* m_applications = nullptr; // one of m_services
    std::vector<std::function<void(const Client&)>> m_goneHooks;
    KextService* m_kextService = nullptr;

    ipc::UniqueFd m_listenFd;
    ipc::UniqueFd m_stopAccepting;
    ipc::UniqueFd m_shutdownEvent;
    std::thread m_acceptThread;
    bool m_booted = false;
    bool m_shutDown = false;

    mutable std::mutex m_connectionsMutex;
    std::condition_variable m_connectionsCv;
    std::map<uint64_t, std::shared_ptr<ClientConnection>> m_connections;
    uint64_t m_nextClientId = 1;
};

// The platformd program: `platformd --root DIR` (or $PLATFORM_ROOT) in the foreground until
// SIGTERM, SIGINT or a shutdown request. Answers the exit status.
int platformdMain(const std::vector<std::string>& args);

} // namespace platformd
