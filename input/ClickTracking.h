// The process-wide click tracking of the mouse and tap handlers: the last down and up times
// (and, for taps, points) that decide click states. Every session's handlers share it, from
// their own queues, so it has a lock of its own.
#pragma once

#include "platform/coregraphics/CGGeometry.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>

namespace input {

class ClickTracking {
  public:
    // A down or up within this long of its partner counts as one click (the single-precision 0.2).
    static constexpr double kClickSeconds = static_cast<double>(0.2f);
    static constexpr double kDoubleClickDistance = 20.0;
    static constexpr double kClickDistance = 10.0;

    static ClickTracking& shared();

    // A mouse datagram's button i (0 left, 1 right) went down or up at now (host-clock
    // nanoseconds): the click state to set, if any.
    std::optional<int64_t> mouseButtonChanged(int button, bool pressed, uint64_t now);

    struct TapClick {
        std::optional<int64_t> clickState;
        cg::CGPoint location; // where the event goes (an up may move onto its down point)
    };
    // A tap's down or up event at point.
    TapClick tapChanged(bool down, cg::CGPoint point, uint64_t now);

    void reset();

  private:
    static double secondsBetween(uint64_t earlier, uint64_t now);

    std::mutex m_mutex;
    std::array<uint64_t, 2> m_mouseDown{};
    std::array<uint64_t, 2> m_mouseUp{};
    uint64_t m_tapDown = 0, m_tapUp = 0;
    cg::CGPoint m_tapDownPoint, m_tapUpPoint;
};

} // namespace input
