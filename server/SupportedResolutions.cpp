#include "server/SupportedResolutions.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/foundation/NSBundle.h"

#include <cfloat>
#include <cmath>
#include <limits>

namespace server {

namespace {

// A number read from the key; nothing when it is missing or not a number (booleans are not).
std::optional<double> numberAt(const cf::Value& entry, const char* key) {
    const cf::Value* value = entry.find(key);
    if (!value || !value->isNumber()) return std::nullopt;
    return value->doubleValue();
}

// An integer read from the key when it is a number holding an integral value that fits.
std::optional<int64_t> integerAt(const cf::Value& entry, const char* key, int64_t low, int64_t high) {
    auto number = numberAt(entry, key);
    if (!number || !std::isfinite(*number) || *number != std::trunc(*number)) return std::nullopt;
    if (*number < static_cast<double>(low) || *number > static_cast<double>(high)) return std::nullopt;
    return static_cast<int64_t>(*number);
}

// A side length: missing or wrongly typed reads as 0; a number that is not finite or lies
// outside 0 to 65535 makes the entry unusable.
bool readSide(const cf::Value& entry, const char* key, float* side) {
    auto number = numberAt(entry, key);
    if (!number) {
        *side = 0;
        return true;
    }
    if (!std::isfinite(*number) || *number < 0 || *number > 65535) return false;
    *side = static_cast<float>(*number);
    return true;
}

bool passesVersionFilter(const SupportedResolution& entry) {
    return entry.majorVersion < 3 || (entry.minorVersion == 3 && entry.patchVersion < 2);
}

} // namespace

cf::Value SupportedResolution::dictionary() const {
    return cf::Dictionary{{"width", cf::Value(width)},
                          {"height", cf::Value(height)},
                          {"modeID", cf::Value(modeID)},
                          {"description", cf::Value(description)}};
}

SupportedResolution defaultSupportedResolution() {
    SupportedResolution entry;
    entry.width = 1024.0f;
    entry.height = 768.0f;
    entry.modeID = 1;
    entry.description = "1024x768";
    return entry;
}

std::optional<std::vector<SupportedResolution>> supportedResolutionsFromValue(const cf::Value& value) {
    const cf::Array* array = value.asArray();
    if (!array) {
        platform::log("SupportedResolutions.plist is not an array; using %s",
                      defaultSupportedResolution().description);
        return std::nullopt;
    }
    std::vector<SupportedResolution> entries;
    for (size_t i = 0; i < array->size(); ++i) {
        const cf::Value& item = (*array)[i];
        if (!item.isDictionary()) {
            platform::log("SupportedResolutions.plist entry %lu is not a dictionary; skipped", i);
            continue;
        }
        SupportedResolution entry;
        if (!readSide(item, "width", &entry.width) || !readSide(item, "height", &entry.height)) {
            platform::log("SupportedResolutions.plist entry %lu has no usable width or height; skipped", i);
            continue;
        }
        entry.modeID = static_cast<int32_t>(integerAt(item, "modeID", std::numeric_limits<int32_t>::min(),
                                                      std::numeric_limits<int32_t>::max())
                                                .value_or(0));
        if (const cf::Value* description = item.find("description"); description && description->asString())
            entry.description = *description->asString();
        if (const cf::Value* version = item.find("supportedVersion"); version && version->isDictionary()) {
            constexpr int64_t kMin = std::numeric_limits<int64_t>::min() / 2;
            constexpr int64_t kMax = std::numeric_limits<int64_t>::max() / 2;
            entry.majorVersion = integerAt(*version, "majorVersion", kMin, kMax).value_or(0);
            entry.minorVersion = integerAt(*version, "minorVersion", kMin, kMax).value_or(0);
            entry.patchVersion = integerAt(*version, "patchVersion", kMin, kMax).value_or(0);
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::optional<std::vector<SupportedResolution>> loadSupportedResolutions() {
    auto bundle = ns::NSBundle::mainBundle();
    auto path = bundle ? bundle->pathForResource("SupportedResolutions", "plist") : std::nullopt;
    if (!path) return std::nullopt;
    platform::Error error;
    auto value = cf::readPropertyListFile(*path, &error);
    if (!value) {
        platform::log("SupportedResolutions.plist could not be read (%@); using %s", error,
                      defaultSupportedResolution().description);
        return std::nullopt;
    }
    return supportedResolutionsFromValue(*value);
}

SupportedResolution
findBestSupportedResolution(const std::optional<std::vector<SupportedResolution>>& entries, cg::CGSize size) {
    if (!entries) return defaultSupportedResolution();
    const SupportedResolution* best = nullptr;
    for (const auto& entry : *entries) {
        if (!passesVersionFilter(entry)) continue;
        const double w = entry.width;
        const double h = entry.height;
        if (w == size.width && h == size.height) return entry;
        if (w <= size.width && h <= size.height) {
            const double bestArea =
                best ? static_cast<double>(best->width) * static_cast<double>(best->height) : 0.0;
            // Only finite aspect ratios count: a zero height on either side never gives a best.
            if (w * h >= bestArea && std::fabs(size.width / size.height - w / h) < DBL_MAX) best = &entry;
        }
    }
    return best ? *best : defaultSupportedResolution();
}

} // namespace server
