#include "platform/dispatch/Thread.h"

#include "platform/dispatch/WorkerPool.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace dispatch {

namespace {
thread_local bool tIsWorker = false;
}

int pthread_main_np() {
    return static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid() ? 1 : 0;
}

bool isMainThread() {
    return pthread_main_np() == 1;
}

bool isDispatchWorkerThread() {
    return tIsWorker;
}

void markWorkerThread() {
    tIsWorker = true;
}

pid_t currentThreadId() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

} // namespace dispatch
