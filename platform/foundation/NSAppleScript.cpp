#include "platform/foundation/NSAppleScript.h"

#include "platform/core/Log.h"
#include "platform/ipc/Connection.h"
#include "platform/ipc/Protocol.h"

namespace ns {

bool NSAppleScript::executeAndReturnError(cf::Dictionary* errorInfo) {
    if (errorInfo) errorInfo->clear();
    platform::Error error;
    auto c = ipc::Connection::shared(&error);
    ipc::Reply reply = c ? c->request(ipc::op::recordEvent,
                                      cf::Dictionary{{"kind", std::string(ipc::eventKind::appleScript)},
                                                     {"fields", cf::Dictionary{{"source", m_source}}}})
                         : ipc::Reply{};
    if (!c || !reply.ok)
        platform::log("NSAppleScript: the script was not recorded: %@", c ? reply.error : error);
    return true;
}

} // namespace ns
