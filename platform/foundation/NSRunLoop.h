// NSRunLoop: the Foundation face of a thread's run loop (dispatch::RunLoop underneath).
// Dates are points on the process clock: platform::now() + platform::seconds(1.0), or
// platform::kDistantFuture.
#pragma once

#include "platform/core/Clock.h"
#include "platform/dispatch/RunLoop.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace ns {

class NSTimer;

inline constexpr std::string_view NSDefaultRunLoopMode = dispatch::kDefaultRunLoopMode;
inline constexpr std::string_view NSRunLoopCommonModes = dispatch::kCommonRunLoopModes;
inline constexpr std::string_view NSModalPanelRunLoopMode = dispatch::kModalPanelRunLoopMode;
inline constexpr std::string_view NSEventTrackingRunLoopMode = dispatch::kEventTrackingRunLoopMode;

class NSRunLoop {
  public:
    // One object per thread's loop, so they compare by pointer.
    static std::shared_ptr<NSRunLoop> currentRunLoop();
    static std::shared_ptr<NSRunLoop> mainRunLoop();

    std::string currentMode() const; // empty when not running
    void addTimer(const std::shared_ptr<NSTimer>& timer, std::string_view mode);

    // Default mode until stopped (CFRunLoopStop), even with nothing to do.
    void run();
    void runUntilDate(platform::TimePoint limit);
    // Serves what is ready in mode, waiting for work or the date first.
    bool runModeBeforeDate(std::string_view mode, platform::TimePoint limit);

    // Thread-safe: block runs on this loop's thread when it runs one of modes.
    void performInModes(const dispatch::RunLoopModes& modes, std::function<void()> block);
    void performBlock(std::function<void()> block); // common modes

    const std::shared_ptr<dispatch::RunLoop>& getCFRunLoop() const { return m_loop; }

    explicit NSRunLoop(std::shared_ptr<dispatch::RunLoop> loop) : m_loop(std::move(loop)) {}

  private:
    std::shared_ptr<dispatch::RunLoop> m_loop;
};

} // namespace ns
