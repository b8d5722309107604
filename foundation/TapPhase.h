// The phase of a touch from the client's tap type.
#pragma once

#include <cstdint>

namespace foundation {

enum TapPhase : uint32_t { kTapPhaseNone = 0, kTapPhaseBegan = 1, kTapPhaseMoved = 2, kTapPhaseEnded = 3 };

// Tap types 0 to 11 come in groups of three: began, moved, ended. Larger types have no phase.
uint32_t TapPhaseForTapType(uint32_t tapType);

} // namespace foundation
