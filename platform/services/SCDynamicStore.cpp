#include "platform/services/SCDynamicStore.h"

#include "platform/corefoundation/Profile.h"

#include <pwd.h>
#include <unistd.h>

namespace sc {

namespace {

void setIds(const passwd* entry, uint32_t* uid, uint32_t* gid) {
    if (uid) *uid = entry ? entry->pw_uid : ::getuid();
    if (gid) *gid = entry ? entry->pw_gid : ::getgid();
}

} // namespace

std::optional<std::string> SCDynamicStoreCopyConsoleUser(SCDynamicStoreRef, uint32_t* uid, uint32_t* gid) {
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    const auto& console = platform::Profile::current()->consoleUser;
    if (console) {
        if (console->empty()) return std::nullopt;
        ::getpwnam_r(console->c_str(), &entry, buffer, sizeof buffer, &found);
        setIds(found, uid, gid);
        return *console;
    }
    ::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found);
    setIds(found, uid, gid);
    if (found && found->pw_name) return std::string(found->pw_name);
    return std::to_string(::getuid());
}

} // namespace sc
