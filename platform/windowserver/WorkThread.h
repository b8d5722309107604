// The window server's one serial thread. Every change to its state runs here, in the order
// it was queued; interrupt handlers, the kernel's listener calls and requests only queue.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace windowserver {

class WorkThread {
  public:
    using Task = std::function<void()>;

    WorkThread() = default;
    ~WorkThread();
    WorkThread(const WorkThread&) = delete;
    WorkThread& operator=(const WorkThread&) = delete;

    void start();
    // Runs what is queued already, then ends the thread. Later posts are dropped.
    void stop();

    // Answers false (dropping the task) when the thread is not running.
    bool post(Task task);
    // Runs the task on the thread and returns once it has run; on the thread itself it runs
    // at once. Answers false when the thread is not running (the task did not run).
    bool runAndWait(const Task& task);
    bool isCurrent() const { return std::this_thread::get_id() == m_thread.get_id(); }

  private:
    void run();

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Task> m_tasks;
    bool m_running = false;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace windowserver
