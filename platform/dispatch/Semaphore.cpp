#include "platform/dispatch/Semaphore.h"

#include "platform/core/Clock.h"
namespace dispatch {

bool Semaphore::wait(platform::TimePoint deadline) {
    std::unique_lock lock(m_mutex);
    ++m_waiters;
    bool taken;
    if (deadline == platform::kDistantFuture) {
        m_cv.wait(lock, [this] { return m_value > 0; });
        taken = true;
    } else {
        taken = platform::waitUntil(m_cv, lock, deadline, [this] { return m_value > 0; });
    }
    --m_waiters;
    if (taken) --m_value;
    return taken;
}

bool Semaphore::signal() {
    std::lock_guard lock(m_mutex);
    ++m_value;
    if (m_waiters == 0) return false;
    m_cv.notify_one();
    return true;
}

} // namespace dispatch
