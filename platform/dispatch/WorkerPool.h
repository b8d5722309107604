// Threads for queues. A job waiting while no thread is idle gets a new thread at once (up to
// the pool's cap), so a block that waits on another block queued after it is never stuck
// behind it. Threads idle for 5 s on the process clock leave.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>

namespace dispatch {

void markWorkerThread();
pid_t currentThreadId();

class WorkerPool {
  public:
    WorkerPool(std::string name, size_t cap);

    // Higher priorities are taken first; equal ones in order.
    void submit(long priority, std::function<void()> job);

    // Serial queues: each busy one holds a thread of its own, so no cap.
    static WorkerPool& serial();
    // Global and private concurrent queues.
    static WorkerPool& global();

    static constexpr size_t kGlobalThreadCap = 256;

  private:
    void spawnLocked();
    void workerMain();
    bool takeLocked(std::function<void()>& job);

    const std::string m_name;
    const size_t m_cap;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::map<long, std::deque<std::function<void()>>, std::greater<>> m_pending;
    size_t m_pendingCount = 0;
    size_t m_threads = 0;
    size_t m_idle = 0;
    bool m_atCap = false;
};

} // namespace dispatch
