#include "platform/ipc/StandInMac.h"

#include "platform/ipc/Connection.h"
#include "platform/ipc/UnixSocket.h"

namespace ipc {

std::optional<int> refuseOutsideStandInMac(const std::string& program, const std::string& command,
                                           std::ostream& out) {
    const std::string root = rootFromEnvironment();
    std::string why;
    if (root.empty())
        why = "PLATFORM_ROOT is not set";
    else if (!Connection::shared())
        why = "no platformd answers at " + socketPathForRoot(root);
    if (why.empty()) return std::nullopt;
    out << program << " runs inside the stand-in Mac (" << why
        << "); see the README, \"By hand\": " << command << "\n";
    out.flush();
    return kOutsideStandInMacStatus;
}

} // namespace ipc
