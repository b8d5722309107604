// What a platformd service is given (ServiceHost) and what it offers (SystemService). All of
// a service's requests and client events arrive on the one service thread, so services keep
// their state without locks.
#pragma once

#include "platform/daemon/Client.h"
#include "platform/daemon/RequestContext.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {
struct Profile;
}

namespace platformd {

class ChildReaper;
class EventLog;
class ServiceLoop;
struct Poster;

class ServiceHost {
  public:
    virtual ~ServiceHost() = default;
    virtual ServiceLoop& loop() = 0;
    virtual EventLog& events() = 0;
    virtual ChildReaper& reaper() = 0;
    virtual const std::string& root() const = 0;
    virtual const platform::Profile& profile() const = 0;
    // Pushes an event to one connected client; false when it is gone.
    virtual bool push(uint64_t clientId, std::string_view topic, const cf::Value& body) = 0;
    // The greeted clients, in connection order.
    virtual std::vector<const Client*> clients() const = 0;
    virtual void requestShutdown() = 0;
};

Poster posterOf(const Client& client);

class RequestTable {
  public:
    void add(std::string_view op, RequestHandler handler);
    const RequestHandler* find(std::string_view op) const;

  private:
    std::vector<std::pair<std::string, RequestHandler>> m_handlers;
};

class SystemService {
  public:
    virtual ~SystemService() = default;
    virtual void registerRequests(RequestTable& table) = 0;
    // A greeted client connected (its hello is in).
    virtual void clientArrived(const Client&) {}
    // A dropped connection is a dead process: release everything it held.
    virtual void clientGone(const Client&) {}
    // platformd is stopping; on the service thread.
    virtual void shutdown() {}
};

} // namespace platformd
