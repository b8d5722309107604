#include "platform/corefoundation/PreferencesFile.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/PropertyList.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace cf::detail {

namespace {

// Preferences are private to their user.
constexpr mode_t kFileMode = 0600;
constexpr mode_t kFolderMode = 0700;

std::string folderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string() : path.substr(0, slash);
}

// Holds an exclusive flock on <file>.lock for its lifetime.
class FileLock {
public:
    explicit FileLock(const std::string& path) {
        m_fd = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kFileMode);
        if (m_fd < 0) return;
        int rc;
        do rc = ::flock(m_fd, LOCK_EX);
        while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~FileLock() {
        if (m_fd >= 0) ::close(m_fd); // closing releases the flock
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

std::optional<std::string> readWhole(int fd) {
    std::string contents;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return contents;
        contents.append(buffer, static_cast<size_t>(n));
        if (contents.size() > kMaxPropertyListBytes) return std::nullopt;
    }
}

} // namespace

bool PreferencesFile::Signature::operator==(const Signature& o) const {
    return present == o.present && device == o.device && inode == o.inode && size == o.size &&
           mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec;
}

PreferencesFile::PreferencesFile(std::string path) : m_path(std::move(path)) {}

PreferencesFile::Signature PreferencesFile::statDisk() const {
    Signature signature;
    struct stat st {};
    if (::stat(m_path.c_str(), &st) != 0) {
        // Anything but a missing file counts as present (and then proves unreadable).
        signature.present = errno != ENOENT && errno != ENOTDIR;
        return signature;
    }
    signature.present = true;
    signature.device = st.st_dev;
    signature.inode = st.st_ino;
    signature.size = st.st_size;
    signature.mtime = st.st_mtim;
    return signature;
}

PreferencesFile::DiskState PreferencesFile::readDisk(Dictionary& values, Signature& signature) const {
    values.clear();
    signature = Signature{};
    int fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return DiskState::Missing;
        signature.present = true;
        return DiskState::Unreadable;
    }
    struct stat st {};
    std::optional<std::string> contents;
    if (::fstat(fd, &st) == 0) {
        signature = Signature{true, st.st_dev, st.st_ino, st.st_size, st.st_mtim};
        if (S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) <= kMaxPropertyListBytes)
            contents = readWhole(fd);
    }
    signature.present = true;
    ::close(fd);
    if (!contents) return DiskState::Unreadable;
    auto plist = propertyListFromData(std::string_view(*contents));
    if (!plist || !plist->isDictionary()) return DiskState::Unreadable;
    values = *plist->asDictionary();
    return DiskState::Readable;
}

void PreferencesFile::adopt(DiskState state, Dictionary values, const Signature& signature) {
    m_loaded = true;
    m_signature = signature;
    m_readable = state != DiskState::Unreadable;
    m_values = std::move(values);
    if (!m_readable && !m_loggedUnreadable) {
        m_loggedUnreadable = true;
        platform::log("Preferences file %s is unreadable; reading it as empty", m_path);
    }
}

void PreferencesFile::loadIfNeeded() {
    if (m_loaded) return;
    Dictionary values;
    Signature signature;
    DiskState state = readDisk(values, signature);
    adopt(state, std::move(values), signature);
}

std::optional<Value> PreferencesFile::get(std::string_view key) {
    std::lock_guard lock(m_mutex);
    loadIfNeeded();
    auto it = m_values.find(key);
    if (it == m_values.end()) return std::nullopt;
    return it->second;
}

bool PreferencesFile::synchronize() {
    std::lock_guard lock(m_mutex);
    if (m_loaded && statDisk() == m_signature) return m_readable;
    Dictionary values;
    Signature signature;
    DiskState state = readDisk(values, signature);
    adopt(state, std::move(values), signature);
    return m_readable;
}

void PreferencesFile::set(std::string_view key, const std::optional<Value>& value) {
    std::lock_guard lock(m_mutex);
    loadIfNeeded();
    Dictionary values = m_values;
    if (!writeLocked(values, key, value)) {
        // The process still sees its own write until the next synchronize rereads the disk.
        if (value) values.insert_or_assign(std::string(key), *value);
        else if (auto it = values.find(key); it != values.end()) values.erase(it);
        m_values = std::move(values);
    }
}

// Takes the flock and runs the protocol; on success `values` and memory hold what was
// written. On failure `values` holds the freshest dictionary known, without the change.
bool PreferencesFile::writeLocked(Dictionary& values, std::string_view key, const std::optional<Value>& value) {
    platform::Error error;
    if (!createDirectories(folderOf(m_path), kFolderMode, &error)) {
        platform::log("Could not write preferences file %s: %@", m_path, error);
        return false;
    }
    FileLock flock(m_path);
    if (!flock.held()) {
        platform::log("Could not lock preferences file %s: %@", m_path, platform::Error::posix(errno));
        return false;
    }
    Dictionary fresh;
    Signature signature;
    DiskState state = readDisk(fresh, signature);
    if (state == DiskState::Unreadable) {
        adopt(state, {}, signature); // logs once
        ::rename(m_path.c_str(), (m_path + ".bad").c_str());
        fresh.clear();
    }
    values = fresh;
    if (value) fresh.insert_or_assign(std::string(key), *value);
    else if (auto it = fresh.find(key); it != fresh.end()) fresh.erase(it);
    auto bytes = dataFromPropertyList(Value(fresh), PropertyListFormat::XML, &error);
    if (!bytes || !writeFileAtomically(m_path, bytes->data(), bytes->size(), kFileMode, &error)) {
        platform::log("Could not write preferences file %s: %@", m_path, error);
        return false;
    }
    adopt(DiskState::Readable, fresh, statDisk());
    values = std::move(fresh);
    return true;
}

std::shared_ptr<PreferencesFile> preferencesFile(const std::string& path) {
    static std::mutex mutex;
    static std::unordered_map<std::string, std::shared_ptr<PreferencesFile>> files;
    std::lock_guard lock(mutex);
    auto& file = files[path];
    if (!file) file = std::make_shared<PreferencesFile>(path);
    return file;
}

} // namespace cf::detail
