// The window list: descriptions of the windows the window server knows, front to back.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/coregraphics/CGError.h"
#include "platform/coregraphics/CGGeometry.h"

#include <optional>
#include <vector>

namespace cg {

using CGWindowListOption = uint32_t;
inline constexpr CGWindowListOption kCGWindowListOptionAll = 0;
inline constexpr CGWindowListOption kCGWindowListOptionOnScreenOnly = 1 << 0;
inline constexpr CGWindowListOption kCGWindowListOptionOnScreenAboveWindow = 1 << 1;
inline constexpr CGWindowListOption kCGWindowListOptionOnScreenBelowWindow = 1 << 2;
inline constexpr CGWindowListOption kCGWindowListOptionIncludingWindow = 1 << 3;
inline constexpr CGWindowListOption kCGWindowListExcludeDesktopElements = 1 << 4;

inline constexpr char kCGWindowNumber[] = "kCGWindowNumber";
inline constexpr char kCGWindowLayer[] = "kCGWindowLayer";
inline constexpr char kCGWindowOwnerPID[] = "kCGWindowOwnerPID";
inline constexpr char kCGWindowOwnerName[] = "kCGWindowOwnerName";
inline constexpr char kCGWindowName[] = "kCGWindowName"; // titled windows only
inline constexpr char kCGWindowBounds[] = "kCGWindowBounds";
inline constexpr char kCGWindowAlpha[] = "kCGWindowAlpha";
inline constexpr char kCGWindowIsOnscreen[] = "kCGWindowIsOnscreen"; // present only when on screen
inline constexpr char kCGWindowWorkspace[] = "kCGWindowWorkspace";
inline constexpr char kCGWindowStoreType[] = "kCGWindowStoreType";
inline constexpr char kCGWindowSharingState[] = "kCGWindowSharingState";

// An array of window dictionaries; nothing when the window server cannot be reached.
std::optional<cf::Value> CGWindowListCopyWindowInfo(CGWindowListOption option, CGWindowID relativeToWindow);
// In array order, unknown ids skipped.
std::optional<cf::Value> CGWindowListCreateDescriptionFromArray(const std::vector<CGWindowID>& windows);

// {"X", "Y", "Width", "Height"}.
cf::Value CGRectCreateDictionaryRepresentation(CGRect rect);
// false (rect untouched) when a key is missing or not a finite number.
bool CGRectMakeWithDictionaryRepresentation(const cf::Value* dictionary, CGRect* rect);

} // namespace cg
