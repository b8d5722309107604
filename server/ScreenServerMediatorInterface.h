// The narrow face of the mediator that a session talks to. The mediator implements it; a
// session without a mediator answers as if its mediator had no active session and did
// nothing. Keep it narrow: only what a session (or its activation, capture and cursor loop)
// asks of the mediator goes here.
#pragma once

#include "platform/corefoundation/Error.h"
#include "platform/coregraphics/CGGeometry.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace display {
class QNBDisplaySet;
} // namespace display

namespace appkit {
class NSCursor;
}

namespace server {

class ScreenServer;

class ScreenServerMediatorInterface {
  public:
    virtual ~ScreenServerMediatorInterface() = default;

    // How many sessions are active (isActive) now.
    virtual uint64_t activeServerCount() = 0;
    // A session's position among the mediator's (its framebuffer index); 4 when it is not one
    // of them.
    virtual int indexOfSubScreen(const ScreenServer* server) const {
        (void)server;
        return 4;
    }
    // Switches the session's virtual display off through the driver client. The session holds
    // its frameBufferLock during the call.
    virtual void disableDisplay(ScreenServer& server) = 0;
    // screenServer:enableDisplayWithDisplayModes:modeCount:error: the session's new display
    // set, or nil.
    virtual std::shared_ptr<display::QNBDisplaySet> enableDisplayWithDisplayModes(ScreenServer& server,
                                                                         const int* modes, size_t modeCount,
                                                                         platform::Error* error) {
        (void)server, (void)modes, (void)modeCount, (void)error;
        return nullptr;
    }
    // The cursor loop's driver queries for the session's display set (the driver client's).
    // Without a driver: never query.
    virtual bool shouldQueryMouseOnDisplay(const std::shared_ptr<display::QNBDisplaySet>& set) {
        (void)set;
        return false;
    }
    virtual bool mouseCursorVisibleOnDisplay(const std::shared_ptr<display::QNBDisplaySet>& set) {
        (void)set;
        return false;
    }
    // Global coordinates.
    virtual cg::CGPoint getMouseLocationOnDisplay(const std::shared_ptr<display::QNBDisplaySet>& set) {
        (void)set;
        return {};
    }
    virtual bool mouseCursorChangedOnDisplay(const std::shared_ptr<display::QNBDisplaySet>& set) {
        (void)set;
        return false;
    }
    virtual std::shared_ptr<appkit::NSCursor>
    mouseCursorOnDisplay(const std::shared_ptr<display::QNBDisplaySet>& set) {
        (void)set;
        return nullptr;
    }
    // The current system cursor's hot spot.
    virtual cg::CGPoint mouseHotspot() { return {}; }
    // Stops and resets the session and closes its panel: the display goes.
    virtual void shutdownServer(const std::shared_ptr<ScreenServer>& server) { (void)server; }
};

} // namespace server
