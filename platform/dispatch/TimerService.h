// The process's dispatch timers: dispatch_after blocks and timer sources. One thread waits on
// the process clock for the earliest; the test pumps fire what is due themselves, so a block
// due at the present is on its queue when fireDue() returns.
#pragma once

#include "platform/core/Clock.h"

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

namespace dispatch {

class Queue;
class Source;

class TimerService {
  public:
    static TimerService& shared();

    void after(platform::TimePoint when, std::shared_ptr<Queue> queue, std::function<void()> block);
    // Keeps a resumed source with a timer until it needs no more fires.
    void arm(const std::shared_ptr<Source>& source);
    void disarm(const std::shared_ptr<Source>& source);

    // Hands every block and source fire due now to its queue; answers how many.
    size_t fireDue();
    std::optional<platform::TimePoint> nextDue() const;

  private:
    struct After {
        std::shared_ptr<Queue> queue;
        std::function<void()> block;
    };
    void ensureThreadLocked();
    void threadMain();
    std::optional<platform::TimePoint> nextDueLocked() const;

    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::mutex m_fireMutex; // one firing at a time, so a pump sees a firing finished
    std::multimap<platform::TimePoint, After> m_afters;
    std::set<std::shared_ptr<Source>> m_sources;
    uint64_t m_changes = 0;
    bool m_threadStarted = false;
};

} // namespace dispatch
