// A timer of a run loop (what NSTimer and CFRunLoopTimer stand on). A repeating timer keeps
// its phase: fires missed while the loop was busy or away collapse into one.
#pragma once

#include "platform/core/Clock.h"

#include <functional>
#include <memory>
#include <mutex>

namespace dispatch {

class RunLoop;

class RunLoopTimer : public std::enable_shared_from_this<RunLoopTimer> {
  public:
    using Action = std::function<void(RunLoopTimer&)>;

    // interval zero (or negative): fires once.
    RunLoopTimer(platform::TimePoint fireDate, platform::Duration interval, Action action);
    virtual ~RunLoopTimer();
    RunLoopTimer(const RunLoopTimer&) = delete;
    RunLoopTimer& operator=(const RunLoopTimer&) = delete;

    // From any thread: once it returns the timer never fires again (a fire already running
    // on the loop's thread finishes). The loop lets go of the timer.
    void invalidate();
    bool isValid() const;
    platform::TimePoint fireDate() const;
    void setFireDate(platform::TimePoint date);
    platform::Duration interval() const { return m_interval; }
    bool repeats() const { return m_interval > platform::Duration::zero(); }
    // Runs the action now, outside the schedule; a one-shot timer is then invalid.
    void fire();

  private:
    friend class RunLoop;
    // The loop's fire: answers whether the action ran, and moves the fire date on.
    bool fireScheduled(platform::TimePoint now);
    void attach(const std::shared_ptr<RunLoop>& loop);

    mutable std::mutex m_mutex;
    platform::TimePoint m_fireDate;
    const platform::Duration m_interval;
    Action m_action;
    bool m_valid = true;
    std::weak_ptr<RunLoop> m_loop;
};

} // namespace dispatch
