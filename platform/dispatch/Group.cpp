#include "platform/dispatch/Group.h"

#include "platform/core/Log.h"
#include "platform/core/Clock.h"
#include "platform/dispatch/Queue.h"

namespace dispatch {

void Group::enter() {
    std::lock_guard lock(m_mutex);
    ++m_count;
}

void Group::leave() {
    std::vector<std::pair<std::shared_ptr<Queue>, std::function<void()>>> notify;
    {
        std::lock_guard lock(m_mutex);
        if (m_count == 0) {
            platform::log("dispatch_group_leave without a matching enter; ignored");
            return;
        }
        if (--m_count > 0) return;
        notify.swap(m_notify);
        m_cv.notify_all();
    }
    for (auto& [queue, block] : notify)
        queue->async(std::move(block));
}

bool Group::wait(platform::TimePoint deadline) {
    std::unique_lock lock(m_mutex);
    if (deadline == platform::kDistantFuture) {
        m_cv.wait(lock, [this] { return m_count == 0; });
        return true;
    }
    return platform::waitUntil(m_cv, lock, deadline, [this] { return m_count == 0; });
}

void Group::notify(const std::shared_ptr<Queue>& queue, std::function<void()> block) {
    if (!queue || !block) return;
    {
        std::lock_guard lock(m_mutex);
        if (m_count > 0) {
            m_notify.emplace_back(queue, std::move(block));
            return;
        }
    }
    queue->async(std::move(block));
}

} // namespace dispatch
