#include "platform/windowserver/WindowServerConfig.h"

#include "platform/core/Log.h"

namespace windowserver {

namespace {

// Larger than any panel, small enough that a row of pixels stays far from overflow.
constexpr int64_t kMaxDisplaySide = 16384;

void readNumber(const cf::Value& dictionary, std::string_view key, int64_t min, int64_t max, uint32_t& out) {
    const cf::Value* v = dictionary.find(key);
    if (!v) return;
    auto n = v->storedInteger();
    if (!n || *n < min || *n > max) {
        platform::log("windowserver: profile MainDisplay %@ is not a number from %lld to %lld; using %u", key,
                      static_cast<long long>(min), static_cast<long long>(max), out);
        return;
    }
    out = static_cast<uint32_t>(*n);
}

} // namespace

WindowServerConfig WindowServerConfig::fromProfile(const platform::Profile& profile) {
    WindowServerConfig config;
    auto it = profile.dictionary.find("MainDisplay");
    if (it == profile.dictionary.end()) return config;
    const cf::Value& main = it->second;
    if (!main.isDictionary()) {
        platform::log("windowserver: profile MainDisplay is not a dictionary; using the defaults");
        return config;
    }
    MainDisplayConfig& m = config.mainDisplay;
    readNumber(main, "Width", 1, kMaxDisplaySide, m.width);
    readNumber(main, "Height", 1, kMaxDisplaySide, m.height);
    readNumber(main, "VendorID", 0, UINT32_MAX, m.vendor);
    readNumber(main, "ProductID", 0, UINT32_MAX, m.product);
    readNumber(main, "SerialNumber", 0, UINT32_MAX, m.serial);
    if (const cf::Value* name = main.find("Name")) {
        if (const std::string* s = name->asString(); s && !s->empty() && s->size() < 128)
            m.name = *s;
        else
            platform::log("windowserver: profile MainDisplay Name is not a short text; using \"%@\"", m.name);
    }
    return config;
}

} // namespace windowserver
