// The running system's version as one number, 0x00MMmmbb (10.6.5 is 0x0A0605), for the
// version gates across the programs.
#pragma once

#include "foundation/Gestalt.h"

#include <cstdint>
#include <functional>

namespace foundation {

using GestaltFunction = std::function<OSErr(OSType selector, SInt32* response)>;

uint32_t BCDSystemVersionFunction();
// The application category's name for the same number.
inline uint32_t BCDSystemVersion() { return BCDSystemVersionFunction(); }
// The same over another source of answers.
uint32_t BCDSystemVersionFromGestalt(const GestaltFunction& gestalt);

} // namespace foundation
