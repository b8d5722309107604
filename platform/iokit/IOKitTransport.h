// How the I/O Kit facade reaches a kernel: platformd's socket by default, or an in-process
// kernel a unit test installs (InProcessKernel). Both answer the requests of IOKitProtocol.h.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/kernel/IOReturn.h"

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
    // One scalar user-client call with checked arguments (asked outputs at most 16). The
    // answer's outputs go to output and their count to filled; kIOReturnIPCError when no
    // kernel answered or the answer is malformed. The default asks through request();
    // platformd's socket takes the lean road (IOKitFastCall.h) when it can.
    virtual kernel::IOReturn callScalarMethod(uint32_t connection, uint32_t selector, const uint64_t* input,
                                              uint32_t inputCount, uint32_t asked, uint64_t* output,
                                              uint32_t* filled);
};

// Null restores platformd's socket.
void IOKitSetTransport(std::shared_ptr<IOKitTransport> transport);
std::shared_ptr<IOKitTransport> IOKitCurrentTransport();

} // namespace iokit
