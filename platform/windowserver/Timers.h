// Deadlines on the process clock for the window server: the 60 Hz stand-in tick and reply
// timeouts. One thread waits for the earliest; a due task is posted to the window-server
// thread, never run here.
#pragma once

#include "platform/core/Clock.h"
#include "platform/windowserver/WorkThread.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace windowserver {

class Timers {
  public:
    explicit Timers(WorkThread& target) : m_target(target) {}
    ~Timers();
    Timers(const Timers&) = delete;
    Timers& operator=(const Timers&) = delete;

    void start();
    void stop();
    // A task for the window-server thread at the deadline; answers its id for cancel.
    uint64_t schedule(platform::TimePoint deadline, std::function<void()> task);
    void cancel(uint64_t id);
    // Posts every task already due now, from the calling thread (so a sync after it sees them).
    void postDue();

  private:
    void run();

    WorkThread& m_target;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::multimap<platform::TimePoint, std::pair<uint64_t, std::function<void()>>> m_due;
    uint64_t m_nextId = 1;
    bool m_running = false;
    std::thread m_thread;
};

} // namespace windowserver
