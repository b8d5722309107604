// Pumps for unit tests: run what is due on the main thread, move the fake clock and run what
// became due, or wait until a queue has finished its work.
#pragma once

#include "platform/core/Clock.h"

#include <memory>
#include <string_view>

namespace dispatch {

class Queue;

// On the main thread: hands due dispatch_after blocks and timer sources to their queues, then
// serves the main run loop in the mode (the main queue, due timers, performs) until nothing is
// ready, without waiting for time to pass. Answers how many pieces of work ran.
size_t runUntilIdle(std::string_view mode = "kCFRunLoopDefaultMode");

// On the main thread with the fake clock: advances the clock by d, stopping at each fire time
// on the way (dispatch timers and the main run loop's timers), running what is due at each.
// So a repeating 1 s timer fires three times in advanceAndRun(3 s).
void advanceAndRun(platform::Duration d);
void advanceAndRun(double seconds);

// Hands due dispatch timers to their queues and waits until queue has no block queued or
// running (blocks queued meanwhile included). The main queue is run by runUntilIdle; on the
// main thread the main run loop keeps being served while waiting.
void drain(const std::shared_ptr<Queue>& queue);

} // namespace dispatch
