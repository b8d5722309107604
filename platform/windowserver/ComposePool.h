// A few threads composing displays side by side: one task per display, all joined before the
// caller goes on to what follows composition (refresh pushes, stream frames).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace windowserver {

class ComposePool {
  public:
    using Task = std::function<void()>;

    // workers: threads besides the caller's own; they start on first need.
    explicit ComposePool(unsigned workers);
    ~ComposePool();
    ComposePool(const ComposePool&) = delete;
    ComposePool& operator=(const ComposePool&) = delete;

    // Runs every task once (the calling thread takes its share) and returns when all have run.
    // One batch at a time: called from a single thread.
    void run(const std::vector<Task>& tasks);

    // The threads started so far.
    size_t threads() const { return m_threads.size(); }

  private:
    void work();
    // Takes the next task of the batch, if any (the lock held); runs it unlocked.
    bool runOne(std::unique_lock<std::mutex>& lock);

    const unsigned m_workers;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    const std::vector<Task>* m_batch = nullptr;
    size_t m_next = 0;
    size_t m_remaining = 0;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

} // namespace windowserver
