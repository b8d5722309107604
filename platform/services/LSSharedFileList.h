// Launch Services shared file lists: the session's login items of the calling user and the
// global login items of every user, kept by platformd. Items are snapshots with stable ids;
// URLs are file URL texts. The global list changes only once an authorization is set on it.
#pragma once

#include "platform/services/Authorization.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ls {

using OSStatus = int32_t;
inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus fnfErr = -43;   // no such item
inline constexpr OSStatus paramErr = -50; // a null list or item
// Not reachable through platformd (the caller's failure form).
inline constexpr OSStatus kLSServerCommunicationErr = -10822;

inline constexpr std::string_view kLSSharedFileListSessionLoginItems =
    "com.apple.LSSharedFileList.SessionLoginItems";
inline constexpr std::string_view kLSSharedFileListGlobalLoginItems =
    "com.apple.LSSharedFileList.GlobalLoginItems";

struct LSSharedFileListItem {
    uint32_t identifier = 0;
    std::string url;
};
using LSSharedFileListItemRef = std::shared_ptr<const LSSharedFileListItem>;

class LSSharedFileList;
using LSSharedFileListRef = std::shared_ptr<LSSharedFileList>;

// Insertion positions; both append (the only position the callers use is the last).
extern const LSSharedFileListItemRef kLSSharedFileListItemLast;
extern const LSSharedFileListItemRef kLSSharedFileListItemBeforeFirst;

// The caller's list of that type (the session or the global login items); null for another
// type or without platformd.
LSSharedFileListRef LSSharedFileListCreate(const void* allocator, std::string_view listType,
                                           const void* options);
// Items in order; seed (when given) changes with each change of the list.
std::vector<LSSharedFileListItemRef> LSSharedFileListCopySnapshot(const LSSharedFileListRef& list,
                                                                  uint32_t* seed);
uint32_t LSSharedFileListItemGetID(const LSSharedFileListItemRef& item);
// The stored URL; nullopt (with status) for a null item.
std::optional<std::string> LSSharedFileListItemResolve(const LSSharedFileListItemRef& item, uint32_t flags,
                                                       OSStatus* status = nullptr);
// Appends url as given (no de-duplication: the caller checks). Null on failure.
LSSharedFileListItemRef LSSharedFileListInsertItemURL(const LSSharedFileListRef& list,
                                                      const LSSharedFileListItemRef& insertAfter,
                                                      const std::optional<std::string>& displayName,
                                                      const void* iconRef, const std::string& url,
                                                      const void* propertiesToSet,
                                                      const void* propertiesToClear);
OSStatus LSSharedFileListItemRemove(const LSSharedFileListRef& list, const LSSharedFileListItemRef& item);
// The authorization the list's later changes are made under; paramErr for a null list.
OSStatus LSSharedFileListSetAuthorization(const LSSharedFileListRef& list,
                                          const security::AuthorizationRef& authorization);

} // namespace ls
