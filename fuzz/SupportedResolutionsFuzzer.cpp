// The bundle's "SupportedResolutions.plist" as the server reads it (XML or binary): entries
// that read have finite sides from 0 to 65535, and the choice for any screen size is a passing
// entry that fits, or the default.
#include "fuzz/FuzzSupport.h"
#include "platform/corefoundation/PropertyList.h"
#include "server/SupportedResolutions.h"

#include <cmath>
#include <string_view>

using namespace server;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::QuietLog quiet;
    const std::vector<uint8_t> bytes(data, data + size);
    auto value =
        cf::propertyListFromData(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    if (!value) return 0;
    const auto entries = supportedResolutionsFromValue(*value);
    FUZZ_CHECK(entries.has_value() == (value->asArray() != nullptr), "an array refused or a non-array read");
    if (!entries) return 0;
    FUZZ_CHECK(entries->size() <= value->asArray()->size(), "more entries than the array holds");
    for (const auto& entry : *entries) {
        FUZZ_CHECK(std::isfinite(entry.width) && entry.width >= 0 && entry.width <= 65535, entry.description);
        FUZZ_CHECK(std::isfinite(entry.height) && entry.height >= 0 && entry.height <= 65535,
                   entry.description);
        // What reads writes back as a dictionary the same checks take again.
        auto again = supportedResolutionsFromValue(cf::Value(cf::Array{entry.dictionary()}));
        FUZZ_CHECK(again && again->size() == 1 && again->front().width == entry.width &&
                       again->front().height == entry.height && again->front().modeID == entry.modeID,
                   "an entry that does not read back");
    }
    const cg::CGSize sizes[] = {{0, 0}, {1024, 768}, {2732, 2048}, {65535, 65535}, {768, 0}, {-1, 5}};
    for (const auto& screen : sizes) {
        const SupportedResolution best = findBestSupportedResolution(entries, screen);
        const SupportedResolution fallback = defaultSupportedResolution();
        const bool isDefault = best.width == fallback.width && best.height == fallback.height &&
                               best.modeID == fallback.modeID && best.description == fallback.description;
        FUZZ_CHECK(isDefault || (best.width <= screen.width && best.height <= screen.height),
                   "a choice larger than the screen");
    }
    return 0;
}
