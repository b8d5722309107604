// The client's single event-loop thread: polls its descriptors, runs its timers on
// the process clock and runs tasks posted from other threads.
#pragma once

#include "platform/core/Clock.h"

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace refclient {

class EventLoop {
public:
    using Task = std::function<void()>;
    using Watcher = std::function<void(short revents)>;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Any thread.
    void post(Task task);
    void quit();

    // Loop thread only.
    void watch(int fd, short events, Watcher watcher);
    void setEvents(int fd, short events);
    void unwatch(int fd);
    uint64_t after(platform::Duration delay, Task task);
    uint64_t at(platform::TimePoint deadline, Task task);
    void cancel(uint64_t timerId);
    void run();

private:
    struct Timer {
        platform::TimePoint deadline;
        Task task;
    };
    struct Watch {
        short events;
        Watcher watcher;
        uint64_t generation; // tells a reused descriptor number from the one polled
    };
    int pollTimeoutMs() const;
    void runPosted();
    void runDueTimers();
    void drainWake();

    int m_wakeFd;
    std::mutex m_mutex;
    std::vector<Task> m_posted;
    std::atomic<bool> m_quit{false};
    std::map<int, Watch> m_watches;
    std::map<uint64_t, Timer> m_timers;
    uint64_t m_nextTimerId = 1;
    uint64_t m_nextGeneration = 1;
};

} // namespace refclient
