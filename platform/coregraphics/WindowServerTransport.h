// How the Core Graphics facade reaches a window server: platformd's socket by default, or an
// in-process one a unit test installs (iokit::InProcessKernel). Both answer the requests of
// platform/windowserver/WindowServerProtocol.h and push the window server's events, which the
// facade forwards to the main run loop.
#pragma once

#include "platform/corefoundation/Value.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

namespace cg {

class WindowServerTransport {
  public:
    using PushHandler = std::function<void(const cf::Value& body)>;

    virtual ~WindowServerTransport() = default;
    // The result dictionary; nothing when no window server answered (kCGErrorInvalidConnection).
    virtual std::optional<cf::Value> request(std::string_view op, const cf::Value& args) = 0;
    // Pushes go to handler on a thread that runs no user code; null stops them.
    virtual void setPushHandler(PushHandler handler) = 0;
    // The display-mapping seed read from the window server's shared page, without a request;
    // nothing when this transport has no page, and the caller asks instead.
    virtual std::optional<uint32_t> publishedMappingSeed() { return std::nullopt; }
};

// Null restores platformd's socket. Registered callbacks stay registered in the process.
void CGSSetWindowServerTransport(std::shared_ptr<WindowServerTransport> transport);
std::shared_ptr<WindowServerTransport> CGSCurrentWindowServerTransport();

} // namespace cg
