// The updaters of running programs: each registers with platformd (and goes with its
// connection); a check is recorded in the event log; platformctl's answers ("found",
// "uptodate", "install") reach every registered updater, which calls its delegate.
#pragma once

#include "platform/daemon/SystemService.h"

#include <vector>

namespace platformd {

class UpdaterService : public SystemService {
  public:
    // No program has more; past it a runaway caller is refused.
    static constexpr size_t kMaxUpdatersPerClient = 64;

    explicit UpdaterService(ServiceHost& host) : m_host(host) {}

    void registerRequests(RequestTable& table) override;
    void clientGone(const Client& client) override;

  private:
    struct Updater {
        uint64_t clientId = 0;
        int64_t id = 0;
        std::string bundlePath;
    };
    void registerUpdater(RequestContext& ctx);
    void check(RequestContext& ctx);
    void answer(RequestContext& ctx);

    ServiceHost& m_host;
    std::vector<Updater> m_updaters;
};

} // namespace platformd
