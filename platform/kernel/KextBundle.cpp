#include "platform/kernel/KextBundle.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/kernel/OSString.h"
#include "platform/kernel/OSValueConversion.h"

#include <sys/stat.h>

namespace kernel {

namespace {

// Identifiers and versions are short reverse-DNS names and dotted numbers.
constexpr size_t kMaxIdentifierLength = 255;

std::optional<std::string> requiredString(const cf::Value& info, const char* key) {
    const cf::Value* value = info.find(key);
    const std::string* text = value ? value->asString() : nullptr;
    if (!text || text->empty() || text->size() > kMaxIdentifierLength) return std::nullopt;
    return *text;
}

bool refuse(const std::string& bundlePath, const std::string& why) {
    platform::log("kernel: kext at %@ refused: %@", bundlePath, why);
    return false;
}

bool readLibraries(const cf::Value& info, KextBundle& bundle) {
    const cf::Value* libraries = info.find("OSBundleLibraries");
    if (!libraries) return true;
    const cf::Dictionary* entries = libraries->asDictionary();
    if (!entries) return refuse(bundle.bundlePath, "OSBundleLibraries is not a dictionary");
    for (const auto& [identifier, version] : *entries) {
        if (identifier.empty() || identifier.size() > kMaxIdentifierLength || !version.isString()) {
            return refuse(bundle.bundlePath, "a library entry is malformed");
        }
        bundle.libraries.push_back(identifier);
    }
    return true;
}

bool readPersonalities(const cf::Value& info, KextBundle& bundle) {
    const cf::Value* personalities = info.find("IOKitPersonalities");
    if (!personalities) return true;
    const cf::Dictionary* entries = personalities->asDictionary();
    if (!entries) return refuse(bundle.bundlePath, "IOKitPersonalities is not a dictionary");
    for (const auto& [name, value] : *entries) {
        OSPtr<OSObject> object = OSObjectFromValue(value);
        auto* table = OSDynamicCast(OSDictionary, object.get());
        if (!table || !OSDynamicCast(OSString, table->getObject("IOClass")) ||
            !OSDynamicCast(OSString, table->getObject("IOProviderClass"))) {
            platform::log("kernel: kext %@: personality %@ lacks IOClass or IOProviderClass; left out",
                          bundle.identifier, name);
            continue;
        }
        bundle.personalities.push_back(makeRetained(table));
    }
    return true;
}

bool isRegularFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

std::optional<KextBundle> readKextBundle(const std::string& bundlePath) {
    KextBundle bundle;
    bundle.bundlePath = bundlePath;
    while (bundle.bundlePath.size() > 1 && bundle.bundlePath.back() == '/')
        bundle.bundlePath.pop_back();
    platform::Error error;
    std::optional<cf::Value> info = cf::readPropertyListFile(bundle.infoPlistPath(), &error);
    if (!info) {
        refuse(bundle.bundlePath, "Info.plist unreadable: " + error.description());
        return std::nullopt;
    }
    if (!info->isDictionary()) {
        refuse(bundle.bundlePath, "Info.plist is not a dictionary");
        return std::nullopt;
    }
    auto identifier = requiredString(*info, "CFBundleIdentifier");
    auto version = requiredString(*info, "CFBundleVersion");
    auto executable = requiredString(*info, "CFBundleExecutable");
    if (!identifier || !version || !executable) {
        refuse(bundle.bundlePath, "CFBundleIdentifier, CFBundleVersion or CFBundleExecutable missing");
        return std::nullopt;
    }
    if (executable->find('/') != std::string::npos || *executable == "." || *executable == "..") {
        refuse(bundle.bundlePath, "CFBundleExecutable is not a file name");
        return std::nullopt;
    }
    bundle.identifier = *identifier;
    bundle.version = *version;
    bundle.executable = *executable;
    if (!readLibraries(*info, bundle) || !readPersonalities(*info, bundle)) return std::nullopt;
    if (!isRegularFile(bundle.executablePath())) {
        refuse(bundle.bundlePath, "no executable at " + bundle.executablePath());
        return std::nullopt;
    }
    return bundle;
}

} // namespace kernel
