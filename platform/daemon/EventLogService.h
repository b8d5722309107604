// The event log's requests: list entries after a sequence, wait for a matching entry (a
// deferred reply, ended by the entry or the timeout), and record an entry for a tool.
#pragma once

#include "platform/daemon/EventLog.h"
#include "platform/daemon/SystemService.h"

#include <list>

namespace platformd {

class EventLogService : public SystemService {
  public:
    // One reply stays far below the message limit; callers page with "next".
    static constexpr size_t kMaxEntriesPerReply = 2048;
    // A wait longer than an hour is a mistake in a test script, not a wish.
    static constexpr double kMaxWaitSeconds = 3600;
    // Concurrent waits one process may hold; each holds a timer.
    static constexpr size_t kMaxWaitsPerProcess = 64;

    explicit EventLogService(ServiceHost& host);
    ~EventLogService() override;

    void registerRequests(RequestTable& table) override;
    void clientGone(const Client& client) override;
    void shutdown() override;

  private:
    struct Wait {
        uint64_t clientId = 0;
        std::string kind;
        cf::Dictionary match;
        uint64_t after = 0;
        uint64_t timerId = 0;
        Responder responder;
    };
    void list(RequestContext& ctx);
    void wait(RequestContext& ctx);
    void record(RequestContext& ctx);
    void entryRecorded(const EventEntry& entry);
    void timeOut(std::list<Wait>::iterator it);

    ServiceHost& m_host;
    std::list<Wait> m_waits;
};

} // namespace platformd
