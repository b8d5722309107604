// The event system's class-side queries that the screen server reads.
#pragma once

#include "platform/coregraphics/CGGeometry.h"

namespace appkit {

class NSEvent {
  public:
    // The pointer's location in Cocoa global points: origin at the main display's bottom-left,
    // y up (the window server's location, y flipped by the main display's height).
    static cg::CGPoint mouseLocation();
};

} // namespace appkit
