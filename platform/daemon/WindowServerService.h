// platformd's window-server service: every Core Graphics and accessibility request of a
// process, answered on its own connection thread by the window-server thread (accessibility
// requests later, when the answering process replies), pushes to the process, and
// event-log entries for every display added or removed, so tests and scripts wait for
// displays by event. A process's window-server connection opens with its hello and closes
// with its connection, releasing what it held.
#pragma once

#include "platform/daemon/EventLog.h"
#include "platform/daemon/KernelHost.h"
#include "platform/daemon/SystemService.h"

#include <map>
#include <memory>
#include <mutex>

namespace platformd {

class Platformd;

class WindowServerService : public SystemService {
  public:
    WindowServerService(std::shared_ptr<KernelHost> host, ServiceHost& daemon)
        : m_host(std::move(host)), m_daemon(daemon) {}

    void registerRequests(RequestTable&) override {}
    void registerConnectionRequests(RequestTable& table);
    void clientArrived(const Client& client) override;
    void clientGone(const Client& client) override;

    // Records "display-added" and "display-removed" entries in the log.
    static windowserver::WindowServer::DisplayObserver displayRecorder(EventLog& events);
    // Passes fake applications and activations on to the daemon's registry of running
    // applications, on the service thread (in order with the requests that follow them).
    static windowserver::WindowServer::ApplicationObserver applicationForwarder(Platformd& daemon);

  private:
    void displays(RequestContext& ctx);
    // A display image travels as a sealed memfd beside the reply.
    void displayImage(RequestContext& ctx);
    // A display stream's pool of surfaces travels as memfds beside the reply; its frames are
    // pushed on their own topic.
    void streamCreate(RequestContext& ctx);
    // The memfd holding a display's composed pixels, to be mapped read-only.
    void framebuffer(RequestContext& ctx);
    void seed(RequestContext& ctx);
    // The seed's shared page, opened read-only, as one memfd beside the reply.
    void seedPage(RequestContext& ctx);
    void serve(std::string_view op, RequestContext& ctx);
    void serveWithDescriptors(std::string_view op, RequestContext& ctx);
    uint32_t cidOf(uint64_t clientId);

    std::shared_ptr<KernelHost> m_host;
    ServiceHost& m_daemon;
    std::mutex m_mutex;
    std::map<uint64_t, uint32_t> m_cids; // platformd client id → window-server connection id
};

} // namespace platformd
