// Every request the window server answers over platformd's socket, and the event-log kinds
// it records, in one place. (The Core Graphics facade's requests join this table.)
#pragma once

#include "platform/ipc/Protocol.h"

#include <string_view>

namespace windowserver {

namespace op {
// The online displays, main first: {displays [DisplayInfo dictionaries]}.
constexpr std::string_view displays = "windowserver.displays";
} // namespace op

inline constexpr ipc::OpSpec kWindowServerOps[] = {
    {op::displays, "", "displays"},
};

namespace eventKind {
constexpr std::string_view displayAdded = "display-added";     // id, serial, name, location, width, height
constexpr std::string_view displayRemoved = "display-removed"; // id, serial, name, location
} // namespace eventKind

} // namespace windowserver
