#include "host/NSURLAdditions.h"

#include "foundation/FileURL.h"

#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSSearchPath.h"

namespace host {

namespace {

std::optional<std::string> lastPaneIn(uint32_t domains, const std::string& fileName) {
    std::optional<std::string> found;
    for (const auto& folder :
         ns::NSSearchPathForDirectoriesInDomains(ns::NSPreferencePanesDirectory, domains, true)) {
        const std::string path = folder + "/" + fileName;
        if (ns::NSFileManager::defaultManager()->fileExistsAtPath(path))
            found = foundation::fileURLWithPath(path, true);
    }
    return found;
}

} // namespace

std::string findSystemPreferences() {
    return foundation::fileURLWithPath("/Application/System Preferences.app", true);
}

std::optional<std::string> findPrefPaneLocation(const std::string& name) {
    return lastPaneIn(ns::NSUserDomainMask | ns::NSLocalDomainMask | ns::NSSystemDomainMask, name);
}

std::optional<std::string> findSystemPrefPaneLocation(const std::string& name) {
    return lastPaneIn(ns::NSSystemDomainMask, name + ".prefPane");
}

} // namespace host
