// How the window server's facades (events, pasteboard, taps, processes, input sources) reach
// it: platformd's socket by default, or an event system a unit test runs in its own process.
// Both answer the requests of platform/windowserver/EventProtocol.h.
#pragma once

#include "platform/corefoundation/Value.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace cg {

class WindowServerTransport {
  public:
    virtual ~WindowServerTransport() = default;
    // The request's result dictionary; nothing when the window server refused it or could
    // not be reached.
    virtual std::optional<cf::Value> request(std::string_view op, const cf::Value& args) = 0;
};

// Null restores platformd's socket.
void CGSSetTransport(std::shared_ptr<WindowServerTransport> transport);
std::shared_ptr<WindowServerTransport> CGSCurrentTransport();
std::optional<cf::Value> CGSRequest(std::string_view op, cf::Dictionary args = {});

// Readers of a reply's values with their kinds and ranges checked.
std::optional<int64_t> CGSReplyInteger(const std::optional<cf::Value>& reply, std::string_view key,
                                       int64_t min = INT64_MIN, int64_t max = INT64_MAX);
std::optional<double> CGSReplyReal(const std::optional<cf::Value>& reply, std::string_view key);

} // namespace cg
