// What the display code reads of a display besides its bounds: the I/O Kit display information,
// the framebuffer index written in its registry location, its localized product name and its
// mode dictionaries.
#pragma once

#include "display/QNBScreen.h"
#include "platform/corefoundation/Value.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace display {

// The display's I/O Kit information dictionary with the given options; nothing when the display
// has no service or no information. Every handle taken is released.
std::optional<cf::Value> copyDisplayInformation(CGDirectDisplayID display, uint32_t options);

// The first name of an information dictionary's "DisplayProductName"; nothing when the
// dictionary, the names or the first name are missing or of another type.
std::optional<std::string> firstProductName(const std::optional<cf::Value>& info);
// The localized name of an information dictionary (see localizedDisplayName).
std::optional<std::string> localizedProductName(const std::optional<cf::Value>& info);
// The framebuffer index written in an information dictionary's "IODisplayLocation"; −1 when
// it is missing, of another type or not a virtual display's.
int64_t framebufferIndexFromInformation(const std::optional<cf::Value>& info);

// The framebuffer index of a virtual display's registry location: the prefix, then 1 to 5
// decimal digits up to the next "/", at most 65535. −1 for anything else.
int64_t framebufferIndexFromLocation(std::string_view location);

// The name for the user's localization in a "DisplayProductName" dictionary (localization code
// → name): the user's language, else the user's language and region, else the system's
// preferred one among the keys. Nothing when none gives a text.
std::optional<std::string> localizedDisplayName(const cf::Value& names);

// The window server's mode of that list number as a mode dictionary; nothing on failure.
std::optional<cf::Value> modeDictionary(CGDirectDisplayID display, int32_t modeNumber);
// The display's current mode as a mode dictionary; nothing on failure.
std::optional<cf::Value> currentModeDictionary(CGDirectDisplayID display);

} // namespace display
