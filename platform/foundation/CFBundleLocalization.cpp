#include "platform/foundation/CFBundleLocalization.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace cf {

namespace {

bool isLetters(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
}

// The language of a localization name: "fr_CA" and "fr-CA" give "fr".
std::string_view languageOf(std::string_view localization) {
    return localization.substr(0, localization.find_first_of("_-"));
}

} // namespace

UserLocalization CFBundleUserLocalization() {
    const char* lang = std::getenv("LANG");
    std::string_view text = lang ? lang : "";
    text = text.substr(0, text.find_first_of(".@")); // drop the encoding and modifier
    if (text.empty() || text == "C" || text == "POSIX") return {"en", "en_US"};
    const size_t underscore = text.find('_');
    const std::string_view language = text.substr(0, underscore);
    if (!isLetters(language)) return {"en", "en_US"};
    UserLocalization user{std::string(language), std::nullopt};
    if (underscore != std::string_view::npos && isLetters(text.substr(underscore + 1)))
        user.languageAndRegion = std::string(text);
    return user;
}

std::optional<std::string> CFBundleCopyLocalizationForLocalizationInfo(LangCode language, RegionCode region,
                                                                       ScriptCode, CFStringEncoding) {
    if (language == kCFBundleNoCode) return std::nullopt;
    UserLocalization user = CFBundleUserLocalization();
    if (region == kCFBundleNoCode) return user.language;
    return user.languageAndRegion;
}

std::vector<std::string>
CFBundleCopyPreferredLocalizationsFromArray(const std::vector<std::string>& localizations) {
    if (localizations.empty()) return {};
    const UserLocalization user = CFBundleUserLocalization();
    const auto exact = [&](std::string_view wanted) {
        return std::find(localizations.begin(), localizations.end(), wanted);
    };
    const auto ofLanguage = [&](std::string_view language) {
        return std::find_if(localizations.begin(), localizations.end(), [&](const std::string& localization) {
            return languageOf(localization) == language;
        });
    };

    std::vector<std::vector<std::string>::const_iterator> tries;
    if (user.languageAndRegion) tries.push_back(exact(*user.languageAndRegion));
    tries.push_back(exact(user.language));
    tries.push_back(ofLanguage(user.language));
    tries.push_back(exact("en_US"));
    tries.push_back(exact("en"));
    tries.push_back(exact("English"));
    tries.push_back(ofLanguage("en"));
    for (auto found : tries)
        if (found != localizations.end()) return {*found};
    return {localizations.front()};
}

} // namespace cf
