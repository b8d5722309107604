#include "host/QNBButler.h"

#include "foundation/StringAdditions.h"

#include "platform/core/Log.h"
#include "platform/foundation/NSFileManager.h"

#include <cerrno>

namespace host {

namespace {

// Beyond this many damaged files of one name, the newest stays where it is.
constexpr int kSetAsideNames = 1000;

} // namespace

std::optional<std::string> QNBButler::applicationSupportDirectory() {
    return foundation::applicationSupportPath();
}

std::optional<std::string> QNBButler::quenbySupportDirectory() {
    auto folder = applicationSupportDirectory();
    if (!folder) return std::nullopt;
    return *folder + "/Quenby";
}

std::optional<std::string> QNBButler::tesselSupportDirectory() {
    auto folder = quenbySupportDirectory();
    if (!folder) return std::nullopt;
    return *folder + "/Tessel";
}

bool QNBButler::archiveObjectWithPath(const ns::ArchivedObject& object, const std::string& path) {
    auto files = ns::NSFileManager::defaultManager();
    const size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0)
        files->createDirectoryAtPath(path.substr(0, slash), true,
                                     cf::Dictionary{{ns::NSFilePosixPermissions, cf::Value(0755)}});
    platform::Error error;
    if (ns::NSKeyedArchiver::archiveRootObject(object, path, &error)) return true;
    std::string description = "(null)";
    if (object.isArray()) description = "(" + std::to_string(object.items().size()) + " objects)";
    platform::log("Error archiving to file: %@ with object: %@", path, description);
    return false;
}

std::optional<ns::ArchivedObject> QNBButler::unarchiveFileWithPath(const std::string& path) {
    if (!ns::NSFileManager::defaultManager()->fileExistsAtPath(path)) return std::nullopt;
    platform::Error error;
    auto root = ns::NSKeyedUnarchiver::unarchiveObjectWithFile(path, &error);
    if (root) return root;
    platform::log("Error reading archive: %@", path);
    setAsideDamagedFile(path);
    return std::nullopt;
}

void QNBButler::setAsideDamagedFile(const std::string& path) {
    // An earlier damaged file is the user's data as much as this one: the next free name.
    platform::Error error;
    for (int number = 1; number <= kSetAsideNames; ++number) {
        const std::string aside = number == 1 ? path + ".bad" : path + "." + std::to_string(number) + ".bad";
        if (ns::NSFileManager::defaultManager()->moveItemAtPath(path, aside, &error)) return;
        if (error.code != EEXIST) break;
    }
    platform::log("Could not set the damaged file aside: %@", error);
}

} // namespace host
