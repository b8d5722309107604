// Launch Services shared file lists: the session's login items of the calling user, kept by
// platformd. Items are snapshots with stable ids; URLs are file URL texts.
#pragma once

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

// The caller's list of that type (only the session login items exist); null without platformd.
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

} // namespace ls
