// Kext bundles made from fuzz input under the temporary root: <name>.kext/Contents/Info.plist
// holds the input's bytes, and the executable it names is an empty file (so the loader's
// checks and refusals run, and its dlopen refuses the image).
#pragma once

#include "fuzz/FuzzSupport.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/kernel/Kernel.h"

#include <filesystem>
#include <fstream>

namespace fuzz {

inline kernel::Kernel& fuzzKernel() {
    static kernel::Kernel* kernel = new kernel::Kernel(); // lives as long as the process
    return *kernel;
}

inline std::string writeKextBundle(const std::string& name, std::string_view infoPlist) {
    namespace fs = std::filesystem;
    const std::string bundle = temporaryRoot() + "/Extensions/" + name + ".kext";
    fs::remove_all(bundle);
    fs::create_directories(bundle + "/Contents/MacOS");
    std::ofstream(bundle + "/Contents/Info.plist", std::ios::binary)
        .write(infoPlist.data(), static_cast<std::streamsize>(infoPlist.size()));
    if (auto info = cf::propertyListFromData(infoPlist)) {
        const cf::Value* executable = info->find("CFBundleExecutable");
        const std::string* file = executable ? executable->asString() : nullptr;
        if (file && !file->empty() && file->size() < 200 && file->find('/') == std::string::npos &&
            file->find('\0') == std::string::npos && *file != "." && *file != "..")
            std::ofstream(bundle + "/Contents/MacOS/" + *file).put('\n');
    }
    return bundle;
}

} // namespace fuzz
