// The bundle's list of display sizes offered to devices that leave the choice to the server
// ("SupportedResolutions.plist": an array of {"width", "height", "modeID", "description",
// "supportedVersion"}), and the choice of the best entry for a requested size.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/coregraphics/CGGeometry.h"

#include <optional>
#include <string>
#include <vector>

namespace server {

// One entry as read: wrongly typed keys read as missing (0, or no description).
struct SupportedResolution {
    float width = 0;
    float height = 0;
    int32_t modeID = 0;
    std::string description;
    int64_t majorVersion = 0;
    int64_t minorVersion = 0;
    int64_t patchVersion = 0;

    // {"width", "height" (reals), "modeID" (integer), "description"}.
    cf::Value dictionary() const;
};

// 1024 by 768, mode 1: used when the file is missing, unreadable or has no fitting entry.
SupportedResolution defaultSupportedResolution();

// The entries of the main bundle's "SupportedResolutions.plist", read afresh. Nothing when the
// file is missing, unreadable or not an array (logged unless missing); entries that are not
// dictionaries, or whose width or height is not a finite number from 0 to 65535, are skipped
// and logged.
std::optional<std::vector<SupportedResolution>> loadSupportedResolutions();
// The same checks over a value already read.
std::optional<std::vector<SupportedResolution>> supportedResolutionsFromValue(const cf::Value& value);

// The entry for a screen of size pixels: the first passing entry of exactly that size, else
// the largest fitting one (the later on equal area), else the default. Entries pass the
// version filter when their major version is below 3, or their minor version is 3 and their
// patch version below 2.
SupportedResolution
findBestSupportedResolution(const std::optional<std::vector<SupportedResolution>>& entries, cg::CGSize size);

} // namespace server
