// NSFileManager: the few file operations the programs make. Every path goes through
// platform::macPath, so "/Library/..." lands in the stand-in root and "~/..." in $HOME.
#pragma once

#include "platform/corefoundation/Error.h"
#include "platform/corefoundation/Value.h"

#include <memory>
#include <string>

namespace ns {

// The attribute key createDirectoryAtPath reads: a number of POSIX permission bits.
inline constexpr char NSFilePosixPermissions[] = "NSFilePosixPermissions";

class NSFileManager {
  public:
    static std::shared_ptr<NSFileManager> defaultManager();

    bool fileExistsAtPath(const std::string& path, bool* isDirectory = nullptr) const;
    // Folders made get the attributes' NSFilePosixPermissions (else 0755). Without
    // intermediates, a missing parent or an existing item fails; with them, an existing folder
    // succeeds.
    bool createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories,
                               const cf::Dictionary& attributes = {}, platform::Error* error = nullptr) const;
    // Removes a file, or a folder with everything in it (symbolic links are removed, never
    // followed).
    bool removeItemAtPath(const std::string& path, platform::Error* error = nullptr) const;
    // Renames an item. An item already at the destination is never replaced: the move fails
    // with EEXIST and both stay.
    bool moveItemAtPath(const std::string& path, const std::string& destination,
                        platform::Error* error = nullptr) const;
};

} // namespace ns
