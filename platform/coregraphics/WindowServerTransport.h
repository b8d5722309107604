// How the Core Graphics facade reaches a window server: platformd's socket by default, or an
// in-process one a unit test installs (iokit::InProcessKernel). Both answer the requests of
// platform/windowserver/WindowServerProtocol.h and push the window server's events, which the
// facade forwards to the main run loop.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/ipc/UniqueFd.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace cg {

class WindowServerTransport {
  public:
    using PushHandler = std::function<void(const cf::Value& body)>;

    virtual ~WindowServerTransport() = default;
    // The result dictionary; nothing when no window server answered (kCGErrorInvalidConnection).
    virtual std::optional<cf::Value> request(std::string_view op, const cf::Value& args) = 0;
    // The same for a request answered with descriptors beside its dictionary (a window's
    // backing store, a window image); a transport that passes none leaves fds empty.
    virtual std::optional<cf::Value> requestWithDescriptors(std::string_view op, const cf::Value& args,
                                                            std::vector<ipc::UniqueFd>* fds) {
        if (fds) fds->clear();
        return request(op, args);
    }
    // Pushes go to handler on a thread that runs no user code; null stops them.
    virtual void setPushHandler(PushHandler handler) = 0;
    // The display-mapping seed read from the window server's shared page, without a request;
    // nothing when this transport has no page, and the caller asks instead.
    virtual std::optional<uint32_t> publishedMappingSeed() { return std::nullopt; }
    // The cursor-state seed off the same page; nothing without a page (or one without it).
    virtual std::optional<uint64_t> publishedCursorSeed() { return std::nullopt; }
};

// Null restores platformd's socket. Registered callbacks stay registered in the process.
void CGSSetWindowServerTransport(std::shared_ptr<WindowServerTransport> transport);
std::shared_ptr<WindowServerTransport> CGSCurrentWindowServerTransport();

} // namespace cg
