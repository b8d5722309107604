// The Bonjour registry: services published by processes (gone with their connection) or by
// platformctl (kept until removed), browses that see finds and removals in batches, resolves
// with a per-service delay or injected failure, and TXT-record monitoring. Domain "local."
// only; no multicast DNS: host names are numeric addresses.
#pragma once

#include "platform/daemon/SystemService.h"

#include <map>
#include <optional>
#include <vector>

namespace platformd {

class BonjourService : public SystemService {
  public:
    // NSNetServices error codes.
    static constexpr int64_t kUnknownError = -72000;
    static constexpr int64_t kCollisionError = -72001;
    static constexpr int64_t kBadArgumentError = -72004;
    static constexpr int64_t kTimeoutError = -72007;
    // DNS labels: a name or type longer than this cannot be registered.
    static constexpr size_t kMaxLabelBytes = 63;
    // Past this many, a runaway publisher, browser or resolver is refused.
    static constexpr size_t kMaxPerClient = 4096;

    explicit BonjourService(ServiceHost& host) : m_host(host) {}

    void registerRequests(RequestTable& table) override;
    void clientGone(const Client& client) override;

    size_t registrationCount() const { return m_services.size(); }

  private:
    struct Registration {
        uint64_t owner = 0; // client id; 0: platformd (platformctl's)
        std::string name;
        std::string type;
        int64_t port = 0;
        std::string host;
        cf::Bytes txt;
        double resolveDelay = 0;
        int64_t failCode = kUnknownError;
        int64_t failCount = 0;
    };
    struct Browse {
        uint64_t clientId = 0;
        int64_t id = 0;
        std::string type;
    };
    struct Resolve {
        uint64_t clientId = 0;
        int64_t id = 0;
        std::string name;
        std::string type;
        uint64_t timer = 0;
    };
    struct Monitor {
        uint64_t clientId = 0;
        int64_t id = 0;
        std::string name;
        std::string type;
    };

    void publish(RequestContext& ctx);
    void unpublish(RequestContext& ctx);
    void setTXT(RequestContext& ctx);
    void list(RequestContext& ctx);
    void browse(RequestContext& ctx);
    void stopBrowse(RequestContext& ctx);
    void resolve(RequestContext& ctx);
    void stopResolve(RequestContext& ctx);
    void monitor(RequestContext& ctx);
    void resolveDelay(RequestContext& ctx);
    void failResolve(RequestContext& ctx);

    // A service of the request, checked; nullopt after refusing the request.
    std::optional<Registration> registrationOf(RequestContext& ctx, const cf::Value& entry);
    Registration* find(const std::string& name, const std::optional<std::string>& type);
    // Removes services in one batch per browse; reason goes to the event log.
    void remove(const std::vector<Registration>& gone, const std::string& reason, const Poster& poster);
    void announce(const std::vector<Registration>& batch, bool removed);
    void finishResolve(uint64_t clientId, int64_t id, std::optional<int64_t> failure);
    void cancelResolve(uint64_t clientId, int64_t id);

    ServiceHost& m_host;
    std::vector<Registration> m_services; // registration order
    std::vector<Browse> m_browses;
    std::map<std::pair<uint64_t, int64_t>, Resolve> m_resolves;
    std::vector<Monitor> m_monitors;
};

} // namespace platformd
