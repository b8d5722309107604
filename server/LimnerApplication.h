// TesselHelper's application class: the reflector panel's key shortcuts. While the key window
// mirrors an away device's display, Command-H and Command-M miniaturize it (Command-H does not
// hide the program), Command-W is the user's close and Command-Shift-= zooms it; the key-up
// carries the shortcut, so its key-down passes on untouched.
#pragma once

#include "platform/appkit/NSApplication.h"

namespace server {

class LimnerApplication : public appkit::NSApplication {
  public:
    void sendEvent(const appkit::NSEvent& event) override;
};

} // namespace server
