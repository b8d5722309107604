// The stand-in for authorization: an answer per boot (the profile's, changed by a test
// switch), and running a tool "with privileges" as a detached, reaped child (no privilege
// change). Every request is recorded.
#pragma once

#include "platform/daemon/ChildReaper.h"
#include "platform/daemon/SystemService.h"

namespace platformd {

class AuthorizationService : public SystemService {
  public:
    // OSStatus values the callers compare with.
    static constexpr int64_t errAuthorizationSuccess = 0;
    static constexpr int64_t errAuthorizationDenied = -60005;
    static constexpr int64_t errAuthorizationCanceled = -60006;
    static constexpr int64_t errAuthorizationToolExecuteFailure = -60031;
    // A tool's command line is a handful of words; more is a runaway caller.
    static constexpr size_t kMaxArguments = 256;

    explicit AuthorizationService(ServiceHost& host);
    void registerRequests(RequestTable& table) override;

    static bool isAnswer(const std::string& answer);
    static int64_t statusFor(const std::string& answer);
    const std::string& answer() const { return m_answer; }

  private:
    void authorize(RequestContext& ctx);
    void setAnswer(RequestContext& ctx);
    void execute(RequestContext& ctx);
    void toolExited(pid_t pid, const std::string& path, ExitStatus status);

    ServiceHost& m_host;
    std::string m_answer;
};

} // namespace platformd
