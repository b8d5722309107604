// What the window server tells about one display: identity, place on the desktop, mode and
// pacing. The record travels over platformd's socket as a property-list dictionary.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/coregraphics/CGGeometry.h"

#include <cstdint>
#include <optional>
#include <string>

namespace windowserver {

struct DisplayInfo {
    uint32_t displayID = 0;
    cg::CGRect bounds; // CG global points
    uint32_t serialNumber = 0;
    uint32_t vendorNumber = 0;
    uint32_t modelNumber = 0;
    std::string name;
    std::string location; // "IODisplayLocation": the framebuffer's registry path
    uint64_t vblankCount = 0;
    bool builtIn = false;
    int32_t ioModeID = 0; // the driver's current mode; 0 for the main display
    uint32_t pixelsWide = 0;
    uint32_t pixelsHigh = 0;
    uint64_t bytesPerRow = 0;
    bool ownBuffer = false; // composed into a window-server buffer, not the aperture
    bool online = true;     // false: a removed display's last record (its identity still answers)
    bool main = false;
    uint32_t unit = 0;     // main 0, framebuffer i: i + 1
    uint32_t mirrorOf = 0; // the master this display mirrors, else 0
    bool mirrored = false; // a master with mirrors
    double scale = 1.0;    // the current mode's backing scale
    uint32_t widthMM = 0;  // from EDID
    uint32_t heightMM = 0;

    cf::Value toValue() const;
    // Nothing when a key is missing or of the wrong kind.
    static std::optional<DisplayInfo> fromValue(const cf::Value& value);
};

} // namespace windowserver
