// System Configuration's dynamic store, as far as the console user: who is logged in at the
// stand-in Mac's screen, from its profile.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sc {

// No session with the configuration daemon is kept: callers pass null.
struct SCDynamicStore;
using SCDynamicStoreRef = SCDynamicStore*;

// The profile's ConsoleUser: nothing when it is "" (nobody logged in). Without the key, the
// real user's name from the password database — never $PLATFORM_USER, so a tool run as another
// user still sees who sits at the console. uid and gid (each may be null) get that user's ids
// from the password database, the real user's when the name is not known there.
std::optional<std::string> SCDynamicStoreCopyConsoleUser(SCDynamicStoreRef store, uint32_t* uid,
                                                         uint32_t* gid);

} // namespace sc
