#include "platform/corefoundation/Profile.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/Paths.h"
#include "platform/corefoundation/PropertyList.h"

#include <mutex>
#include <sys/stat.h>

namespace platform {

namespace {

// Reads one key into `field` when it has the right kind; a wrong kind keeps the default, logged.
template <typename Read> void readKey(const cf::Dictionary& d, const char* key, Read read) {
    auto it = d.find(key);
    if (it == d.end()) return;
    if (!read(it->second)) log("Profile key %s has the wrong type (%@); using its default", key, it->second);
}

bool readText(const cf::Value& v, std::string& out) {
    if (const auto* s = v.asString()) out = *s;
    return v.isString();
}

bool readInteger(const cf::Value& v, int64_t& out) {
    if (auto i = v.storedInteger()) out = *i;
    return v.storedInteger().has_value();
}

bool readUnsigned(const cf::Value& v, uint64_t& out) {
    auto i = v.storedInteger();
    if (!i || *i < 0) return false;
    out = static_cast<uint64_t>(*i);
    return true;
}

bool readReal(const cf::Value& v, double& out) {
    if (!v.isNumber()) return false;
    out = v.doubleValue();
    return true;
}

bool readTextList(const cf::Value& v, std::vector<std::string>& out) {
    const auto* items = v.asArray();
    if (!items) return false;
    std::vector<std::string> texts;
    for (const auto& item : *items) {
        if (!item.isString()) return false;
        texts.push_back(*item.asString());
    }
    out = std::move(texts);
    return true;
}

bool readMultiplexer(const cf::Value& v, std::optional<int64_t>& out) {
    if (auto b = v.asBool()) {
        out = *b ? std::optional<int64_t>(4) : std::nullopt; // bit 2: the multiplexer can switch
        return true;
    }
    auto i = v.storedInteger();
    if (i) out = *i;
    return i.has_value();
}

struct CurrentProfile {
    std::mutex mutex;
    std::shared_ptr<const Profile> profile;
};

CurrentProfile& currentProfile() {
    static CurrentProfile current;
    return current;
}

Profile readProfileFile() {
    std::string root = platformRoot();
    if (root.empty()) return Profile{};
    std::string path = root + "/profile.plist";
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return Profile{};
    Error error;
    auto value = cf::readPropertyListFile(path, &error);
    if (!value || !value->isDictionary()) {
        log("Profile %s is unreadable (%@); using the default profile", path,
            value ? std::string("not a dictionary") : error.description());
        return Profile{};
    }
    return Profile::fromDictionary(*value->asDictionary());
}

std::vector<RootGenerator>& generators() {
    static std::vector<RootGenerator> list;
    return list;
}

std::mutex& generatorsMutex() {
    static std::mutex m;
    return m;
}

} // namespace

Profile Profile::fromDictionary(const cf::Dictionary& d) {
    Profile p;
    p.dictionary = d;
    readKey(d, "ProductVersion", [&](const cf::Value& v) { return readText(v, p.productVersion); });
    readKey(d, "ProductBuildVersion", [&](const cf::Value& v) { return readText(v, p.productBuildVersion); });
    readKey(d, "AppKitVersion", [&](const cf::Value& v) { return readReal(v, p.appKitVersion); });
    readKey(d, "KernelRelease", [&](const cf::Value& v) { return readText(v, p.kernelRelease); });
    readKey(d, "KernelRevision", [&](const cf::Value& v) { return readInteger(v, p.kernelRevision); });
    readKey(d, "ModelIdentifier", [&](const cf::Value& v) { return readText(v, p.modelIdentifier); });
    readKey(d, "SerialNumber", [&](const cf::Value& v) { return readText(v, p.serialNumber); });
    readKey(d, "HardwareUUID", [&](const cf::Value& v) {
        // It becomes part of ByHost file names: a path separator would lead out of the folder.
        const auto* text = v.asString();
        if (!text || text->empty() || text->find('/') != std::string::npos) return false;
        p.hardwareUUID = *text;
        return true;
    });
    readKey(d, "MemoryBytes", [&](const cf::Value& v) { return readUnsigned(v, p.memoryBytes); });
    readKey(d, "CPUCount", [&](const cf::Value& v) { return readInteger(v, p.cpuCount); });
    readKey(d, "CPUFrequencyHz", [&](const cf::Value& v) { return readUnsigned(v, p.cpuFrequencyHz); });
    readKey(d, "GraphicsChips", [&](const cf::Value& v) { return readTextList(v, p.graphicsChips); });
    readKey(d, "GraphicsMultiplexer", [&](const cf::Value& v) { return readMultiplexer(v, p.graphicsMultiplexer); });
    readKey(d, "ConsoleUser", [&](const cf::Value& v) {
        std::string user;
        if (!readText(v, user)) return false;
        p.consoleUser = user;
        return true;
    });
    readKey(d, "Authorization", [&](const cf::Value& v) { return readText(v, p.authorization); });
    return p;
}

cf::Dictionary Profile::toDictionary() const {
    cf::Dictionary d = dictionary;
    d.insert_or_assign("ProductVersion", cf::Value(productVersion));
    d.insert_or_assign("ProductBuildVersion", cf::Value(productBuildVersion));
    d.insert_or_assign("AppKitVersion", cf::Value(appKitVersion));
    d.insert_or_assign("KernelRelease", cf::Value(kernelRelease));
    d.insert_or_assign("KernelRevision", cf::Value(kernelRevision));
    d.insert_or_assign("ModelIdentifier", cf::Value(modelIdentifier));
    d.insert_or_assign("SerialNumber", cf::Value(serialNumber));
    d.insert_or_assign("HardwareUUID", cf::Value(hardwareUUID));
    d.insert_or_assign("MemoryBytes", cf::Value(static_cast<int64_t>(memoryBytes)));
    d.insert_or_assign("CPUCount", cf::Value(cpuCount));
    d.insert_or_assign("CPUFrequencyHz", cf::Value(static_cast<int64_t>(cpuFrequencyHz)));
    d.insert_or_assign("GraphicsChips", cf::Value(graphicsChips));
    d.erase("GraphicsMultiplexer");
    if (graphicsMultiplexer) d.insert_or_assign("GraphicsMultiplexer", cf::Value(*graphicsMultiplexer));
    d.erase("ConsoleUser");
    if (consoleUser) d.insert_or_assign("ConsoleUser", cf::Value(*consoleUser));
    d.insert_or_assign("Authorization", cf::Value(authorization));
    return d;
}

std::shared_ptr<const Profile> Profile::current() {
    auto& current = currentProfile();
    std::lock_guard lock(current.mutex);
    if (!current.profile) current.profile = std::make_shared<const Profile>(readProfileFile());
    return current.profile;
}

void Profile::setCurrent(Profile profile) {
    auto& current = currentProfile();
    std::lock_guard lock(current.mutex);
    current.profile = std::make_shared<const Profile>(std::move(profile));
}

void Profile::reload() {
    auto& current = currentProfile();
    std::lock_guard lock(current.mutex);
    current.profile.reset();
}

void addRootGenerator(RootGenerator generator) {
    std::lock_guard lock(generatorsMutex());
    generators().push_back(std::move(generator));
}

bool prepareRoot(const std::string& root, const Profile& profile, Error* error) {
    struct Folder {
        const char* path;
        mode_t mode;
    };
    // run/ holds platformd's socket: only its user may reach it.
    static const Folder folders[] = {{"run", 0700},
                                     {"var/log", 0755},
                                     {"var/db/loginitems", 0755},
                                     {"Applications", 0755},
                                     {"Library/Extensions", 0755},
                                     {"Library/Preferences", 0755},
                                     {"System/Library/CoreServices", 0755},
                                     {"usr/bin", 0755},
                                     {"usr/sbin", 0755}};
    for (const Folder& folder : folders)
        if (!cf::createDirectories(root + "/" + folder.path, folder.mode, error)) return false;
    cf::Dictionary version;
    version.insert_or_assign("ProductName", cf::Value("Mac OS X"));
    version.insert_or_assign("ProductVersion", cf::Value(profile.productVersion));
    version.insert_or_assign("ProductBuildVersion", cf::Value(profile.productBuildVersion));
    if (!cf::writePropertyListFile(cf::Value(std::move(version)),
                                   root + "/System/Library/CoreServices/SystemVersion.plist",
                                   cf::PropertyListFormat::XML, error))
        return false;
    std::vector<RootGenerator> list;
    {
        std::lock_guard lock(generatorsMutex());
        list = generators();
    }
    for (const auto& generate : list)
        if (!generate(root, profile, error)) return false;
    return true;
}

namespace testing {

bool makeRoot(const std::string& dir, const Profile& profile, Error* error) {
    if (!cf::createDirectories(dir, 0700, error) || !prepareRoot(dir, profile, error)) return false;
    bool ok = cf::writePropertyListFile(cf::Value(profile.toDictionary()), dir + "/profile.plist",
                                        cf::PropertyListFormat::XML, error);
    Profile::reload();
    return ok;
}

} // namespace testing

} // namespace platform
