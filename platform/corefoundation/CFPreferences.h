// Preferences: Core Foundation's preferences calls over per-domain XML files.
//
// Files (app, user, host):
//   app, current user, any host      $HOME/Library/Preferences/<app>.plist
//   app, current user, current host  $HOME/Library/Preferences/ByHost/<app>.<HardwareUUID>.plist
//   app, any user, any/current host  $PLATFORM_ROOT/Library/Preferences/[ByHost/]<app>[.<HardwareUUID>].plist
//   global (kCFPreferencesAnyApplication, NSGlobalDomain): .GlobalPreferences in the same places
//
// Reads come from memory (one dictionary per file and process, loaded on first use). Writes go
// through per key: under an exclusive flock on <file>.lock the file is read fresh, that one key
// set or removed, the result written to <file>.tmp.<pid> and renamed over the file, and memory
// becomes what was written; a write never touches other keys, so per key the last writer wins.
// Another process's writes are seen after the next synchronize, which reparses a file only when
// its inode, size or mtime changed. An unreadable file reads empty, is logged once and renamed
// <file>.bad before the next write. Files are XML, mode 0600, in folders made 0700.
// Thread-safe; the lock order is the file's in-process mutex, then the flock.
#pragma once

#include "platform/corefoundation/Value.h"

#include <optional>
#include <string>
#include <string_view>

namespace cf {

inline constexpr char kCFPreferencesAnyApplication[] = "kCFPreferencesAnyApplication";
inline constexpr char kCFPreferencesCurrentApplication[] = "kCFPreferencesCurrentApplication";
inline constexpr char kCFPreferencesAnyHost[] = "kCFPreferencesAnyHost";
inline constexpr char kCFPreferencesCurrentHost[] = "kCFPreferencesCurrentHost";
inline constexpr char kCFPreferencesAnyUser[] = "kCFPreferencesAnyUser";
inline constexpr char kCFPreferencesCurrentUser[] = "kCFPreferencesCurrentUser";
inline constexpr char NSGlobalDomain[] = "NSGlobalDomain";

// Searched in order: the app (current user, any host), global (current user), global (any user).
std::optional<Value> CFPreferencesCopyAppValue(std::string_view key, std::string_view applicationID);
// Writes the app's file for the current user, any host; an empty value removes the key.
void CFPreferencesSetAppValue(std::string_view key, const std::optional<Value>& value,
                              std::string_view applicationID);
// Rereads the app's files and the global ones from disk where they changed. True unless a
// present file is unreadable.
bool CFPreferencesAppSynchronize(std::string_view applicationID);
// Valid for a boolean, a number (non-zero is true) or "YES"/"true"/"NO"/"false" in any case;
// otherwise false with *keyExistsAndHasValidFormat false.
bool CFPreferencesGetAppBooleanValue(std::string_view key, std::string_view applicationID,
                                     bool* keyExistsAndHasValidFormat);
// Valid for a number (its value, truncated), a boolean (0/1) or a text that is a whole integer.
CFIndex CFPreferencesGetAppIntegerValue(std::string_view key, std::string_view applicationID,
                                        bool* keyExistsAndHasValidFormat);

// One file, named by explicit user and host.
std::optional<Value> CFPreferencesCopyValue(std::string_view key, std::string_view applicationID,
                                            std::string_view userName, std::string_view hostName);
void CFPreferencesSetValue(std::string_view key, const std::optional<Value>& value, std::string_view applicationID,
                           std::string_view userName, std::string_view hostName);
// Rereads that one file if it changed on disk. A missing file succeeds.
bool CFPreferencesSynchronize(std::string_view applicationID, std::string_view userName,
                              std::string_view hostName);

} // namespace cf

namespace platform {

// The defaults domain of this process: set from the main bundle's identifier when there is an
// app bundle; the executable's name until then.
void setCurrentApplicationDomain(std::string domain);
std::string currentApplicationDomain();

// The file holding a domain; empty for a domain name that cannot be a file name (empty, ".",
// "..", holding "/" or a NUL).
std::string preferencesFilePath(std::string_view applicationID, std::string_view userName,
                                std::string_view hostName);

} // namespace platform
