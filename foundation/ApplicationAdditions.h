// Process facts of the application category: its own and its parent's Process Manager
// information, and whether it was started at login.
#pragma once

#include "platform/corefoundation/Value.h"

#include <optional>

namespace foundation {

// This process's information dictionary with everything included; nothing when the Process
// Manager cannot name this process.
std::optional<cf::Value> processInformation();
// The information of the process whose serial number is this one's "ParentPSN" (high 32 bits
// the high word, low 32 bits the low word); nothing when there is none.
std::optional<cf::Value> parentProcessInformation();
// Whether the parent is the login window ("com.apple.loginwindow") or launchd ("/sbin/launchd").
bool wasLaunchedAtLogin();

} // namespace foundation
