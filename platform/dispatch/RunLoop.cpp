#include "platform/dispatch/RunLoop.h"

#include "platform/core/Log.h"
#include "platform/dispatch/Activity.h"
#include "platform/core/Clock.h"
#include "platform/dispatch/Thread.h"
#include "platform/dispatch/WorkerPool.h"

#include <algorithm>
#include <array>
#include <list>
#include <unistd.h>

namespace dispatch {

struct RunLoop::Work {
    uint64_t seq;
    platform::TimePoint ready;
    RunLoopModes modes; // each mode once
    std::function<void()> block;
    bool delayed = false;
    PerformKey key;
    // Immediate work: its place in each of its modes' queues, parallel to modes.
    std::vector<std::list<Work*>::iterator> places;
};

// The work one mode name (as work lists it) carries. Immediate work is queued in arrival order,
// which is also its ready order as the clock never goes back, so the next one is the head;
// delayed work is kept by ready time, then age. Work listing several modes sits in each queue.
struct RunLoop::ModeQueue {
    std::list<Work*> immediate;
    std::map<std::pair<platform::TimePoint, uint64_t>, Work*> delayed;
};

struct RunLoop::TimerEntry {
    std::shared_ptr<RunLoopTimer> timer;
    RunLoopModes modes;
    uint64_t seq;
    uint64_t lastPass = 0; // a timer fires at most once per pass
};

struct RunLoop::Next {
    std::unique_ptr<Work> work;
    std::shared_ptr<RunLoopTimer> timer;
};

namespace {

bool isCommonMember(std::string_view mode) {
    return mode == kDefaultRunLoopMode || mode == kModalPanelRunLoopMode || mode == kEventTrackingRunLoopMode;
}

bool matches(const RunLoopModes& modes, std::string_view mode) {
    for (const auto& m : modes) {
        if (m == mode || (m == kCommonRunLoopModes && isCommonMember(mode))) return true;
    }
    return false;
}

struct Registry {
    std::mutex mutex;
    std::vector<std::weak_ptr<RunLoop>> loops;
};

Registry& registry() {
    static auto* r = new Registry();
    return *r;
}

void registerLoop(const std::shared_ptr<RunLoop>& loop) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::erase_if(r.loops, [](const auto& w) { return w.expired(); });
    r.loops.push_back(loop);
}

// Pushes the running mode for the length of a run, so nested runs see their own mode.
class ModeScope {
  public:
    ModeScope(std::mutex& mutex, std::vector<std::string>& stack, std::string_view mode)
        : m_mutex(mutex), m_stack(stack) {
        std::lock_guard lock(m_mutex);
        m_stack.emplace_back(mode);
    }
    ~ModeScope() {
        std::lock_guard lock(m_mutex);
        m_stack.pop_back();
    }

  private:
    std::mutex& m_mutex;
    std::vector<std::string>& m_stack;
};

} // namespace

RunLoop::RunLoop(pid_t tid, bool isMain, bool onWorker) : m_tid(tid), m_main(isMain), m_onWorker(onWorker) {}

RunLoop::~RunLoop() = default;

std::shared_ptr<RunLoop> RunLoop::main() {
    static auto* loop = [] {
        auto* l = new std::shared_ptr<RunLoop>(std::make_shared<RunLoop>(::getpid(), true, false));
        registerLoop(*l);
        return l;
    }();
    return *loop;
}

std::shared_ptr<RunLoop> RunLoop::current() {
    if (isMainThread()) return main();
    thread_local std::shared_ptr<RunLoop> loop;
    if (!loop) {
        loop = std::make_shared<RunLoop>(currentThreadId(), false, isDispatchWorkerThread());
        registerLoop(loop);
    }
    return loop;
}

std::vector<std::shared_ptr<RunLoop>> RunLoop::all() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::vector<std::shared_ptr<RunLoop>> out;
    for (auto& w : r.loops) {
        if (auto l = w.lock()) out.push_back(std::move(l));
    }
    return out;
}

bool RunLoop::isCurrent() const {
    return currentThreadId() == m_tid;
}

void RunLoop::wakeUpLocked() {
    ++m_wakeups;
    m_cv.notify_all();
}

void RunLoop::wakeUp() {
    {
        std::lock_guard lock(m_mutex);
        wakeUpLocked();
    }
    if (m_main) activity::signal();
}

void RunLoop::enqueueLocked(std::unique_ptr<Work> work) {
    std::sort(work->modes.begin(), work->modes.end());
    work->modes.erase(std::unique(work->modes.begin(), work->modes.end()), work->modes.end());
    for (const auto& mode : work->modes) {
        auto& queue = m_queues[mode];
        if (!queue) queue = std::make_unique<ModeQueue>();
        if (work->delayed) {
            queue->delayed.emplace(std::pair{work->ready, work->seq}, work.get());
        } else {
            work->places.push_back(queue->immediate.insert(queue->immediate.end(), work.get()));
        }
    }
    if (work->delayed) m_delayed.emplace(work->seq, work.get());
    auto seq = work->seq;
    m_work.emplace(seq, std::move(work));
    wakeUpLocked();
}

std::unique_ptr<RunLoop::Work> RunLoop::dequeueLocked(Work* work) {
    for (size_t i = 0; i < work->modes.size(); ++i) {
        auto& queue = *m_queues.find(work->modes[i])->second;
        if (work->delayed) {
            queue.delayed.erase(std::pair{work->ready, work->seq});
        } else {
            queue.immediate.erase(work->places[i]);
        }
    }
    if (work->delayed) m_delayed.erase(work->seq);
    auto node = m_work.extract(work->seq);
    return std::move(node.mapped());
}

std::array<RunLoop::ModeQueue*, 2> RunLoop::queuesForLocked(std::string_view mode) const {
    auto find = [&](std::string_view name) -> ModeQueue* {
        auto it = m_queues.find(name);
        return it == m_queues.end() ? nullptr : it->second.get();
    };
    return {find(mode), isCommonMember(mode) ? find(kCommonRunLoopModes) : nullptr};
}

void RunLoop::perform(const RunLoopModes& modes, std::function<void()> block) {
    if (!block) return;
    {
        std::lock_guard lock(m_mutex);
        auto work = std::make_unique<Work>();
        work->seq = ++m_seq;
        work->ready = platform::now();
        work->modes = modes;
        work->block = std::move(block);
        enqueueLocked(std::move(work));
    }
    if (m_main) activity::signal();
}

void RunLoop::performAfter(platform::Duration delay, const RunLoopModes& modes, PerformKey key,
                           std::function<void()> block) {
    if (!block) return;
    if (m_onWorker) platform::log("delayed perform on a run loop that never runs");
    {
        std::lock_guard lock(m_mutex);
        auto work = std::make_unique<Work>();
        work->seq = ++m_seq;
        work->ready = platform::now() + std::max(delay, platform::Duration::zero());
        work->modes = modes;
        work->block = std::move(block);
        work->delayed = true;
        work->key = std::move(key);
        enqueueLocked(std::move(work));
    }
    if (m_main) activity::signal();
}

size_t RunLoop::cancelPerforms(const void* target, const std::function<bool(const PerformKey&)>& matchesKey) {
    std::vector<std::unique_ptr<Work>> cancelled; // destroyed after the lock
    std::lock_guard lock(m_mutex);
    std::vector<Work*> doomed;
    for (const auto& [seq, work] : m_delayed) {
        if (work->key.target == target && matchesKey(work->key)) doomed.push_back(work);
    }
    for (auto* work : doomed) cancelled.push_back(dequeueLocked(work));
    return cancelled.size();
}

size_t RunLoop::cancelPerforms(const void* target) {
    return cancelPerforms(target, [](const PerformKey&) { return true; });
}

size_t RunLoop::cancelPerforms(const void* target, std::string_view selector, const void* argument) {
    return cancelPerforms(
        target, [&](const PerformKey& key) { return key.selector == selector && key.argument == argument; });
}

void RunLoop::addTimer(const std::shared_ptr<RunLoopTimer>& timer, const RunLoopModes& modes) {
    if (!timer || !timer->isValid()) return;
    timer->attach(shared_from_this());
    std::lock_guard lock(m_mutex);
    for (auto& entry : m_timers) {
        if (entry->timer == timer) {
            for (const auto& m : modes) {
                if (std::find(entry->modes.begin(), entry->modes.end(), m) == entry->modes.end()) {
                    entry->modes.push_back(m);
                }
            }
            wakeUpLocked();
            return;
        }
    }
    m_timers.push_back(std::make_unique<TimerEntry>(TimerEntry{timer, modes, ++m_seq}));
    wakeUpLocked();
}

void RunLoop::removeTimer(const RunLoopTimer* timer) {
    std::shared_ptr<RunLoopTimer> keep; // released after the lock
    std::lock_guard lock(m_mutex);
    auto it = std::find_if(m_timers.begin(), m_timers.end(),
                           [&](const auto& e) { return e->timer.get() == timer; });
    if (it == m_timers.end()) return;
    keep = (*it)->timer;
    m_timers.erase(it);
    wakeUpLocked();
}

std::optional<RunLoop::Next> RunLoop::takeNextLocked(std::string_view mode, platform::TimePoint now,
                                                     uint64_t seqLimit, uint64_t pass) {
    // The earliest ready piece of work, by the time it became ready, then by age. Only each
    // queue's head can be it: work queued after the pass began is never ready before it.
    Work* work = nullptr;
    auto consider = [&](Work* w) {
        if (w->ready > now || w->seq > seqLimit) return;
        if (!work || w->ready < work->ready || (w->ready == work->ready && w->seq < work->seq)) work = w;
    };
    for (auto* queue : queuesForLocked(mode)) {
        if (!queue) continue;
        if (!queue->immediate.empty()) consider(queue->immediate.front());
        if (!queue->delayed.empty()) consider(queue->delayed.begin()->second);
    }
    TimerEntry* timer = nullptr;
    platform::TimePoint timerDate{};
    for (auto& entry : m_timers) {
        if (entry->lastPass == pass || !matches(entry->modes, mode)) continue;
        auto date = entry->timer->fireDate();
        if (date > now || !entry->timer->isValid()) continue;
        if (!timer || date < timerDate || (date == timerDate && entry->seq < timer->seq)) {
            timer = entry.get();
            timerDate = date;
        }
    }
    bool takeTimer = timer && (!work || timerDate < work->ready ||
                               (timerDate == work->ready && timer->seq < work->seq));
    if (takeTimer) {
        timer->lastPass = pass;
        return Next{nullptr, timer->timer};
    }
    if (!work) return std::nullopt;
    return Next{dequeueLocked(work), nullptr};
}

size_t RunLoop::servePass(std::string_view mode) {
    std::unique_lock lock(m_mutex);
    // Work queued while the pass runs waits for the next pass, so a block that queues itself
    // again cannot hold the loop for ever.
    uint64_t seqLimit = m_seq;
    uint64_t pass = ++m_passes;
    auto now = platform::now();
    size_t ran = 0;
    while (auto next = takeNextLocked(mode, now, seqLimit, pass)) {
        lock.unlock();
        if (next->work) {
            auto block = std::move(next->work->block);
            next->work.reset();
            block();
            ++ran;
        } else if (next->timer->fireScheduled(now)) {
            ++ran;
        }
        next.reset();
        lock.lock();
    }
    return ran;
}

bool RunLoop::hasReadyLocked(std::string_view mode, platform::TimePoint now) const {
    auto due = nextDueLocked(mode);
    return due && *due <= now;
}

std::optional<platform::TimePoint> RunLoop::nextDueLocked(std::string_view mode) const {
    std::optional<platform::TimePoint> next;
    auto consider = [&](platform::TimePoint t) {
        if (!next || t < *next) next = t;
    };
    for (const auto* queue : queuesForLocked(mode)) {
        if (!queue) continue;
        if (!queue->immediate.empty()) consider(queue->immediate.front()->ready);
        if (!queue->delayed.empty()) consider(queue->delayed.begin()->first.first);
    }
    for (const auto& e : m_timers) {
        if (matches(e->modes, mode) && e->timer->isValid()) consider(e->timer->fireDate());
    }
    return next;
}

std::optional<platform::TimePoint> RunLoop::nextDueDate(std::string_view mode) const {
    std::lock_guard lock(m_mutex);
    return nextDueLocked(mode);
}

bool RunLoop::waitForWork(std::string_view mode, platform::TimePoint deadline) {
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (m_stopRequested) return false;
        auto now = platform::now();
        if (hasReadyLocked(mode, now)) return true;
        if (now >= deadline) return false;
        auto until = deadline;
        if (auto due = nextDueLocked(mode); due && *due < until) until = *due;
        uint64_t seen = m_wakeups;
        platform::waitUntil(m_cv, lock, until, [&] { return m_stopRequested || m_wakeups != seen; });
    }
}

bool RunLoop::waitOnly(platform::TimePoint deadline) {
    std::unique_lock lock(m_mutex);
    platform::waitUntil(m_cv, lock, deadline, [&] { return m_stopRequested; });
    bool stopped = m_stopRequested;
    m_stopRequested = false;
    return stopped;
}

bool RunLoop::consumeStop() {
    std::lock_guard lock(m_mutex);
    bool stop = m_stopRequested;
    m_stopRequested = false;
    return stop;
}

RunLoop::RunResult RunLoop::runInMode(std::string_view mode, platform::TimePoint deadline,
                                      bool returnAfterSourceHandled) {
    if (!isCurrent()) return waitOnly(deadline) ? RunResult::Stopped : RunResult::TimedOut;
    ModeScope scope(m_mutex, m_modeStack, mode);
    for (;;) {
        if (consumeStop()) return RunResult::Stopped;
        size_t ran = servePass(mode);
        if (ran > 0 && returnAfterSourceHandled) return RunResult::HandledSource;
        if (!waitForWork(mode, deadline)) {
            if (consumeStop()) return RunResult::Stopped;
            if (platform::now() >= deadline) return RunResult::TimedOut;
        }
    }
}

void RunLoop::run() {
    while (runInMode(kDefaultRunLoopMode, platform::kDistantFuture, false) != RunResult::Stopped) {
    }
}

bool RunLoop::runModeBeforeDate(std::string_view mode, platform::TimePoint limit) {
    runInMode(mode, limit, true);
    return true;
}

void RunLoop::runUntilDate(platform::TimePoint limit) {
    runInMode(kDefaultRunLoopMode, limit, false);
}

void RunLoop::stop() {
    std::lock_guard lock(m_mutex);
    m_stopRequested = true;
    wakeUpLocked();
}

std::string RunLoop::currentMode() const {
    std::lock_guard lock(m_mutex);
    return m_modeStack.empty() ? std::string() : m_modeStack.back();
}

bool RunLoop::isRunning() const {
    std::lock_guard lock(m_mutex);
    return !m_modeStack.empty();
}

size_t RunLoop::serveReady(std::string_view mode) {
    if (!isCurrent()) return 0;
    ModeScope scope(m_mutex, m_modeStack, mode);
    return servePass(mode);
}

} // namespace dispatch
