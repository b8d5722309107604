// What a reflector panel reads of its session, and what the program around it lends the panel:
// the count of visible panels, the invitation send and the cursor queries. The session is held
// weakly; the environment is plain functions, so tests give their own.
#pragma once

#include "net/SocketAddress.h"
#include "platform/coregraphics/CGGeometry.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace appkit {
class NSCursor;
} // namespace appkit

namespace display {
class QNBDisplaySet;
} // namespace display

namespace input {

class QNDesktopReflectorSession {
  public:
    virtual ~QNDesktopReflectorSession() = default;
    // The session's display set: the virtual display the panel mirrors; null when none.
    virtual std::shared_ptr<display::QNBDisplaySet> screen() const = 0;
    virtual std::optional<std::string> connectedHostName() const = 0;
    virtual std::optional<std::string> connectedDisplayName() const = 0;
    // No address (family AF_UNSPEC) when the device is not known by one.
    virtual net::SocketAddress connectedAddress() const = 0;
    virtual bool isUSB() const = 0;
};

struct QNDesktopReflectorEnvironment {
    using DisplaySet = std::shared_ptr<display::QNBDisplaySet>;
    // The number of the process's visible panels; 0 when unset.
    std::function<uint64_t()> localWindowCount;
    // Sends the device at the address the invitation to come back.
    std::function<void(const net::SocketAddress& address)> sendInvite;
    // The current system cursor's hot spot, and the cursor itself (null: none).
    std::function<cg::CGPoint(const DisplaySet& set)> mouseHotspotOnDisplay;
    std::function<std::shared_ptr<appkit::NSCursor>(const DisplaySet& set)> mouseCursorOnDisplay;
};

} // namespace input
