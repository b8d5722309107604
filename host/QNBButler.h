// The host's support folder (<Application Support>/Quenby/Tessel) and keyed-archive files in it.
#pragma once

#include "platform/foundation/NSKeyedArchiver.h"

#include <optional>
#include <string>

namespace host {

class QNBButler {
  public:
    // The first user-domain Application Support folder, tilde expanded; nothing when none.
    static std::optional<std::string> applicationSupportDirectory();
    static std::optional<std::string> quenbySupportDirectory();
    static std::optional<std::string> tesselSupportDirectory();

    // Creates the parent folder (0755, with intermediates; a failure there is ignored), then
    // writes the archive atomically. NO on failure, logged with the path and the object.
    static bool archiveObjectWithPath(const ns::ArchivedObject& object, const std::string& path);
    // The archive's root object. A missing file answers nothing; a file that cannot be read as
    // an archive is logged ("Error reading archive: <path>"), set aside as <path>.bad and
    // answers nothing.
    static std::optional<ns::ArchivedObject> unarchiveFileWithPath(const std::string& path);
    // Moves a damaged file to <path>.bad, or <path>.2.bad, <path>.3.bad, ... when an older one
    // is there (never replaced), so the user's data is kept and the next write starts afresh.
    static void setAsideDamagedFile(const std::string& path);
};

} // namespace host
