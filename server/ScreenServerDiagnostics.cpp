#include "server/ScreenServerDiagnostics.h"

#include "server/ScreenServer.h"

#include "platform/core/Format.h"
#include "platform/coregraphics/CGDirectDisplay.h"

#include <array>
#include <cstdio>

namespace server {

namespace {

constexpr int32_t kIOReturnOffline = static_cast<int32_t>(0xE00002D7);
constexpr int32_t kIOReturnNoInterrupt = static_cast<int32_t>(0xE00002DF);

} // namespace

std::string stringWithIOKitScalarMethodSelector(uint32_t selector) {
    static constexpr std::array<const char*, 9> kNames = {
        "kQNExUCOpen",           "kQNExUCClose",       "kQNExUCEnableWithResolution",
        "kQNExUCDisable",        "kQNExUCFBAddress",   "kQNExQueryMouseStatus",
        "kQNExQueryMouseCursor", "kQNExUCBytesPerRow", "kQNExUCEnableWithResolutions"};
    if (selector < kNames.size()) return kNames[selector];
    char text[32];
    std::snprintf(text, sizeof text, "selector: 0x%08X", selector);
    return text;
}

std::string vblNotifyStatusName(int32_t status) {
    if (status == kIOReturnOffline) return "kIOReturnOffline";
    if (status == kIOReturnNoInterrupt) return "kIOReturnNoInterrupt";
    return platform::format("Unexpected kernel return: %d", status);
}

// A display dump for diagnosis: the main display, then at most three active displays.
void ScreenServer::dumpDisplayInfo() {
    constexpr uint32_t kMaxDisplays = 3;
    auto flag = [](bool value) { return value ? "true" : "false"; };
    const cg::CGDirectDisplayID mainDisplay = cg::CGMainDisplayID();
    std::printf("Main Display ID                :0x%x (%d)\n", mainDisplay, mainDisplay);
    cg::CGDirectDisplayID displays[kMaxDisplays] = {};
    uint32_t count = 0;
    if (cg::CGGetActiveDisplayList(kMaxDisplays, displays, &count) != 0) count = 0;
    for (uint32_t i = 0; i < count && i < kMaxDisplays; ++i) {
        const cg::CGDirectDisplayID d = displays[i];
        const cg::CGSize size = cg::CGDisplayScreenSize(d);
        std::printf("Display ID [%d]                 :0x%x (%d)\n", i, d, d);
        std::printf("Vendor                         :0x%x (%d)\n", cg::CGDisplayVendorNumber(d),
                    cg::CGDisplayVendorNumber(d));
        std::printf("Model Number                   :0x%x (%d)\n", cg::CGDisplayModelNumber(d),
                    cg::CGDisplayModelNumber(d));
        std::printf("Serial Number                  :%d\n", cg::CGDisplaySerialNumber(d));
        std::printf("Width                          :%f mm\n", size.width);
        std::printf("Height                         :%f mm\n", size.height);
        std::printf("CGDisplayPixelsWide            :%d pixels\n",
                    static_cast<int>(cg::CGDisplayPixelsWide(d)));
        std::printf("CGDisplayPixelsHigh            :%d pixels\n",
                    static_cast<int>(cg::CGDisplayPixelsHigh(d)));
        std::printf("CGDisplayIsActive              :%s\n", flag(cg::CGDisplayIsActive(d)));
        std::printf("CGDisplayIsAsleep              :%s\n", flag(cg::CGDisplayIsAsleep(d)));
        std::printf("CGDisplayIsOnline              :%s\n", flag(cg::CGDisplayIsOnline(d)));
        std::printf("CGDisplayIsMain                :%s\n", flag(cg::CGDisplayIsMain(d)));
        std::printf("CGDisplayIsBuiltin             :%s\n", flag(cg::CGDisplayIsBuiltin(d)));
        std::printf("CGDisplayIsInMirrorSet         :%s\n", flag(cg::CGDisplayIsInMirrorSet(d)));
        std::printf("CGDisplayIsAlwaysInMirrorSet   :%s\n", flag(cg::CGDisplayIsAlwaysInMirrorSet(d)));
        std::printf("CGDisplayIsInHWMirrorSet       :%s\n", flag(cg::CGDisplayIsInHWMirrorSet(d)));
        std::printf("CGDisplayMirrorsDisplay        :%s\n",
                    flag(cg::CGDisplayMirrorsDisplay(d) != cg::kCGNullDirectDisplay));
        std::printf("CGDisplayUsesOpenGLAcceleration:%s\n", flag(cg::CGDisplayUsesOpenGLAcceleration(d)));
        std::printf("CGDisplayIsStereo              :%s\n", flag(cg::CGDisplayIsStereo(d)));
        std::printf("CGDisplayPrimaryDisplay        :%s\n",
                    flag(cg::CGDisplayPrimaryDisplay(d) != cg::kCGNullDirectDisplay));
        std::printf("CGDisplayUnitNumber            :%d\n", cg::CGDisplayUnitNumber(d));
        std::printf("CGDisplayRotation              :%f\n", cg::CGDisplayRotation(d));
    }
    std::fflush(stdout);
}

} // namespace server
