// The narrow face of the mediator that a session talks to. The mediator implements it; a
// session without a mediator answers as if its mediator had no active session and did
// nothing. Keep it narrow: only what a session (or its activation, capture and cursor loop)
// asks of the mediator goes here.
#pragma once

#include "platform/corefoundation/Error.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace server {

class ScreenServer;
class QNBDisplaySet;

class ScreenServerMediatorInterface {
  public:
    virtual ~ScreenServerMediatorInterface() = default;

    // How many sessions are active (isActive) now.
    virtual uint64_t activeServerCount() = 0;
    // Switches the session's virtual display off through the driver client. The session holds
    // its frameBufferLock during the call.
    virtual void disableDisplay(ScreenServer& server) = 0;
    // screenServer:enableDisplayWithDisplayModes:modeCount:error: the session's new display
    // set, or nil.
    virtual std::shared_ptr<QNBDisplaySet> enableDisplayWithDisplayModes(ScreenServer& server,
                                                                         const int* modes, size_t modeCount,
                                                                         platform::Error* error) {
        (void)server, (void)modes, (void)modeCount, (void)error;
        return nullptr;
    }
};

} // namespace server
