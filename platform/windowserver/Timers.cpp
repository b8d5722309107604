#include "platform/windowserver/Timers.h"

namespace windowserver {

Timers::~Timers() {
    stop();
}

void Timers::start() {
    std::lock_guard lock(m_mutex);
    if (m_running) return;
    m_running = true;
    m_thread = std::thread([this] { run(); });
}

void Timers::stop() {
    {
        std::lock_guard lock(m_mutex);
        if (!m_running) return;
        m_running = false;
        m_due.clear();
    }
    m_cv.notify_all();
    if (m_thread.joinable()) m_thread.join();
}

uint64_t Timers::schedule(platform::TimePoint deadline, std::function<void()> task) {
    uint64_t id;
    {
        std::lock_guard lock(m_mutex);
        id = m_nextId++;
        m_due.emplace(deadline, std::make_pair(id, std::move(task)));
    }
    m_cv.notify_all();
    return id;
}

void Timers::cancel(uint64_t id) {
    std::lock_guard lock(m_mutex);
    for (auto it = m_due.begin(); it != m_due.end(); ++it) {
        if (it->second.first == id) {
            m_due.erase(it);
            return;
        }
    }
}

void Timers::postDue() {
    std::lock_guard lock(m_mutex);
    while (m_running && !m_due.empty() && m_due.begin()->first <= platform::now()) {
        auto task = std::move(m_due.begin()->second.second);
        m_due.erase(m_due.begin());
        m_target.post(std::move(task));
    }
}

void Timers::run() {
    std::unique_lock lock(m_mutex);
    while (m_running) {
        platform::TimePoint next = m_due.empty() ? platform::kDistantFuture : m_due.begin()->first;
        if (platform::now() < next) {
            size_t count = m_due.size();
            platform::waitUntil(m_cv, lock, next, [&] {
                return !m_running || m_due.size() != count || (!m_due.empty() && m_due.begin()->first < next);
            });
            continue;
        }
        auto task = std::move(m_due.begin()->second.second);
        m_due.erase(m_due.begin());
        m_target.post(std::move(task)); // under the lock: postDue keeps the same order
    }
}

} // namespace windowserver
