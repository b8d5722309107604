#include "platform/foundation/NSFileManager.h"

#include "platform/corefoundation/Paths.h"
#include "platform/corefoundation/PropertyList.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>

namespace ns {

namespace {

void setPathError(platform::Error* error, int errnoValue, const std::string& path) {
    if (!error) return;
    platform::Error e = platform::Error::posix(errnoValue);
    e.userInfo.insert_or_assign(platform::NSFilePathErrorKey, cf::Value(path));
    *error = e;
}

} // namespace

std::shared_ptr<NSFileManager> NSFileManager::defaultManager() {
    static auto manager = std::make_shared<NSFileManager>();
    return manager;
}

bool NSFileManager::fileExistsAtPath(const std::string& path, bool* isDirectory) const {
    struct stat st {};
    if (::stat(platform::macPath(path).c_str(), &st) != 0) return false;
    if (isDirectory) *isDirectory = S_ISDIR(st.st_mode);
    return true;
}

bool NSFileManager::createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories,
                                          const cf::Dictionary& attributes, platform::Error* error) const {
    const std::string mapped = platform::macPath(path);
    mode_t mode = 0755;
    if (auto it = attributes.find(NSFilePosixPermissions); it != attributes.end() && it->second.isNumber())
        mode = static_cast<mode_t>(it->second.integerValue() & 07777);
    if (withIntermediateDirectories) {
        struct stat st {};
        if (::stat(mapped.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode)) return true;
            setPathError(error, EEXIST, mapped);
            return false;
        }
        return cf::createDirectories(mapped, mode, error);
    }
    if (::mkdir(mapped.c_str(), mode) != 0) {
        setPathError(error, errno, mapped);
        return false;
    }
    // mkdir's mode passes through the umask; the attributes ask for exactly these bits.
    ::chmod(mapped.c_str(), mode);
    return true;
}

bool NSFileManager::removeItemAtPath(const std::string& path, platform::Error* error) const {
    const std::string mapped = platform::macPath(path);
    std::error_code ec;
    if (!std::filesystem::exists(std::filesystem::symlink_status(mapped, ec))) {
        setPathError(error, ENOENT, mapped);
        return false;
    }
    std::filesystem::remove_all(mapped, ec);
    if (ec) {
        setPathError(error, ec.value(), mapped);
        return false;
    }
    return true;
}

bool NSFileManager::moveItemAtPath(const std::string& path, const std::string& destination,
                                   platform::Error* error) const {
    const std::string from = platform::macPath(path);
    const std::string to = platform::macPath(destination);
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    int failure = errno;
    if (failure == EINVAL || failure == ENOSYS) {
        // A file system that cannot refuse for us: look first (the window between is ours to
        // accept there).
        struct stat st {};
        if (::lstat(to.c_str(), &st) == 0)
            failure = EEXIST;
        else if (::rename(from.c_str(), to.c_str()) == 0)
            return true;
        else
            failure = errno;
    }
    setPathError(error, failure, failure == EEXIST ? to : from);
    return false;
}

} // namespace ns
