// platformd's side of the window server's event system: its requests answered on the caller's
// own connection thread (so a post is applied and logged before that process's next request),
// its log entries in platformd's event log, the connected processes as its process table
// (serial number = connection id), and a process's taps gone with it.
#pragma once

#include "platform/daemon/EventLog.h"
#include "platform/daemon/KernelHost.h"
#include "platform/daemon/SystemService.h"
#include "platform/kernel/IOHIDSystem.h"
#include "platform/windowserver/EventSystem.h"
#include "platform/windowserver/WindowServerEventHost.h"

#include <map>
#include <memory>
#include <mutex>

namespace platformd {

class EventService : public SystemService, private kernel::HIDEventListener {
  public:
    EventService(ServiceHost& daemon, std::shared_ptr<KernelHost> host);
    ~EventService() override;

    void registerRequests(RequestTable&) override {}
    void registerConnectionRequests(RequestTable& table);
    void clientArrived(const Client& client) override;
    void clientGone(const Client& client) override;

    windowserver::EventSystem& events() { return *m_events; }

  private:
    // The kernel's HID system hands its posts over here.
    kernel::IOReturn hidPostEvent(const kernel::task& poster, uint32_t type, kernel::IOGPoint location,
                                  const void* data, size_t dataSize, uint32_t version, uint32_t flags,
                                  uint32_t options) override;
    kernel::IOReturn hidButtonEventNumber(uint32_t button, uint32_t* count) override;
    void serve(std::string_view op, RequestContext& ctx);
    windowserver::EventPoster posterOf(uint64_t clientId, pid_t pid) const;
    std::vector<windowserver::ProcessRecord> processTable() const;

    std::shared_ptr<KernelHost> m_host;
    windowserver::WindowServerEventHost m_eventHost;
    std::unique_ptr<windowserver::EventSystem> m_events;
    mutable std::mutex m_mutex;
    std::map<uint64_t, windowserver::ProcessRecord> m_processes; // by connection id
};

} // namespace platformd
