#include "platform/windowserver/WorkThread.h"

namespace windowserver {

WorkThread::~WorkThread() {
    stop();
}

void WorkThread::start() {
    std::lock_guard lock(m_mutex);
    if (m_running) return;
    m_running = true;
    m_stopping = false;
    m_thread = std::thread([this] { run(); });
}

void WorkThread::stop() {
    {
        std::lock_guard lock(m_mutex);
        if (!m_running || m_stopping) return;
        m_stopping = true;
    }
    m_cv.notify_all();
    if (m_thread.joinable() && !isCurrent()) m_thread.join();
    std::lock_guard lock(m_mutex);
    m_running = false;
}

bool WorkThread::post(Task task) {
    {
        std::lock_guard lock(m_mutex);
        if (!m_running || m_stopping) return false;
        m_tasks.push_back(std::move(task));
    }
    m_cv.notify_all();
    return true;
}

bool WorkThread::runAndWait(const Task& task) {
    if (isCurrent()) {
        task();
        return true;
    }
    std::mutex doneMutex;
    std::condition_variable doneCv;
    bool done = false;
    bool posted = post([&] {
        task();
        std::lock_guard lock(doneMutex);
        done = true;
        doneCv.notify_all();
    });
    if (!posted) return false;
    std::unique_lock lock(doneMutex);
    // Only the task's end finishes this wait; the thread runs everything it accepted.
    doneCv.wait(lock, [&] { return done; });
    return true;
}

void WorkThread::run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_cv.wait(lock, [this] { return !m_tasks.empty() || m_stopping; });
        if (m_tasks.empty()) return; // stopping, and everything accepted has run
        Task task = std::move(m_tasks.front());
        m_tasks.pop_front();
        lock.unlock();
        task();
        task = nullptr;
        lock.lock();
    }
}

} // namespace windowserver
