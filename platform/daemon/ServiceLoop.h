// The one thread on which platformd's system services run. Work is handled one item at a
// time in arrival order, so posts from any number of clients fall into one order; timers
// (deferred replies that time out) run on the same thread by the process clock.
#pragma once

#include "platform/core/Clock.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace platformd {

class ServiceLoop {
  public:
    using Task = std::function<void()>;

    ServiceLoop() = default;
    ~ServiceLoop();
    ServiceLoop(const ServiceLoop&) = delete;
    ServiceLoop& operator=(const ServiceLoop&) = delete;

    void start();
    // Runs what is already queued (timers not yet due are dropped), then ends the thread.
    void stop();

    // Answers false (and drops the task) once the loop is stopping or before it started.
    bool post(Task task);
    // Runs task on the loop once the process clock reaches when; answers an id for cancel.
    uint64_t runAt(platform::TimePoint when, Task task);
    void cancel(uint64_t timerId);

    bool isLoopThread() const { return std::this_thread::get_id() == m_threadId; }
    // Posts a task and waits until it has run (never from the loop thread itself).
    void runAndWait(Task task);

  private:
    void run();
    bool takeNext(Task& task);

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Task> m_tasks;
    std::multimap<platform::TimePoint, std::pair<uint64_t, Task>> m_timers;
    uint64_t m_nextTimerId = 1;
    bool m_stopping = false;
    bool m_running = false;
    std::thread m_thread;
    std::atomic<std::thread::id> m_threadId{};
};

} // namespace platformd
