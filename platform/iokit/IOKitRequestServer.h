// The kernel's end of the I/O Kit facade: turns one request of IOKitProtocol.h into calls on
// the calling process's UserTask and its answer into a result dictionary. platformd serves
// socket requests with it, InProcessKernel the requests of a unit test's own process.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/kernel/UserTask.h"

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
};

} // namespace iokit
