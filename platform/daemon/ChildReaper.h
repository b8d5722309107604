// Reaps platformd's children as they exit (no zombies), so launches and tool runs can record
// their exit statuses. One thread waits on a pidfd per child.
#pragma once

#include "platform/core/Clock.h"
#include "platform/ipc/UniqueFd.h"

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <sys/types.h>
#include <thread>

namespace platformd {

struct ExitStatus {
    int code = 0;   // exit status when the child exited
    int signal = 0; // terminating signal, 0 when it exited
};

class ChildReaper {
  public:
    using ExitHandler = std::function<void(pid_t, ExitStatus)>;

    ChildReaper();
    ~ChildReaper();
    ChildReaper(const ChildReaper&) = delete;
    ChildReaper& operator=(const ChildReaper&) = delete;

    // pid must be an unreaped child of this process. The handler runs on the reaper's thread.
    bool watch(pid_t pid, ExitHandler onExit);
    size_t count() const;
    // Sends every watched child the signal.
    void signalAll(int signal);
    // Waits until no watched child is left or the deadline; answers whether none is left.
    bool waitUntilEmpty(platform::TimePoint deadline);
    // Stops the thread; children still running are left unreaped.
    void stop();

  private:
    struct Child {
        ipc::UniqueFd pidfd;
        ExitHandler onExit;
    };
    void run();
    void reap(pid_t pid);
    void wake();

    mutable std::mutex m_mutex;
    std::condition_variable m_emptied;
    std::map<pid_t, Child> m_children;
    ipc::UniqueFd m_wake;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace platformd
