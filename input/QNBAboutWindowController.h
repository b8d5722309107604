// The screen server's About window: a controller of the window nib "AboutTesselHelper" (a
// titled, closable 320 x 180 window titled "About TesselHelper" showing the program's name, its
// short version and a copyright line). The controller adds nothing to the base class.
#pragma once

#include "platform/appkit/NSWindowController.h"

namespace input {

class QNBAboutWindowController : public appkit::NSWindowController {
  public:
    // initWithWindowNibName: ("AboutTesselHelper" for the program's).
    using appkit::NSWindowController::NSWindowController;
    // Defined beside the nib, so that whoever makes a controller links the nib's registration.
    void windowDidLoad() override;
};

// The nib's name in the registry.
inline constexpr const char* kAboutTesselHelperNibName = "AboutTesselHelper";

} // namespace input
