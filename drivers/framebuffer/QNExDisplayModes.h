// The driver-wide display-mode table: index = mode id, 1 to 442 offered, 0 a dummy row,
// 7 the hidden 1 x 1 placeholder an uncaptured framebuffer reports as current.
#pragma once

#include "platform/kernel/IOGraphicsTypes.h"

#include <atomic>
#include <cstdint>

namespace drivers {

inline constexpr kernel::IODisplayModeID kQNExFirstModeID = 1;
inline constexpr kernel::IODisplayModeID kQNExLastModeID = 442;
inline constexpr uint32_t kQNExModeTableSize = kQNExLastModeID + 1;
inline constexpr kernel::IODisplayModeID kQNExPlaceholderModeID = 7;
inline constexpr kernel::IODisplayModeID kQNExUncapturedModeID = 441;
// The largest mode the VRAM holds (3010 x 3010); 441 and 442 exceed it.
inline constexpr kernel::IODisplayModeID kQNExVRAMSizingModeID = 432;

// Valid, safe and valid for high resolution: the flags of every offered mode.
inline constexpr uint32_t modeFlags =
    kernel::kDisplayModeValidFlag | kernel::kDisplayModeSafeFlag | kernel::kDisplayModeValidForHiResFlag;

// Filled when the kext loads; never changed afterwards.
extern kernel::IODisplayModeInformation gProxyDisplayModes[kQNExModeTableSize];
// 442 when loaded; every enable of any framebuffer sets it to 1.
extern std::atomic<uint32_t> gProxyDisplayModeCount;

inline bool isTableModeID(kernel::IODisplayModeID id) {
    return id >= 0 && id <= kQNExLastModeID;
}
inline bool isOfferedModeID(kernel::IODisplayModeID id) {
    return id >= kQNExFirstModeID && id <= kQNExLastModeID;
}

} // namespace drivers
