// Names for diagnosis: the framebuffer driver's selectors and the statuses of its
// vertical-blank signal.
#pragma once

#include <cstdint>
#include <string>

namespace server {

// stringWithIOKitScalarMethodSelector: "kQNExUCOpen" ... "kQNExUCEnableWithResolutions" for
// 0-8, "selector: 0x%08X" otherwise.
std::string stringWithIOKitScalarMethodSelector(uint32_t selector);
// "kIOReturnOffline", "kIOReturnNoInterrupt" or "Unexpected kernel return: %d".
std::string vblNotifyStatusName(int32_t status);

} // namespace server
