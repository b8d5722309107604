// What the window server boots with: the main display of the stand-in Mac, from the profile's
// "MainDisplay" dictionary (keys Width, Height, Name, VendorID, ProductID, SerialNumber).
#pragma once

#include "platform/corefoundation/Profile.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace windowserver {

struct MainDisplayConfig {
    uint32_t width = 1440;
    uint32_t height = 900;
    std::string name = "Built-in Display";
    // Stand-in identity of the built-in panel; its serial stays clear of the virtual
    // displays' 0x9973xxxx, so nothing takes it for one of them.
    uint32_t vendor = 0x7A11;
    uint32_t product = 0x0001;
    uint32_t serial = 0x00010001;
    // "Scale" 2: the points as given, pixels doubled, starting in the HiDPI twin.
    uint32_t scale = 1;
};

struct WindowServerConfig {
    MainDisplayConfig mainDisplay;
    // "MainDisplayLast": the main display ends the display lists (to test reordering).
    bool mainDisplayLast = false;
    // "DisplayAliases": the main display's alias count (default 2 with a graphics multiplexer).
    uint32_t displayAliases = 1;
    // Whether HiDPI twins are offered; read at every probe and listing. Null: the preference
    // "DisplayResolutionEnabled" of "com.apple.windowserver" (any user, current host).
    std::function<bool()> hiDPIEnabled;
    // Records an event-log entry (kind, API name, fields); null records nothing.
    std::function<void(std::string_view kind, std::string_view api, cf::Dictionary fields)> recordEvent;

    // A missing key keeps its default; a wrong-typed or out-of-range one too, logged.
    static WindowServerConfig fromProfile(const platform::Profile& profile);
};

} // namespace windowserver
