// The three power states the video card and each framebuffer register: off, on but not
// usable, and on and usable.
#pragma once

#include "platform/kernel/IOPMPowerState.h"
#include "platform/kernel/IOReturn.h"

namespace drivers {

inline constexpr unsigned long kQNExPowerStateCount = 3;
inline constexpr unsigned long kQNExPowerStateUsable = 2;

inline constexpr kernel::IOPMPowerState kQNExPowerStates[kQNExPowerStateCount] = {
    {kernel::kIOPMPowerStateVersion1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
    {kernel::kIOPMPowerStateVersion1, 0, 0, kernel::kIOPMPowerOn, 0, 0, 0, 0, 0, 0, 0, 0},
    {kernel::kIOPMPowerStateVersion1, kernel::kIOPMDeviceUsable, kernel::kIOPMPowerOn, kernel::kIOPMPowerOn,
     0, 0, 0, 0, 0, 0, 0, 0},
};

} // namespace drivers
