// A counting semaphore with deadline waits on the process clock.
#pragma once

#include "platform/core/Clock.h"

#include <condition_variable>
#include <mutex>

namespace dispatch {

class Semaphore {
  public:
    explicit Semaphore(long value) : m_value(value) {}
    // Takes one unit; answers false at the deadline.
    bool wait(platform::TimePoint deadline);
    // Answers whether a waiter was woken.
    bool signal();

  private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    long m_value;
    long m_waiters = 0;
};

} // namespace dispatch
