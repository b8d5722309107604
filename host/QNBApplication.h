// Tessel Host's application class. It adds nothing: it is the program's principal class, so
// that the application object is the host's own type from the first moment of launch.
#pragma once

#include "platform/appkit/NSApplication.h"

namespace host {

class QNBApplication final : public appkit::NSApplication {};

} // namespace host
