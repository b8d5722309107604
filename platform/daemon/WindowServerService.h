// platformd's window-server service, display side: the displays request (answered on the
// caller's connection thread by the window-server thread) and event-log entries for every
// display added or removed, so tests and scripts wait for displays by event.
#pragma once

#include "platform/daemon/EventLog.h"
#include "platform/daemon/KernelHost.h"
#include "platform/daemon/SystemService.h"

#include <memory>

namespace platformd {

class WindowServerService : public SystemService {
  public:
    explicit WindowServerService(std::shared_ptr<KernelHost> host) : m_host(std::move(host)) {}

    void registerRequests(RequestTable&) override {}
    void registerConnectionRequests(RequestTable& table);

    // Records "display-added" and "display-removed" entries in the log.
    static windowserver::WindowServer::DisplayObserver displayRecorder(EventLog& events);

  private:
    void displays(RequestContext& ctx);

    std::shared_ptr<KernelHost> m_host;
};

} // namespace platformd
