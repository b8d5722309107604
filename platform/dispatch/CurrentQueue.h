// The queues whose blocks the calling thread is running, innermost last.
#pragma once

#include <vector>

namespace dispatch {

class Queue;

Queue* runningQueue();
const std::vector<Queue*>& runningQueues();

} // namespace dispatch
