// Which thread is this: the main one (its thread id is the process id), or a worker that a
// dispatch queue started.
#pragma once

namespace dispatch {

int pthread_main_np(); // 1 on the main thread, else 0
bool isMainThread();
bool isDispatchWorkerThread();

} // namespace dispatch
