// A dispatch group: a count of entered work with waiters and notify blocks.
#pragma once

#include "platform/core/Clock.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace dispatch {

class Queue;

class Group {
  public:
    void enter();
    void leave(); // a leave without an enter is logged and ignored
    // Answers whether the group emptied before the deadline.
    bool wait(platform::TimePoint deadline);
    void notify(const std::shared_ptr<Queue>& queue, std::function<void()> block);

  private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    long m_count = 0;
    std::vector<std::pair<std::shared_ptr<Queue>, std::function<void()>>> m_notify;
};

} // namespace dispatch
