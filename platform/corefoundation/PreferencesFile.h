// One preferences file as this process sees it: the in-memory dictionary, the identity of the
// file it came from, and the write-through protocol (private to this folder).
#pragma once

#include "platform/corefoundation/Value.h"

#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>

namespace cf::detail {

class PreferencesFile {
public:
    explicit PreferencesFile(std::string path);

    const std::string& path() const { return m_path; }
    // From memory; the file is read on first use.
    std::optional<Value> get(std::string_view key);
    // Under an exclusive flock on <file>.lock: read the file fresh, set or remove this one
    // key, write <file>.tmp.<pid> and rename it over; memory becomes what was written.
    void set(std::string_view key, const std::optional<Value>& value);
    // Rereads the file when its inode, size or mtime changed. False when it is present but
    // unreadable.
    bool synchronize();

private:
    struct Signature {
        bool present = false;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        timespec mtime{};
        bool operator==(const Signature& o) const;
    };
    enum class DiskState { Missing, Readable, Unreadable };

    DiskState readDisk(Dictionary& values, Signature& signature) const;
    Signature statDisk() const;
    void loadIfNeeded();
    void adopt(DiskState state, Dictionary values, const Signature& signature);
    bool writeLocked(Dictionary& values, std::string_view key, const std::optional<Value>& value);

    std::mutex m_mutex; // first in the lock order; the flock comes second
    const std::string m_path;
    bool m_loaded = false;
    bool m_readable = true;
    bool m_loggedUnreadable = false;
    Dictionary m_values;
    Signature m_signature;
};

// The process-wide cache: one object per file path, created on first use.
std::shared_ptr<PreferencesFile> preferencesFile(const std::string& path);

} // namespace cf::detail
