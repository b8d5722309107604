// A kext bundle as read from its folder: <Name>.kext/Contents/Info.plist and the shared
// object Contents/MacOS/<CFBundleExecutable>.
#pragma once

#include "platform/kernel/OSDictionary.h"
#include "platform/kernel/OSPtr.h"

#include <optional>
#include <string>
#include <vector>

namespace kernel {

struct KextBundle {
    std::string bundlePath;
    std::string identifier;
    std::string version;
    std::string executable;
    std::vector<std::string> libraries; // OSBundleLibraries, in the order read
    std::vector<OSPtr<OSDictionary>> personalities;

    std::string infoPlistPath() const { return bundlePath + "/Contents/Info.plist"; }
    std::string executablePath() const { return bundlePath + "/Contents/MacOS/" + executable; }
};

// Reads and checks a bundle; a refusal is logged with its reason and gives nullopt.
std::optional<KextBundle> readKextBundle(const std::string& bundlePath);

} // namespace kernel
