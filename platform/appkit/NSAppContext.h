// The application's connection to the window server: `NSApp contextID`.
#pragma once

#include <cstdint>

namespace appkit {

// The window server's connection id of this process: non-zero, never reused; 0 when no
// window server can be reached.
int32_t NSAppContextID();

} // namespace appkit
