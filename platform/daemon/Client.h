// One connected process as platformd's services see it: who it is by the socket's
// credentials and by what its hello said.
#pragma once

#include "platform/corefoundation/Value.h"

#include <cstdint>
#include <string>
#include <sys/types.h>

namespace platformd {

struct Client {
    uint64_t id = 0; // per connection, never reused
    pid_t pid = 0;
    uid_t uid = 0;
    std::string executable;
    std::string processName;
    std::string bundleIdentifier;
    std::string bundlePath;
    std::string user;
    bool greeted = false; // its hello was accepted

    // The file name of the executable cut to 16 bytes, as a process table shows it.
    std::string commandName() const;
    cf::Value toValue() const;
};

} // namespace platformd
