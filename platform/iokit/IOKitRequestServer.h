// The kernel's end of the I/O Kit facade: turns one request of IOKitProtocol.h into calls on
// the calling process's UserTask and its answer into a result dictionary. platformd serves
// socket requests with it, InProcessKernel the requests of a unit test's own process.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/iokit/IOKitFastCall.h"
#include "platform/kernel/UserTask.h"

#include <functional>

#include <optional>
#include <string>
#include <string_view>

namespace iokit {

class IOKitRequestServer {
  public:
    static bool handles(std::string_view op);
    // The result dictionary; nothing, with why, for an unknown op or malformed arguments
    // (every argument is checked for kind and range before use).
    static std::optional<cf::Value> serve(kernel::UserTask& task, std::string_view op, const cf::Value& args,
                                          std::string& why);

    // The lean road: answers the binary scalar calls arriving on fd, one at a time on the
    // calling thread, until the other end closes (or fd is shut down). call runs one on the
    // caller's task and answers false when there is none (the answer is then
    // kIOReturnNotAttached). A malformed message is logged and answered kIOReturnBadArgument.
    using FastCall = std::function<bool(const fastcall::ScalarCall& call, fastcall::ScalarResult& result)>;
    static void serveFastCalls(int fd, const FastCall& call);
    // One scalar call on task.
    static void callScalarMethod(kernel::UserTask& task, const fastcall::ScalarCall& call,
                                 fastcall::ScalarResult& result);
};

} // namespace iokit
