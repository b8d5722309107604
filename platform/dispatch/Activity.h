// One process-wide signal for the test pumps: raised when a queue runs out of work or the
// main run loop gets some, so drain() can wait for either without polling.
#pragma once

#include <cstdint>
#include <functional>

namespace dispatch::activity {

uint64_t generation();
void signal();
// Waits until the generation moves past seen.
void waitPast(uint64_t seen);

} // namespace dispatch::activity
