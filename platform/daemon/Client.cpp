#include "platform/daemon/Client.h"

namespace platformd {

std::string Client::commandName() const {
    auto slash = executable.rfind('/');
    std::string name = slash == std::string::npos ? executable : executable.substr(slash + 1);
    if (name.empty()) name = processName;
    return name.substr(0, 16);
}

cf::Value Client::toValue() const {
    cf::Dictionary d{{"pid", static_cast<int64_t>(pid)},
                     {"uid", static_cast<int64_t>(uid)},
                     {"executable", executable},
                     {"processName", processName},
                     {"user", user}};
    if (!bundleIdentifier.empty()) d.insert_or_assign("bundleIdentifier", bundleIdentifier);
    if (!bundlePath.empty()) d.insert_or_assign("bundlePath", bundlePath);
    return d;
}

} // namespace platformd
