#include "server/ScreenServerDiagnostics.h"

#include "platform/core/Format.h"

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

} // namespace server
