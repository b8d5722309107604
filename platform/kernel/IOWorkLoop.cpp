#include "platform/kernel/IOWorkLoop.h"

#include "platform/kernel/IOTimerEventSource.h"
#include "platform/kernel/WorkLoopState.h"

#include <algorithm>
#include <thread>

namespace kernel {

OSDefineMetaClassAndStructors(IOWorkLoop, OSObject);

namespace {

std::mutex gRetiredMutex;
std::vector<std::thread>& retiredThreads() {
    static auto* threads = new std::vector<std::thread>(); // outlives exit: never joined there
    return *threads;
}

} // namespace

std::mutex& timersLock() {
    static auto* m = new std::mutex();
    return *m;
}

std::condition_variable& timersProgress() {
    static auto* cv = new std::condition_variable();
    return *cv;
}

std::vector<WorkLoopState*>& liveWorkLoops() {
    static auto* loops = new std::vector<WorkLoopState*>();
    return *loops;
}

std::optional<platform::TimePoint> earliestDeadlineLocked() {
    std::optional<platform::TimePoint> earliest;
    for (auto* loop : liveWorkLoops()) {
        for (auto* source : loop->sources) {
            auto deadline = source->armedDeadlineLocked();
            if (deadline && (!earliest || *deadline < *earliest)) earliest = deadline;
        }
    }
    return earliest;
}

// The thread of one work loop: waits for the earliest armed timer, fires it under its
// owner's gate, and repeats until the loop is released.
struct WorkLoopThread {
    std::shared_ptr<WorkLoopState> state;

    void operator()() {
        std::unique_lock lock(timersLock());
        while (!state->exiting) {
            if (IOTimerEventSource* due = takeDueSource()) {
                uint64_t generation = due->m_generation;
                state->firing = true;
                lock.unlock();
                fire(due, generation);
                lock.lock();
                state->firing = false;
                timersProgress().notify_all();
                continue;
            }
            timersProgress().notify_all();
            platform::TimePoint next = nextDeadline();
            platform::waitUntil(state->wake, lock, next, [this] { return state->changed || state->exiting; });
            state->changed = false;
        }
        state->firing = false;
        timersProgress().notify_all();
    }

    // Caller holds timersLock(). The due source comes back retained and disarmed.
    IOTimerEventSource* takeDueSource() {
        platform::TimePoint now = platform::now();
        IOTimerEventSource* due = nullptr;
        for (auto* source : state->sources) {
            if (source->m_armed && source->m_deadline <= now &&
                (!due || source->m_deadline < due->m_deadline)) {
                due = source;
            }
        }
        if (due) {
            due->m_armed = false;
            due->retain();
        }
        return due;
    }

    platform::TimePoint nextDeadline() const {
        platform::TimePoint next = platform::kDistantFuture;
        for (auto* source : state->sources) {
            if (source->m_armed) next = std::min(next, source->m_deadline);
        }
        return next;
    }

    void fire(IOTimerEventSource* source, uint64_t generation) {
        std::unique_lock<std::recursive_mutex> gate;
        if (source->m_gate) gate = std::unique_lock(*source->m_gate);
        bool current;
        {
            std::lock_guard lock(timersLock());
            current = source->m_loop == state.get() && source->m_generation == generation;
        }
        // Cancelling and removing happen under the same gate, so a source still current
        // here has an owner that is still alive.
        if (current && source->m_action) source->m_action(source->m_owner, source);
        gate = {};
        source->release();
    }
};

IOWorkLoop* IOWorkLoop::workLoop() {
    auto* loop = new IOWorkLoop;
    loop->m_state = std::make_shared<WorkLoopState>();
    {
        std::lock_guard lock(timersLock());
        liveWorkLoops().push_back(loop->m_state.get());
    }
    loop->m_thread = std::thread(WorkLoopThread{loop->m_state});
    return loop;
}

IOReturn IOWorkLoop::addEventSource(IOTimerEventSource* source) {
    if (!source) return kIOReturnBadArgument;
    std::lock_guard lock(timersLock());
    if (source->m_loop) return source->m_loop == m_state.get() ? kIOReturnSuccess : kIOReturnBadArgument;
    source->retain();
    source->m_loop = m_state.get();
    m_state->sources.push_back(source);
    m_state->changed = true;
    m_state->wake.notify_all();
    return kIOReturnSuccess;
}

IOReturn IOWorkLoop::removeEventSource(IOTimerEventSource* source) {
    if (!source) return kIOReturnBadArgument;
    {
        std::lock_guard lock(timersLock());
        if (source->m_loop != m_state.get()) return kIOReturnBadArgument;
        auto& sources = m_state->sources;
        sources.erase(std::remove(sources.begin(), sources.end(), source), sources.end());
        source->m_loop = nullptr;
        source->m_armed = false;
        ++source->m_generation;
        m_state->changed = true;
        m_state->wake.notify_all();
    }
    source->release();
    return kIOReturnSuccess;
}

void IOWorkLoop::free() {
    std::vector<IOTimerEventSource*> sources;
    {
        std::lock_guard lock(timersLock());
        sources.swap(m_state->sources);
        for (auto* source : sources) {
            source->m_loop = nullptr;
            source->m_armed = false;
            ++source->m_generation;
        }
        auto& live = liveWorkLoops();
        live.erase(std::remove(live.begin(), live.end(), m_state.get()), live.end());
        m_state->exiting = true;
        m_state->wake.notify_all();
    }
    for (auto* source : sources)
        source->release();
    m_state.reset();
    // The last release may come under a gate the thread is waiting for, so the thread is
    // joined later, where no gate is held.
    {
        std::lock_guard lock(gRetiredMutex);
        retiredThreads().push_back(std::move(m_thread));
    }
    super::free();
}

void IOWorkLoop::reapRetiredThreads() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(gRetiredMutex);
        threads.swap(retiredThreads());
    }
    for (auto& t : threads) {
        if (t.joinable()) t.join();
    }
}

} // namespace kernel
