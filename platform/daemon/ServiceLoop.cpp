#include "platform/daemon/ServiceLoop.h"

#include "platform/core/Log.h"

#include <cstdlib>

namespace platformd {

ServiceLoop::~ServiceLoop() {
    stop();
}

void ServiceLoop::start() {
    std::lock_guard lock(m_mutex);
    if (m_running) return;
    m_running = true;
    m_stopping = false;
    m_thread = std::thread([this] {
        m_threadId = std::this_thread::get_id();
        run();
    });
}

void ServiceLoop::stop() {
    {
        std::lock_guard lock(m_mutex);
        if (!m_running) return;
        m_stopping = true;
    }
    m_cv.notify_all();
    if (m_thread.joinable() && !isLoopThread()) m_thread.join();
    std::lock_guard lock(m_mutex);
    m_running = false;
    m_timers.clear();
}

bool ServiceLoop::post(Task task) {
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping || !m_running) return false;
        m_tasks.push_back(std::move(task));
    }
    m_cv.notify_all();
    return true;
}

uint64_t ServiceLoop::runAt(platform::TimePoint when, Task task) {
    uint64_t id;
    {
        std::lock_guard lock(m_mutex);
        id = m_nextTimerId++;
        m_timers.emplace(when, std::make_pair(id, std::move(task)));
    }
    m_cv.notify_all();
    return id;
}

void ServiceLoop::cancel(uint64_t timerId) {
    std::lock_guard lock(m_mutex);
    for (auto it = m_timers.begin(); it != m_timers.end(); ++it) {
        if (it->second.first == timerId) {
            m_timers.erase(it);
            return;
        }
    }
}

void ServiceLoop::runAndWait(Task task) {
    if (isLoopThread()) {
        platform::log("platformd: runAndWait from the service thread would never return");
        std::abort();
    }
    std::mutex doneMutex;
    std::condition_variable doneCv;
    bool done = false;
    bool accepted = post([&] {
        task();
        std::lock_guard lock(doneMutex);
        done = true;
        doneCv.notify_all();
    });
    if (!accepted) return;
    // An accepted task always runs: stop() drains the queue before the thread ends.
    std::unique_lock lock(doneMutex);
    platform::waitUntil(doneCv, lock, platform::kDistantFuture, [&] { return done; });
}

bool ServiceLoop::takeNext(Task& task) {
    std::unique_lock lock(m_mutex);
    for (;;) {
        // A due timer goes first: it became ready before anything queued while it waited.
        if (!m_timers.empty() && m_timers.begin()->first <= platform::now() && !m_stopping) {
            task = std::move(m_timers.begin()->second.second);
            m_timers.erase(m_timers.begin());
            return true;
        }
        if (!m_tasks.empty()) {
            task = std::move(m_tasks.front());
            m_tasks.pop_front();
            return true;
        }
        if (m_stopping) return false;
        platform::TimePoint deadline = m_timers.empty() ? platform::kDistantFuture : m_timers.begin()->first;
        platform::waitUntil(m_cv, lock, deadline, [&] {
            return !m_tasks.empty() || m_stopping ||
                   (!m_timers.empty() && m_timers.begin()->first < deadline);
        });
    }
}

void ServiceLoop::run() {
    Task task;
    while (takeNext(task)) {
        task();
        task = nullptr;
    }
}

} // namespace platformd
