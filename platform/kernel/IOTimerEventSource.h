// A one-shot timer on the process clock whose action runs on its work loop's thread under
// the owner's gate. A firing that obtains the gate after cancelTimeout or removeEventSource
// is dropped, so once a driver has cancelled and removed its timer no action runs again.
#pragma once

#include "platform/core/Clock.h"
#include "platform/kernel/IOReturn.h"
#include "platform/kernel/OSObject.h"

#include <memory>
#include <mutex>
#include <optional>

namespace kernel {

struct WorkLoopState;

class IOTimerEventSource : public OSObject {
    OSDeclareDefaultStructors(IOTimerEventSource);

  public:
    using super = OSObject;
    using Action = void (*)(OSObject* owner, IOTimerEventSource* sender);

    // The owner is not retained: it must remove the source before it goes.
    static IOTimerEventSource* timerEventSource(OSObject* owner, Action action);

    // Arms one firing at now + microseconds, replacing any earlier one.
    IOReturn setTimeoutUS(uint32_t microseconds);
    void cancelTimeout();
    bool isArmed() const;

    // Kernel-internal; the caller holds the timers' lock.
    bool isDueLocked(platform::TimePoint now) const { return m_armed && m_deadline <= now; }
    std::optional<platform::TimePoint> armedDeadlineLocked() const {
        return m_armed ? std::optional(m_deadline) : std::nullopt;
    }

  private:
    friend class IOWorkLoop;
    friend struct WorkLoopThread;

    OSObject* m_owner = nullptr;
    Action m_action = nullptr;
    std::shared_ptr<std::recursive_mutex> m_gate;
    // Guarded by the timers' lock:
    WorkLoopState* m_loop = nullptr;
    bool m_armed = false;
    platform::TimePoint m_deadline{};
    uint64_t m_generation = 0;
};

namespace testing {
// Waits until no work loop has an action due at the current time or running.
void settleTimers();
// Moves the fake clock on by d, stopping at every armed timer's deadline on the way and
// settling there, so periodic timers fire at their own times and the call returns after
// every action then due has run.
void advanceClock(platform::FakeClock& clock, platform::Duration d);
} // namespace testing

} // namespace kernel
