#include "foundation/SystemVersion.h"

namespace foundation {

namespace {
// Above this, 'sysv' cannot spell the version in BCD, so the parts are asked for one by one.
constexpr SInt32 kLargestPlainBCDVersion = 0x103F;
} // namespace

uint32_t BCDSystemVersionFromGestalt(const GestaltFunction& gestalt) {
    uint32_t major = 10, minor = 0, bugFix = 0;
    SInt32 answer = 0;
    if (gestalt(gestaltSystemVersion, &answer) != noErr) return 0x0A0000;
    if (answer > kLargestPlainBCDVersion) {
        SInt32 part = 0;
        if (gestalt(gestaltSystemVersionMajor, &part) == noErr) major = static_cast<uint32_t>(part);
        if (gestalt(gestaltSystemVersionMinor, &part) == noErr) minor = static_cast<uint32_t>(part);
        if (gestalt(gestaltSystemVersionBugFix, &part) == noErr) bugFix = static_cast<uint32_t>(part);
    } else {
        uint32_t bcd = static_cast<uint32_t>(answer);
        major = 10 * ((bcd >> 12) & 0xF) + ((bcd >> 8) & 0xF);
        minor = (bcd >> 4) & 0xF;
        bugFix = bcd & 0xF;
    }
    return (major & 0xFF) << 16 | (minor & 0xFF) << 8 | (bugFix & 0xFF);
}

uint32_t BCDSystemVersionFunction() { return BCDSystemVersionFromGestalt(Gestalt); }

} // namespace foundation
