// Requests of the window server's event side (platform/windowserver/EventProtocol.h) for the
// facades that post events, read the pasteboard, the taps, the processes and the input
// sources, over the process's one window-server transport (WindowServerTransport.h).
#pragma once

#include "platform/corefoundation/Value.h"

#include <cstdint>
#include <optional>
#include <string_view>

namespace cg {

// The request's result dictionary; nothing when the window server refused it or could not be
// reached.
std::optional<cf::Value> CGSRequest(std::string_view op, cf::Dictionary args = {});

// Readers of a reply's values with their kinds and ranges checked.
std::optional<int64_t> CGSReplyInteger(const std::optional<cf::Value>& reply, std::string_view key,
                                       int64_t min = INT64_MIN, int64_t max = INT64_MAX);
std::optional<double> CGSReplyReal(const std::optional<cf::Value>& reply, std::string_view key);

} // namespace cg
