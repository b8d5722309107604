// How the I/O Kit facade reaches a kernel: platformd's socket by default, or an in-process
// kernel a unit test installs (InProcessKernel). Both answer the requests of IOKitProtocol.h.
#pragma once

#include "platform/corefoundation/Value.h"

#include <memory>
#include <optional>
#include <string_view>

namespace iokit {

class IOKitTransport {
  public:
    virtual ~IOKitTransport() = default;
    // The request's result dictionary; nothing when no kernel answered (the facade then
    // answers kIOReturnIPCError).
    virtual std::optional<cf::Value> request(std::string_view op, const cf::Value& args) = 0;
};

// Null restores platformd's socket.
void IOKitSetTransport(std::shared_ptr<IOKitTransport> transport);
std::shared_ptr<IOKitTransport> IOKitCurrentTransport();

} // namespace iokit
