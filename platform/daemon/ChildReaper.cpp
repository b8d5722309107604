#include "platform/daemon/ChildReaper.h"

#include "platform/core/Log.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <vector>

namespace platformd {

ChildReaper::ChildReaper() : m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    m_thread = std::thread([this] { run(); });
}

ChildReaper::~ChildReaper() {
    stop();
}

bool ChildReaper::watch(pid_t pid, ExitHandler onExit) {
    ipc::UniqueFd fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (!fd) {
        platform::log("platformd: cannot watch process %d: %s", int(pid), std::strerror(errno));
        return false;
    }
    ::fcntl(fd.get(), F_SETFD, FD_CLOEXEC);
    {
        std::lock_guard lock(m_mutex);
        m_children[pid] = Child{std::move(fd), std::move(onExit)};
    }
    wake();
    return true;
}

size_t ChildReaper::count() const {
    std::lock_guard lock(m_mutex);
    return m_children.size();
}

void ChildReaper::signalAll(int signal) {
    std::lock_guard lock(m_mutex);
    for (auto& [pid, child] : m_children)
        ::kill(pid, signal);
}

bool ChildReaper::waitUntilEmpty(platform::TimePoint deadline) {
    std::unique_lock lock(m_mutex);
    return platform::waitUntil(m_emptied, lock, deadline, [&] { return m_children.empty(); });
}

void ChildReaper::stop() {
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping && !m_thread.joinable()) return;
        m_stopping = true;
    }
    wake();
    if (m_thread.joinable()) m_thread.join();
}

void ChildReaper::wake() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_wake.get(), &one, sizeof one);
}

void ChildReaper::run() {
    for (;;) {
        std::vector<pollfd> fds{{m_wake.get(), POLLIN, 0}};
        std::vector<pid_t> pids;
        {
            std::lock_guard lock(m_mutex);
            if (m_stopping) return;
            for (auto& [pid, child] : m_children) {
                fds.push_back({child.pidfd.get(), POLLIN, 0});
                pids.push_back(pid);
            }
        }
        // Only children's exits and wake-ups end this wait: nothing here is timed.
        int n = ::poll(fds.data(), fds.size(), -1);
        if (n < 0) continue; // EINTR
        if (fds[0].revents) {
            uint64_t drained;
            [[maybe_unused]] ssize_t r = ::read(m_wake.get(), &drained, sizeof drained);
        }
        for (size_t i = 1; i < fds.size(); ++i)
            if (fds[i].revents) reap(pids[i - 1]);
    }
}

void ChildReaper::reap(pid_t pid) {
    Child child;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_children.find(pid);
        if (it == m_children.end()) return;
        child = std::move(it->second);
        m_children.erase(it);
    }
    siginfo_t info{};
    int r;
    do {
        r = ::waitid(P_PIDFD, static_cast<id_t>(child.pidfd.get()), &info, WEXITED);
    } while (r < 0 && errno == EINTR);
    ExitStatus status;
    if (r == 0) {
        if (info.si_code == CLD_EXITED)
            status.code = info.si_status;
        else
            status.signal = info.si_status;
    }
    if (child.onExit) child.onExit(pid, status);
    std::lock_guard lock(m_mutex);
    m_emptied.notify_all();
}

} // namespace platformd
