// The stand-in for the two privileged helper tools that turn the window server's HiDPI display
// modes on or off. One program serves under both tool names: the name's suffix says which, and
// the argument "1\n" asks for a logout afterwards, which platformd records.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace hidpitool {

inline constexpr char kWindowServerDomain[] = "com.apple.windowserver";
inline constexpr char kDisplayResolutionEnabled[] = "DisplayResolutionEnabled";
inline constexpr char kLogoutArgument[] = "1\n";
inline constexpr char kLogoutRequestedEvent[] = "logout-requested";

// Exit statuses.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1; // the setting or the logout request did not go through
inline constexpr int kExitUsage = 2;   // a name or an argument it does not know; nothing done

struct Request {
    bool enable = false;
    bool logout = false;
};

// The request a command line makes (words[0] is the program's path): the name ending "on"
// enables, "off" disables; no argument, or exactly the logout argument. Anything else is
// refused with the reason in *why.
std::optional<Request> requestFromCommandLine(const std::vector<std::string>& words, std::string* why);

// Carries a request out: writes the setting (any user, current host), reads it back, then asks
// platformd to record the logout when wanted. Answers an exit status; failures are logged.
int perform(const Request& request, const std::string& toolName);

// The whole program.
int run(const std::vector<std::string>& words);

} // namespace hidpitool
