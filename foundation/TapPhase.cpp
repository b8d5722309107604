#include "foundation/TapPhase.h"

namespace foundation {

uint32_t TapPhaseForTapType(uint32_t tapType) {
    constexpr uint32_t kLastTapType = 11;
    if (tapType > kLastTapType) return kTapPhaseNone;
    return tapType % 3 + 1;
}

} // namespace foundation
