// The distributed notification centre: observers per process (name and object, either may
// match anything), posts handled one at a time in arrival order, each delivered to every
// process with a matching observer, the poster included, as one push naming the observers.
#pragma once

#include "platform/daemon/SystemService.h"

#include <optional>
#include <vector>

namespace platformd {

class DistributedNotificationService : public SystemService {
  public:
    // Option bits a post may carry; recorded, no other effect (one login, no suspension).
    static constexpr int64_t kDeliverImmediately = 1;
    static constexpr int64_t kPostToAllSessions = 2;
    // A name or object text longer than this is refused rather than fanned out.
    static constexpr size_t kMaxNameBytes = 1024;
    // No process needs more observers than this; past it a runaway caller is refused.
    static constexpr size_t kMaxObserversPerProcess = 4096;
    // The event log keeps 65,536 entries: a post larger than this keeps its userInfo out of
    // the log (its size noted instead), so the log cannot grow to gigabytes.
    static constexpr size_t kMaxLoggedPostBytes = 64 * 1024;

    explicit DistributedNotificationService(ServiceHost& host) : m_host(host) {}

    void registerRequests(RequestTable& table) override;
    void clientGone(const Client& client) override;

    size_t observerCount() const { return m_observers.size(); }
    size_t observerCount(uint64_t clientId) const;

  private:
    struct Observer {
        uint64_t clientId = 0;
        int64_t observerId = 0;
        std::optional<std::string> name;   // nullopt: any
        std::optional<std::string> object; // nullopt: any
    };
    void addObserver(RequestContext& ctx);
    void removeObserver(RequestContext& ctx);
    void post(RequestContext& ctx);

    ServiceHost& m_host;
    std::vector<Observer> m_observers; // registration order
};

} // namespace platformd
