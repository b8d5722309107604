// NSThread: a plain thread whose run loop appears on first use. On its way out it posts
// NSThreadWillExitNotification (object: the thread) on the exiting thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace ns {

inline constexpr const char* NSThreadWillExitNotification = "NSThreadWillExitNotification";

class NSThread : public std::enable_shared_from_this<NSThread> {
  public:
    // detachNewThreadSelector:toTarget:withObject: / detachNewThreadWithBlock:
    static std::shared_ptr<NSThread> detachNewThread(std::function<void()> main);
    // initWithTarget:selector:object: (then start)
    static std::shared_ptr<NSThread> create(std::function<void()> main);

    void start(); // a second start is logged and ignored
    bool isExecuting() const { return m_executing.load(); }
    bool isFinished() const { return m_finished.load(); }
    bool isMain() const { return m_isMain; }

    // The calling thread's object (threads NSThread did not start get one on first use).
    static std::shared_ptr<NSThread> currentThread();
    static bool isMainThread();
    // Ends the calling NSThread after posting the exit notification; on a thread NSThread did
    // not start it is logged and ignored.
    static void exit();

    NSThread(std::function<void()> main, bool isMain, bool spawned);

  private:
    void body();

    std::function<void()> m_body;
    const bool m_isMain;
    const bool m_spawned; // started by start(); others are threads met by currentThread()
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_executing{false};
    std::atomic<bool> m_finished{false};
};

} // namespace ns
