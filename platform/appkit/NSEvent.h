// NSEvent's class-side state the screen server and the input code read.
#pragma once

#include "platform/coregraphics/CGGeometry.h"

namespace appkit {

class NSEvent {
  public:
    // The pointer's location in Cocoa global points: origin at the main display's bottom-left,
    // y up (the window server's location, y flipped by the main display's height).
    static cg::CGPoint mouseLocation();
    // The global domain's "com.apple.mouse.doubleClickThreshold" when it is a positive number,
    // else 0.5 s.
    static double doubleClickInterval();
};

} // namespace appkit
