#include "platform/dispatch/WorkerPool.h"

#include "platform/core/Clock.h"
#include "platform/core/Log.h"

#include <pthread.h>
#include <thread>

namespace dispatch {

namespace {
constexpr double kIdleSeconds = 5.0;
}

WorkerPool::WorkerPool(std::string name, size_t cap) : m_name(std::move(name)), m_cap(cap) {}

WorkerPool& WorkerPool::serial() {
    static auto* pool = new WorkerPool("dispatch-serial", SIZE_MAX);
    return *pool;
}

WorkerPool& WorkerPool::global() {
    static auto* pool = new WorkerPool("dispatch-global", kGlobalThreadCap);
    return *pool;
}

void WorkerPool::submit(long priority, std::function<void()> job) {
    std::lock_guard lock(m_mutex);
    m_pending[priority].push_back(std::move(job));
    ++m_pendingCount;
    if (m_pendingCount > m_idle) {
        if (m_threads < m_cap) {
            spawnLocked();
        } else if (!m_atCap) {
            m_atCap = true;
            platform::log("dispatch: %@ reached its limit of %zu threads; blocks wait for a free one", m_name,
                          m_cap);
        }
    }
    m_cv.notify_one();
}

void WorkerPool::spawnLocked() {
    ++m_threads;
    std::thread([this] { workerMain(); }).detach();
}

bool WorkerPool::takeLocked(std::function<void()>& job) {
    if (m_pendingCount == 0) return false;
    auto it = m_pending.begin();
    job = std::move(it->second.front());
    it->second.pop_front();
    if (it->second.empty()) m_pending.erase(it);
    --m_pendingCount;
    return true;
}

void WorkerPool::workerMain() {
    markWorkerThread();
    pthread_setname_np(pthread_self(), m_name.substr(0, 15).c_str());
    std::unique_lock lock(m_mutex);
    for (;;) {
        std::function<void()> job;
        if (!takeLocked(job)) {
            ++m_idle;
            auto deadline = platform::now() + platform::seconds(kIdleSeconds);
            bool woke = platform::waitUntil(m_cv, lock, deadline, [this] { return m_pendingCount > 0; });
            --m_idle;
            if (!woke) break;
            continue;
        }
        lock.unlock();
        job();
        job = nullptr; // captured state goes before the thread counts as idle
        lock.lock();
    }
    --m_threads;
    if (m_threads < m_cap) m_atCap = false;
}

} // namespace dispatch
