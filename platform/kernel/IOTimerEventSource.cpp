#include "platform/kernel/IOTimerEventSource.h"

#include "platform/kernel/IOService.h"
#include "platform/kernel/IOWorkLoop.h"
#include "platform/kernel/WorkLoopState.h"

#include <chrono>

namespace kernel {

OSDefineMetaClassAndStructors(IOTimerEventSource, OSObject);

IOTimerEventSource* IOTimerEventSource::timerEventSource(OSObject* owner, Action action) {
    if (!owner || !action) return nullptr;
    auto* timer = new IOTimerEventSource;
    timer->m_owner = owner;
    timer->m_action = action;
    if (auto* service = OSDynamicCast(IOService, owner)) timer->m_gate = service->gateHandle();
    return timer;
}

IOReturn IOTimerEventSource::setTimeoutUS(uint32_t microseconds) {
    std::lock_guard lock(timersLock());
    m_armed = true;
    m_deadline = platform::now() + std::chrono::microseconds(microseconds);
    ++m_generation;
    if (m_loop) {
        m_loop->changed = true;
        m_loop->wake.notify_all();
    }
    return kIOReturnSuccess;
}

void IOTimerEventSource::cancelTimeout() {
    std::lock_guard lock(timersLock());
    m_armed = false;
    ++m_generation;
    if (m_loop) {
        m_loop->changed = true;
        m_loop->wake.notify_all();
    }
}

bool IOTimerEventSource::isArmed() const {
    std::lock_guard lock(timersLock());
    return m_armed;
}

namespace testing {

namespace {

bool allLoopsSettledLocked() {
    platform::TimePoint now = platform::now();
    for (auto* loop : liveWorkLoops()) {
        if (loop->firing) return false;
        for (auto* source : loop->sources) {
            if (source->isDueLocked(now)) return false;
        }
    }
    return true;
}

} // namespace

void settleTimers() {
    std::unique_lock lock(timersLock());
    for (auto* loop : liveWorkLoops()) {
        loop->changed = true;
        loop->wake.notify_all();
    }
    timersProgress().wait(lock, [] { return allLoopsSettledLocked(); });
    lock.unlock();
    IOWorkLoop::reapRetiredThreads();
}

void advanceClock(platform::FakeClock& clock, platform::Duration d) {
    platform::TimePoint target = clock.now() + d;
    for (;;) {
        std::optional<platform::TimePoint> next;
        {
            std::lock_guard lock(timersLock());
            next = earliestDeadlineLocked();
        }
        if (!next || *next > target) break;
        if (*next > clock.now()) clock.advanceTo(*next);
        settleTimers();
    }
    clock.advanceTo(target);
    settleTimers();
}

} // namespace testing

} // namespace kernel
