// The name of the user this process runs as on the stand-in Mac.
#pragma once

#include <string>

namespace ns {

// $PLATFORM_USER when set and not empty (the sudo stub sets it for the command it runs), else
// the real user's name from the password database (the user id as text when it has none).
std::string NSUserName();

} // namespace ns
