// What the drive program's modes share: the display and encoder a session would have, the
// client's end of the socket, the window it draws, and the run loop of the refresh callbacks.
#pragma once

#include "tools/encoderdrive/CaptureSocket.h"

#include "capture/QNBVellEncoderProtocol.h"
#include "display/QNBDisplaySet.h"
#include "regions/DirtyRectangleManager.h"

#include "platform/core/Clock.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace capture {
class QNNetOutboundRTPSocket;
} // namespace capture

namespace encoderdrive {

// Update requests come as a client's do; the window is drawn anew ten times a second.
constexpr double kRequestInterval = 1.0 / 30.0;
constexpr double kDrawInterval = 0.1;
// The longest the encoder may take to settle once drawing stopped.
constexpr double kSettleLimit = 15.0;

// Draws the hook's window with new content somewhere else on the display.
class Painter {
  public:
    explicit Painter(cg::CGRect bounds) : m_bounds(bounds) {}
    bool draw();
    // Moves the window a little; answers how far, or nothing when it did not move.
    std::optional<cg::CGPoint> move();
    void erase();
    cg::CGRect window() const { return m_window; }

  private:
    cg::CGRect m_bounds;
    cg::CGRect m_window = cg::CGRectZero;
    int64_t m_step = 0;
};

struct RefreshFeed {
    std::shared_ptr<capture::QNBVellEncoderProtocol> encoder;
    cg::CGRect bounds;
    double scale = 1.0;
    size_t callbacks = 0;
};

struct Drive {
    uint32_t displayID = 0;
    double seconds = 3;
    std::shared_ptr<display::QNBDisplaySet> set;
    std::shared_ptr<display::QNBDisplay> display;
    std::shared_ptr<CaptureSocket> socket = std::make_shared<CaptureSocket>();
    // The socket the encoder writes to: the capture socket, or the RTP mode's own.
    std::shared_ptr<net::QNNetSocketProtocol> encoderSocket = socket;
    RefreshFeed feed;
    std::unique_ptr<Painter> painter;

    // How a mode answers an update request instead (the RTP mode brackets each one).
    std::function<void()> answer;
    // Whether the painter's moves reach the display's queue as moves. The RTP encoder skips
    // moved rectangles (a session over RTP never queues one), so for it the window is redrawn.
    bool handsMoves = true;

    // One update request answered as the session answers it.
    void request() {
        if (answer) return answer();
        std::lock_guard lock(*socket);
        feed.encoder->encodeFrame(0, false, display, 0x20);
    }
    // For the drive's seconds: the window drawn anew (or moved, the move handed to the display's
    // rectangle manager as a session's own move) and updates asked for, each followed by
    // read, which answers why to stop (empty to go on). Answers why it stopped early.
    std::optional<std::string> drawAndRequest(const std::function<std::string()>& read);
};

// Serves the main run loop (the refresh callbacks) at least once, then until the deadline.
void serveUntil(platform::TimePoint deadline);
// Prints the reason as the program's one line; answers 1.
int failure(const std::string& why);

int driveH264(Drive& d);
// The RTP mode (DriveRTP.cpp): its socket, made before the encoder is given one; null when it
// could not be made.
std::shared_ptr<capture::QNNetOutboundRTPSocket> rtpSocket();
int driveRTP(Drive& d);
// The audio mode (DriveAudio.cpp): no display, no platformd.
int driveAudio(double seconds);

} // namespace encoderdrive
