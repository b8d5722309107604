#include "platform/foundation/CFRunLoop.h"

#include <cmath>

namespace cf {

CFRunLoopRef CFRunLoopGetCurrent() {
    return dispatch::RunLoop::current();
}

CFRunLoopRef CFRunLoopGetMain() {
    return dispatch::RunLoop::main();
}

void CFRunLoopRun() {
    dispatch::RunLoop::current()->run();
}

CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode mode, double seconds, bool returnAfterSourceHandled) {
    auto deadline = std::isfinite(seconds) && seconds < 1e9
                        ? platform::now() + platform::seconds(seconds > 0 ? seconds : 0)
                        : platform::kDistantFuture;
    auto result = dispatch::RunLoop::current()->runInMode(mode, deadline, returnAfterSourceHandled);
    return static_cast<CFRunLoopRunResult>(result);
}

void CFRunLoopStop(const CFRunLoopRef& loop) {
    if (loop) loop->stop();
}

void CFRunLoopWakeUp(const CFRunLoopRef& loop) {
    if (loop) loop->wakeUp();
}

void CFRunLoopPerformBlock(const CFRunLoopRef& loop, CFRunLoopMode mode, std::function<void()> block) {
    if (loop) loop->perform({std::string(mode)}, std::move(block));
}

} // namespace cf
