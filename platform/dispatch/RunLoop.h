// Run loops: one per thread, created on first use, serving its work only while its own thread
// runs it. The main run loop also serves the main queue. Work carries the modes it may run in;
// a nested run serves its mode only. NSRunLoop and CFRunLoop (platform/foundation) stand on it.
#pragma once

#include "platform/core/Clock.h"
#include "platform/dispatch/RunLoopTimer.h"

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

namespace dispatch {

inline constexpr std::string_view kDefaultRunLoopMode = "kCFRunLoopDefaultMode";
// Common stands for the three modes below.
inline constexpr std::string_view kCommonRunLoopModes = "kCFRunLoopCommonModes";
inline constexpr std::string_view kModalPanelRunLoopMode = "NSModalPanelRunLoopMode";
inline constexpr std::string_view kEventTrackingRunLoopMode = "NSEventTrackingRunLoopMode";

using RunLoopModes = std::vector<std::string>;

// What a delayed perform is cancelled by: its target, and optionally its selector and argument.
struct PerformKey {
    const void* target = nullptr;
    std::string selector;
    const void* argument = nullptr;
};

class RunLoop : public std::enable_shared_from_this<RunLoop> {
  public:
    enum class RunResult { Finished = 1, Stopped = 2, TimedOut = 3, HandledSource = 4 };

    // The calling thread's run loop (the main one on the main thread).
    static std::shared_ptr<RunLoop> current();
    // The main thread's, whichever thread asks first.
    static std::shared_ptr<RunLoop> main();
    // Every thread's loop that still exists.
    static std::vector<std::shared_ptr<RunLoop>> all();

    bool isMain() const { return m_main; }
    bool isCurrent() const; // owned by the calling thread
    pid_t threadId() const { return m_tid; }

    // ---- Work: thread-safe from any thread.
    // Queues block to run in any of modes, in the order work becomes ready. The entry other
    // threads (platformd's reader among them) use to hand work to a thread's loop.
    void perform(const RunLoopModes& modes, std::function<void()> block);
    // Schedules a timer in modes (again with other modes to add them).
    void addTimer(const std::shared_ptr<RunLoopTimer>& timer, const RunLoopModes& modes);
    // A one-shot perform after delay, cancellable by key. On a dispatch worker thread's loop,
    // which nobody runs, it is logged as never firing.
    void performAfter(platform::Duration delay, const RunLoopModes& modes, PerformKey key,
                      std::function<void()> block);
    // Cancels delayed performs with this target (and, in the second form, selector and argument);
    // answers how many.
    size_t cancelPerforms(const void* target);
    size_t cancelPerforms(const void* target, std::string_view selector, const void* argument);

    // ---- Running. From a thread that does not own the loop these only wait.
    // Default mode until stop(), even with nothing to do.
    void run();
    // Serves the mode until the deadline, stop() or, with returnAfterSourceHandled, the first
    // pass that ran something.
    RunResult runInMode(std::string_view mode, platform::TimePoint deadline, bool returnAfterSourceHandled);
    // Serves what is ready in the mode, waiting for work or the date first; answers YES.
    bool runModeBeforeDate(std::string_view mode, platform::TimePoint limit);
    void runUntilDate(platform::TimePoint limit);
    // Ends the innermost run; when none is running, the next one returns at once.
    void stop();
    void wakeUp();
    // The innermost running mode, empty when the loop is not running.
    std::string currentMode() const;
    bool isRunning() const;

    // ---- Pumps for tests (owner thread): one pass over what is ready now, without waiting;
    // answers how much ran. nextDueDate: the earliest timer or delayed perform of the mode.
    size_t serveReady(std::string_view mode);
    std::optional<platform::TimePoint> nextDueDate(std::string_view mode) const;

    RunLoop(pid_t tid, bool isMain, bool onWorker);
    ~RunLoop();

  private:
    struct Work;
    struct TimerEntry;
    struct Next;
    struct ModeQueue;

    std::optional<Next> takeNextLocked(std::string_view mode, platform::TimePoint now, uint64_t seqLimit,
                                       uint64_t pass);
    void enqueueLocked(std::unique_ptr<Work> work);
    std::unique_ptr<Work> dequeueLocked(Work* work);
    std::array<ModeQueue*, 2> queuesForLocked(std::string_view mode) const;
    size_t cancelPerforms(const void* target, const std::function<bool(const PerformKey&)>& matchesKey);
    bool hasReadyLocked(std::string_view mode, platform::TimePoint now) const;
    std::optional<platform::TimePoint> nextDueLocked(std::string_view mode) const;
    size_t servePass(std::string_view mode);
    bool waitForWork(std::string_view mode, platform::TimePoint deadline);
    bool waitOnly(platform::TimePoint deadline);
    bool consumeStop();
    void removeTimer(const RunLoopTimer* timer);
    void wakeUpLocked();

    friend class RunLoopTimer;

    const pid_t m_tid;
    const bool m_main;
    const bool m_onWorker; // a dispatch worker's loop: nobody will ever run it
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::unordered_map<uint64_t, std::unique_ptr<Work>> m_work; // by sequence number
    std::map<std::string, std::unique_ptr<ModeQueue>, std::less<>> m_queues; // by mode name
    std::map<uint64_t, Work*> m_delayed;                                     // cancellable, by age
    std::vector<std::unique_ptr<TimerEntry>> m_timers;
    std::vector<std::string> m_modeStack;
    uint64_t m_seq = 0;
    uint64_t m_passes = 0;
    uint64_t m_wakeups = 0;
    bool m_stopRequested = false;
};

} // namespace dispatch
