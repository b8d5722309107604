#include "platform/dispatch/Testing.h"

#include "platform/core/Log.h"
#include "platform/dispatch/Activity.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/dispatch/Thread.h"
#include "platform/dispatch/TimerService.h"

namespace dispatch {

size_t runUntilIdle(std::string_view mode) {
    if (!isMainThread()) {
        platform::log("runUntilIdle called off the main thread; nothing run");
        return 0;
    }
    size_t total = 0;
    for (;;) {
        size_t ran = TimerService::shared().fireDue();
        ran += RunLoop::main()->serveReady(mode);
        if (ran == 0) return total;
        total += ran;
    }
}

void advanceAndRun(platform::Duration d) {
    if (!platform::usingFakeClock()) {
        platform::log("advanceAndRun needs the fake clock; nothing run");
        return;
    }
    auto& clock = platform::installFakeClock();
    auto target = platform::now() + d;
    runUntilIdle();
    for (;;) {
        std::optional<platform::TimePoint> next = TimerService::shared().nextDue();
        if (auto loopNext = RunLoop::main()->nextDueDate(kDefaultRunLoopMode);
            loopNext && (!next || *loopNext < *next)) {
            next = loopNext;
        }
        // Something still due at the present after a pump cannot become runnable by time.
        if (!next || *next > target || *next <= platform::now()) break;
        clock.advanceTo(*next);
        runUntilIdle();
    }
    if (platform::now() < target) clock.advanceTo(target);
    runUntilIdle();
}

void advanceAndRun(double seconds) {
    advanceAndRun(platform::seconds(seconds));
}

void drain(const std::shared_ptr<Queue>& queue) {
    if (!queue) return;
    bool onMain = isMainThread();
    if (queue->kind() == Queue::Kind::Main) {
        if (onMain) {
            runUntilIdle();
        } else {
            dispatch_sync(queue, [] {});
        }
        return;
    }
    for (;;) {
        uint64_t seen = activity::generation();
        TimerService::shared().fireDue();
        if (onMain) runUntilIdle();
        if (queue->inFlight() == 0) return;
        activity::waitPast(seen);
    }
}

} // namespace dispatch
