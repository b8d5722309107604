#include "display/DisplayInformation.h"

#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "platform/foundation/CFBundleLocalization.h"
#include "platform/iokit/IOGraphicsLib.h"

#include <array>
#include <cstring>

namespace display {

std::optional<cf::Value> copyDisplayInformation(CGDirectDisplayID display, uint32_t options) {
    const iokit::io_service_t service = cg::CGDisplayIOServicePort(display);
    if (service == 0) return std::nullopt;
    std::optional<cf::Value> info = iokit::IODisplayCreateInfoDictionary(service, options);
    iokit::IOObjectRelease(service);
    if (!info || !info->isDictionary()) return std::nullopt;
    return info;
}

int64_t framebufferIndexFromLocation(std::string_view location) {
    const std::string_view prefix = kQNExDisplayLocationPrefix;
    if (location.substr(0, prefix.size()) != prefix) return -1;
    const std::string_view rest = location.substr(prefix.size());
    const size_t slash = rest.find('/');
    if (slash == std::string_view::npos || slash == 0 || slash > 5) return -1;
    int64_t index = 0;
    for (char c : rest.substr(0, slash)) {
        if (c < '0' || c > '9') return -1;
        index = index * 10 + (c - '0');
    }
    return index <= 65535 ? index : -1;
}

std::optional<std::string> localizedDisplayName(const cf::Value& names) {
    const cf::Dictionary* dictionary = names.asDictionary();
    if (!dictionary) return std::nullopt;
    const auto nameFor = [&](const std::optional<std::string>& localization) -> std::optional<std::string> {
        if (!localization) return std::nullopt;
        auto found = dictionary->find(*localization);
        if (found == dictionary->end() || !found->second.asString()) return std::nullopt;
        return *found->second.asString();
    };

    const std::optional<std::string> language = cf::CFBundleCopyLocalizationForLocalizationInfo(
        cf::kCFBundleUserLanguageCode, cf::kCFBundleNoCode, cf::kCFBundleNoCode, 0);
    const std::optional<std::string> languageAndRegion = cf::CFBundleCopyLocalizationForLocalizationInfo(
        cf::kCFBundleUserLanguageCode, cf::kCFBundleUserRegionCode, cf::kCFBundleNoCode, 0);
    std::optional<std::string> name = nameFor(language);
    if (!name && language && languageAndRegion) name = nameFor(languageAndRegion);
    if (name) return name;

    std::vector<std::string> keys;
    for (const auto& [key, value] : *dictionary)
        keys.push_back(key);
    const std::vector<std::string> preferred = cf::CFBundleCopyPreferredLocalizationsFromArray(keys);
    if (preferred.empty()) return std::nullopt;
    return nameFor(preferred.front());
}

std::optional<std::string> firstProductName(const std::optional<cf::Value>& info) {
    const cf::Value* names = info ? info->find(iokit::kDisplayProductName) : nullptr;
    const cf::Dictionary* dictionary = names ? names->asDictionary() : nullptr;
    if (!dictionary || dictionary->empty() || !dictionary->begin()->second.asString()) return std::nullopt;
    return *dictionary->begin()->second.asString();
}

std::optional<std::string> localizedProductName(const std::optional<cf::Value>& info) {
    const cf::Value* names = info ? info->find(iokit::kDisplayProductName) : nullptr;
    if (!names || !names->asDictionary()) return std::nullopt;
    return localizedDisplayName(*names);
}

int64_t framebufferIndexFromInformation(const std::optional<cf::Value>& info) {
    const cf::Value* location = info ? info->find(iokit::kIODisplayLocationKey) : nullptr;
    if (!location || !location->asString()) return -1;
    return framebufferIndexFromLocation(*location->asString());
}

std::optional<cf::Value> modeDictionary(CGDirectDisplayID display, int32_t modeNumber) {
    std::array<uint8_t, kDisplayModeDescriptionLength> description{};
    if (cg::CGSGetDisplayModeDescriptionOfLength(display, modeNumber, description.data(),
                                                 int32_t(description.size())) != cg::kCGErrorSuccess)
        return std::nullopt;
    return QNBScreen::newModeFromModeDescription(description.data(), description.size());
}

std::optional<cf::Value> currentModeDictionary(CGDirectDisplayID display) {
    int32_t number = 0;
    if (cg::CGSGetCurrentDisplayMode(display, &number) != cg::kCGErrorSuccess) return std::nullopt;
    return modeDictionary(display, number);
}

} // namespace display
