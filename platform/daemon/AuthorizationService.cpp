#include "platform/daemon/AuthorizationService.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/Profile.h"
#include "platform/daemon/EventLog.h"
#include "platform/daemon/ServiceLoop.h"
#include "platform/daemon/Spawner.h"
#include "platform/ipc/Protocol.h"

#include <climits>
#include <sys/stat.h>
#include <unistd.h>

namespace platformd {

AuthorizationService::AuthorizationService(ServiceHost& host) : m_host(host) {
    m_answer = host.profile().authorization;
    if (!isAnswer(m_answer)) {
        platform::log("platformd: unknown Authorization answer \"%s\" in the profile; allowing", m_answer);
        m_answer = "allow";
    }
}

bool AuthorizationService::isAnswer(const std::string& answer) {
    return answer == "allow" || answer == "deny" || answer == "cancel";
}

int64_t AuthorizationService::statusFor(const std::string& answer) {
    if (answer == "deny") return errAuthorizationDenied;
    if (answer == "cancel") return errAuthorizationCanceled;
    return errAuthorizationSuccess;
}

void AuthorizationService::registerRequests(RequestTable& table) {
    table.add(ipc::op::authorize, [this](RequestContext& ctx) { authorize(ctx); });
    table.add(ipc::op::setAuthorization, [this](RequestContext& ctx) { setAnswer(ctx); });
    table.add(ipc::op::executeWithPrivileges, [this](RequestContext& ctx) { execute(ctx); });
}

void AuthorizationService::authorize(RequestContext& ctx) {
    bool ok = true;
    const cf::Value* asked = ctx.optionalOfKind("rights", cf::Value::Kind::Array, ok);
    if (!ok) return;
    cf::Array rights;
    for (size_t i = 0; asked && i < asked->count(); ++i) {
        const std::string* name = asked->at(i)->asString();
        if (!name || name->size() > 256 || i >= kMaxArguments)
            return ctx.refuse("rights must be at most 256 names");
        rights.push_back(*name);
    }
    int64_t status = statusFor(m_answer);
    m_host.events().record(std::string(ipc::eventKind::authorization), "AuthorizationCreate",
                           posterOf(ctx.client()),
                           {{"answer", m_answer}, {"status", status}, {"rights", std::move(rights)}});
    ctx.reply(cf::Dictionary{{"status", status}});
}

void AuthorizationService::setAnswer(RequestContext& ctx) {
    const std::string* answer = ctx.requiredString("answer", 16);
    if (!answer) return;
    if (!isAnswer(*answer)) return ctx.refuse("the answer is allow, deny or cancel");
    m_answer = *answer;
    ctx.reply();
}

void AuthorizationService::execute(RequestContext& ctx) {
    const std::string* path = ctx.requiredString("path", PATH_MAX);
    if (!path) return;
    bool ok = true;
    const cf::Value* args = ctx.optionalOfKind("arguments", cf::Value::Kind::Array, ok);
    if (!ok) return;
    std::vector<std::string> argv{*path};
    cf::Array recorded;
    for (size_t i = 0; args && i < args->count(); ++i) {
        const std::string* word = args->at(i)->asString();
        if (!word || word->size() > 4096 || i >= kMaxArguments)
            return ctx.refuse("tool arguments must be at most 256 strings");
        argv.push_back(*word);
        recorded.push_back(*word);
    }
    struct stat st {};
    bool runnable = !path->empty() && (*path)[0] == '/' && ::stat(path->c_str(), &st) == 0 &&
                    S_ISREG(st.st_mode) && ::access(path->c_str(), X_OK) == 0;
    pid_t pid = -1;
    if (runnable) {
        std::string name = path->substr(path->rfind('/') + 1);
        pid = spawnDetached(SpawnRequest{*path, argv, m_host.root() + "/var/log/" + name + ".log"});
    }
    int64_t status = pid > 0 ? errAuthorizationSuccess : errAuthorizationToolExecuteFailure;
    m_host.events().record(std::string(ipc::eventKind::toolRun), "AuthorizationExecuteWithPrivileges",
                           posterOf(ctx.client()),
                           {{"path", *path},
                            {"arguments", recorded},
                            {"status", status},
                            {"pid", static_cast<int64_t>(pid > 0 ? pid : 0)}});
    if (pid > 0) {
        std::string tool = *path;
        m_host.reaper().watch(pid, [this, tool](pid_t child, ExitStatus exit) {
            m_host.loop().post([this, child, tool, exit] { toolExited(child, tool, exit); });
        });
    }
    ctx.reply(cf::Dictionary{{"status", status}});
}

void AuthorizationService::toolExited(pid_t pid, const std::string& path, ExitStatus status) {
    m_host.events().record(std::string(ipc::eventKind::toolExit), "", Poster{},
                           {{"pid", static_cast<int64_t>(pid)},
                            {"path", path},
                            {"status", static_cast<int64_t>(status.code)},
                            {"signal", static_cast<int64_t>(status.signal)}});
}

} // namespace platformd
