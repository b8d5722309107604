#include "platform/foundation/NSUserName.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

namespace ns {

std::string NSUserName() {
    if (const char* user = std::getenv("PLATFORM_USER"); user && *user) return user;
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_name)
        return found->pw_name;
    return std::to_string(::getuid());
}

} // namespace ns
