// NSTimer: a run-loop timer made by block or by weak target and method. A timer whose target
// has gone invalidates itself instead of firing.
#pragma once

#include "platform/dispatch/RunLoopTimer.h"

#include <functional>
#include <memory>

namespace ns {

class NSTimer : public dispatch::RunLoopTimer {
  public:
    using Block = std::function<void(NSTimer&)>;

    // Scheduled on the current thread's run loop in the default mode. A non-positive interval
    // is taken as 0.1 ms.
    static std::shared_ptr<NSTimer> scheduledTimerWithTimeInterval(double interval, bool repeats,
                                                                   Block block);
    template <typename T>
    static std::shared_ptr<NSTimer>
    scheduledTimerWithTimeInterval(double interval, const std::shared_ptr<T>& target,
                                   void (T::*selector)(NSTimer&), bool repeats) {
        return scheduledTimerWithTimeInterval(interval, repeats, bindWeak(target, selector));
    }
    // Not scheduled: add it with NSRunLoop::addTimer.
    static std::shared_ptr<NSTimer> timerWithTimeInterval(double interval, bool repeats, Block block);
    template <typename T>
    static std::shared_ptr<NSTimer> timerWithTimeInterval(double interval, const std::shared_ptr<T>& target,
                                                          void (T::*selector)(NSTimer&), bool repeats) {
        return timerWithTimeInterval(interval, repeats, bindWeak(target, selector));
    }

    double timeInterval() const; // 0 for a one-shot timer

    NSTimer(double interval, bool repeats, Block block);

  private:
    template <typename T>
    static Block bindWeak(const std::shared_ptr<T>& target, void (T::*selector)(NSTimer&)) {
        std::weak_ptr<T> weak = target;
        return [weak, selector](NSTimer& timer) {
            if (auto strong = weak.lock()) {
                ((*strong).*selector)(timer);
            } else {
                timer.invalidate();
            }
        };
    }
};

} // namespace ns
