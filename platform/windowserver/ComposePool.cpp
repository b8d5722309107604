#include "platform/windowserver/ComposePool.h"

namespace windowserver {

ComposePool::ComposePool(unsigned workers) : m_workers(workers) {}

ComposePool::~ComposePool() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    for (auto& t : m_threads)
        t.join();
}

bool ComposePool::runOne(std::unique_lock<std::mutex>& lock) {
    if (!m_batch || m_next >= m_batch->size()) return false;
    const Task& task = (*m_batch)[m_next++];
    lock.unlock();
    task();
    lock.lock();
    if (--m_remaining == 0) m_done.notify_all();
    return true;
}

void ComposePool::run(const std::vector<Task>& tasks) {
    if (tasks.empty()) return;
    if (tasks.size() == 1 || m_workers == 0) {
        for (auto& task : tasks)
            task();
        return;
    }
    std::unique_lock lock(m_mutex);
    while (m_threads.size() < m_workers && m_threads.size() + 1 < tasks.size())
        m_threads.emplace_back([this] { work(); });
    m_batch = &tasks;
    m_next = 0;
    m_remaining = tasks.size();
    m_wake.notify_all();
    while (runOne(lock)) {
    }
    m_done.wait(lock, [&] { return m_remaining == 0; });
    m_batch = nullptr;
}

void ComposePool::work() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [&] { return m_stopping || (m_batch && m_next < m_batch->size()); });
        if (m_stopping) return;
        runOne(lock);
    }
}

} // namespace windowserver
