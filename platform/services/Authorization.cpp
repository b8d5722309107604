#include "platform/services/Authorization.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/Paths.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"

#include <fcntl.h>
#include <unistd.h>

namespace security {

struct AuthorizationOpaqueRef {};

namespace {

// Arguments past this many are a runaway array without its terminating null.
constexpr size_t kMaxToolArguments = 256;

FILE* endOfFilePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return nullptr;
    ::close(fds[1]);
    FILE* f = ::fdopen(fds[0], "r");
    if (!f) ::close(fds[0]);
    return f;
}

} // namespace

OSStatus AuthorizationCreate(const AuthorizationRights* rights, const void*, AuthorizationFlags,
                             AuthorizationRef* authorization) {
    cf::Array names;
    for (uint32_t i = 0; rights && rights->items && i < rights->count && i < kMaxToolArguments; ++i)
        if (rights->items[i].name) names.push_back(std::string(rights->items[i].name));
    platform::Error error;
    auto c = ipc::Connection::shared(&error);
    if (!c) {
        platform::log("AuthorizationCreate: %@", error);
        return errAuthorizationInternal;
    }
    ipc::Reply reply = c->request(ipc::op::authorize, cf::Dictionary{{"rights", names}});
    const cf::Value* status = reply.ok && reply.result ? reply.result->find("status") : nullptr;
    if (!status || !status->isNumber()) return errAuthorizationInternal;
    auto answer = static_cast<OSStatus>(status->integerValue());
    if (answer == errAuthorizationSuccess && authorization)
        *authorization = std::make_shared<AuthorizationOpaqueRef>();
    return answer;
}

OSStatus AuthorizationFree(const AuthorizationRef& authorization, AuthorizationFlags) {
    return authorization ? errAuthorizationSuccess : errAuthorizationInvalidRef;
}

OSStatus AuthorizationExecuteWithPrivileges(const AuthorizationRef& authorization, const char* pathToTool,
                                            AuthorizationFlags, const char* const* arguments,
                                            FILE** communicationsPipe) {
    if (communicationsPipe) *communicationsPipe = nullptr;
    if (!authorization) return errAuthorizationInvalidRef;
    if (!pathToTool) return errAuthorizationToolExecuteFailure;
    cf::Array args;
    for (size_t i = 0; arguments && arguments[i]; ++i) {
        if (i >= kMaxToolArguments) return errAuthorizationToolExecuteFailure;
        args.push_back(std::string(arguments[i]));
    }
    auto c = ipc::Connection::shared();
    if (!c) return errAuthorizationInternal;
    ipc::Reply reply =
        c->request(ipc::op::executeWithPrivileges,
                   cf::Dictionary{{"path", platform::macPath(pathToTool)}, {"arguments", args}});
    const cf::Value* status = reply.ok && reply.result ? reply.result->find("status") : nullptr;
    if (!status || !status->isNumber()) return errAuthorizationInternal;
    auto answer = static_cast<OSStatus>(status->integerValue());
    if (answer == errAuthorizationSuccess && communicationsPipe) *communicationsPipe = endOfFilePipe();
    return answer;
}

} // namespace security
