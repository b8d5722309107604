// What the window server boots with: the main display of the stand-in Mac, from the profile's
// "MainDisplay" dictionary (keys Width, Height, Name, VendorID, ProductID, SerialNumber).
#pragma once

#include "platform/corefoundation/Profile.h"

#include <cstdint>
#include <string>

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
};

struct WindowServerConfig {
    MainDisplayConfig mainDisplay;

    // A missing key keeps its default; a wrong-typed or out-of-range one too, logged.
    static WindowServerConfig fromProfile(const platform::Profile& profile);
};

} // namespace windowserver
