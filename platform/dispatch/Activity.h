// One process-wide signal for the test pumps: raised when a queue runs out of work or the
// main run loop gets some, so drain() can wait for either without polling.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

namespace dispatch::activity {

uint64_t generation();
void signal();
// Waits until the generation moves past seen.
void waitPast(uint64_t seen);
// The same with a bound in real time (for test pumps that must not hang); false at the bound.
bool waitPastFor(uint64_t seen, std::chrono::milliseconds bound);

} // namespace dispatch::activity
