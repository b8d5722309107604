#include "platform/dispatch/RunLoopTimer.h"

#include "platform/dispatch/RunLoop.h"

namespace dispatch {

RunLoopTimer::RunLoopTimer(platform::TimePoint fireDate, platform::Duration interval, Action action)
    : m_fireDate(fireDate),
      m_interval(interval > platform::Duration::zero() ? interval : platform::Duration::zero()),
      m_action(std::move(action)) {}

RunLoopTimer::~RunLoopTimer() = default;

void RunLoopTimer::attach(const std::shared_ptr<RunLoop>& loop) {
    std::lock_guard lock(m_mutex);
    m_loop = loop;
}

void RunLoopTimer::invalidate() {
    std::shared_ptr<RunLoop> loop;
    Action action; // released outside the lock: it may hold the last reference to a target
    {
        std::lock_guard lock(m_mutex);
        if (!m_valid) return;
        m_valid = false;
        loop = m_loop.lock();
        action = std::move(m_action);
    }
    if (loop) loop->removeTimer(this);
}

bool RunLoopTimer::isValid() const {
    std::lock_guard lock(m_mutex);
    return m_valid;
}

platform::TimePoint RunLoopTimer::fireDate() const {
    std::lock_guard lock(m_mutex);
    return m_fireDate;
}

void RunLoopTimer::setFireDate(platform::TimePoint date) {
    std::shared_ptr<RunLoop> loop;
    {
        std::lock_guard lock(m_mutex);
        m_fireDate = date;
        loop = m_loop.lock();
    }
    if (loop) loop->wakeUp();
}

void RunLoopTimer::fire() {
    Action action;
    {
        std::lock_guard lock(m_mutex);
        if (!m_valid) return;
        action = m_action;
    }
    if (action) action(*this);
    if (!repeats()) invalidate();
}

bool RunLoopTimer::fireScheduled(platform::TimePoint now) {
    Action action;
    {
        std::lock_guard lock(m_mutex);
        if (!m_valid || m_fireDate > now) return false;
        if (repeats()) {
            // Keep the phase; fires the loop missed collapse into this one.
            auto missed = (now - m_fireDate) / m_interval;
            m_fireDate += m_interval * (missed + 1);
        }
        action = m_action;
    }
    if (action) action(*this);
    if (!repeats()) invalidate();
    return true;
}

} // namespace dispatch
