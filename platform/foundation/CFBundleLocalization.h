// Choosing a localization for the user. The user's language and region come from $LANG:
// "fr_CA.UTF-8" is the language "fr" with the region "fr_CA"; unset, empty, "C" or "POSIX" is
// "en" with "en_US". The stand-in knows no numeric language or region table: a code names the
// user's own language or region, or none.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cf {

using LangCode = int16_t;
using RegionCode = int16_t;
using ScriptCode = int16_t;
using CFStringEncoding = uint32_t;

inline constexpr int16_t kCFBundleNoCode = -1;
inline constexpr LangCode kCFBundleUserLanguageCode = 0;
inline constexpr RegionCode kCFBundleUserRegionCode = 0;

// The user's language ("fr") and language with region ("fr_CA"), the latter nothing when
// $LANG names no region.
struct UserLocalization {
    std::string language;
    std::optional<std::string> languageAndRegion;
};
UserLocalization CFBundleUserLocalization();

// The user's language alone (no region), or the user's language and region; nothing for no
// language, or a region $LANG does not name.
std::optional<std::string> CFBundleCopyLocalizationForLocalizationInfo(LangCode language, RegionCode region,
                                                                       ScriptCode script,
                                                                       CFStringEncoding encoding);

// The localizations of the array the user prefers, best first: the user's language and region,
// then the user's language, then another region of that language, then English ("en_US",
// "en", "English", another English region); when none fits, the array's first element. Empty
// for an empty array.
std::vector<std::string>
CFBundleCopyPreferredLocalizationsFromArray(const std::vector<std::string>& localizations);

} // namespace cf
