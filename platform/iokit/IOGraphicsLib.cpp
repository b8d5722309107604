#include "platform/iokit/IOGraphicsLib.h"

namespace iokit {

namespace {

// Kept in step with windowserver::kDisplayInformationKey (the window server writes it).
constexpr char kDisplayInformationKey[] = "IODisplayInformation";

} // namespace

std::optional<cf::Value> IODisplayCreateInfoDictionary(io_service_t framebufferOrDisplay, uint32_t) {
    if (!framebufferOrDisplay) return std::nullopt;
    auto info = IORegistryEntryCreateCFProperty(framebufferOrDisplay, kDisplayInformationKey);
    if (!info || !info->isDictionary()) return std::nullopt;
    return info;
}

} // namespace iokit
