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
    config.displayAliases = profile.graphicsMultiplexer ? 2 : 1;
    if (auto last = profile.dictionary.find("MainDisplayLast"); last != profile.dictionary.end()) {
        if (auto b = last->second.asBool())
            config.mainDisplayLast = *b;
        else
            platform::log("windowserver: profile MainDisplayLast is not a boolean; ignored");
    }
    if (auto aliases = profile.dictionary.find("DisplayAliases"); aliases != profile.dictionary.end()) {
        auto n = aliases->second.storedInteger();
        if (n && *n >= 1 && *n <= 8)
            config.displayAliases = uint32_t(*n);
        else
            platform::log("windowserver: profile DisplayAliases is not a number from 1 to 8; using %u",
                          config.displayAliases);
    }
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
    uint32_t serial = m.serial;
    readNumber(main, "SerialNumber", 0, UINT32_MAX, serial);
    // The virtual displays' serials are 0x9973xxxx; the built-in panel must not pass for one.
    if ((serial & 0xFFFF0000u) == 0x99730000u)
        platform::log(
            "windowserver: profile MainDisplay SerialNumber 0x%08x is a virtual display's; using 0x%08x",
            serial, m.serial);
    else
        m.serial = serial;
    readNumber(main, "Scale", 1, 2, m.scale);
    if (const cf::Value* name = main.find("Name")) {
        if (const std::string* s = name->asString(); s && !s->empty() && s->size() < 128)
            m.name = *s;
        else
            platform::log("windowserver: profile MainDisplay Name is not a short text; using \"%@\"", m.name);
    }
    return config;
}

} // namespace windowserver
