#include "platform/ipc/Readiness.h"

#include "platform/ipc/UnixSocket.h"

#include <algorithm>
#include <chrono>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>

namespace ipc {

namespace {

// The deepest folder of path's ancestors that exists now.
std::string nearestExistingFolder(const std::string& path) {
    std::string dir = path;
    for (;;) {
        auto slash = dir.rfind('/');
        if (slash == std::string::npos) return ".";
        dir = slash == 0 ? "/" : dir.substr(0, slash);
        struct stat st {};
        if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return dir;
        if (dir == "/") return dir;
    }
}

void drain(int fd) {
    alignas(inotify_event) char buf[4096];
    while (::read(fd, buf, sizeof buf) > 0) {
    }
}

} // namespace

WaitResult waitForSocket(const std::string& socketPath, platform::TimePoint deadline, int abortFd) {
    UniqueFd notify(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    for (;;) {
        std::string folder = nearestExistingFolder(socketPath);
        int watch =
            notify ? ::inotify_add_watch(notify.get(), folder.c_str(),
                                         IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF)
                   : -1;
        // Tried after the watch is in place, so an appearance in between is not missed.
        if (connectUnix(socketPath)) return WaitResult::Ready;
        bool changed = false;
        while (!changed) {
            auto now = platform::now();
            if (now >= deadline) return WaitResult::TimedOut;
            // Real slices of at most 100 ms, so a fake or moved clock is rechecked.
            auto slice = std::min<platform::Duration>(deadline - now, std::chrono::milliseconds(100));
            pollfd fds[2] = {{notify.get(), POLLIN, 0}, {abortFd, POLLIN, 0}};
            int n = ::poll(
                fds, abortFd >= 0 ? 2 : 1,
                static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(slice).count()) + 1);
            if (n <= 0) {
                if (!notify) changed = true; // without inotify, retry each slice
                continue;
            }
            if (abortFd >= 0 && fds[1].revents) return WaitResult::Aborted;
            if (fds[0].revents) {
                drain(notify.get());
                changed = true;
            }
        }
        if (watch >= 0) ::inotify_rm_watch(notify.get(), watch);
    }
}

} // namespace ipc
