#include "platform/foundation/NSTimer.h"

#include "platform/foundation/NSRunLoop.h"

namespace ns {

namespace {

// A non-positive interval would make a repeating timer spin; the smallest one is 0.1 ms.
double sanitizedInterval(double interval) {
    return interval > 0 ? interval : 0.0001;
}

} // namespace

NSTimer::NSTimer(double interval, bool repeats, Block block)
    : dispatch::RunLoopTimer(platform::now() + platform::seconds(sanitizedInterval(interval)),
                             repeats ? platform::seconds(sanitizedInterval(interval))
                                     : platform::Duration::zero(),
                             [block = std::move(block)](dispatch::RunLoopTimer& timer) {
                                 if (block) block(static_cast<NSTimer&>(timer));
                             }) {}

std::shared_ptr<NSTimer> NSTimer::timerWithTimeInterval(double interval, bool repeats, Block block) {
    return std::make_shared<NSTimer>(interval, repeats, std::move(block));
}

std::shared_ptr<NSTimer> NSTimer::scheduledTimerWithTimeInterval(double interval, bool repeats, Block block) {
    auto timer = timerWithTimeInterval(interval, repeats, std::move(block));
    NSRunLoop::currentRunLoop()->addTimer(timer, NSDefaultRunLoopMode);
    return timer;
}

double NSTimer::timeInterval() const {
    return platform::toSeconds(interval());
}

} // namespace ns
