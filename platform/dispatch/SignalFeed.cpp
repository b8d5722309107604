#include "platform/dispatch/SignalFeed.h"

#include "platform/core/Log.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <unistd.h>

namespace dispatch::detail {

namespace {

constexpr int kFeedsPerSignal = 8;
constexpr int kSignals = 65; // 1 ... 64, real-time signals included

// A descriptor plus one, so zero (the static initial value) is an empty slot.
std::atomic<int> g_feeds[kSignals][kFeedsPerSignal];
bool g_installed[kSignals];
std::mutex g_mutex;

void feedSignal(int signo) {
    const int savedErrno = errno;
    if (signo > 0 && signo < kSignals) {
        for (auto& slot : g_feeds[signo]) {
            const int fd = slot.load(std::memory_order_acquire) - 1;
            if (fd < 0) continue;
            const char byte = 1;
            // A full pipe drops the byte: the source already has a delivery pending.
            ssize_t ignored = ::write(fd, &byte, 1);
            (void)ignored;
        }
    }
    errno = savedErrno;
}

} // namespace

bool addSignalFeed(int signo, int writeFd) {
    if (signo <= 0 || signo >= kSignals || signo == SIGKILL || signo == SIGSTOP) {
        platform::log("dispatch signal source: signal %d cannot be caught; the source stays idle", signo);
        return false;
    }
    std::lock_guard lock(g_mutex);
    bool added = false;
    for (auto& slot : g_feeds[signo]) {
        if (slot.load() == 0) {
            slot.store(writeFd + 1, std::memory_order_release);
            added = true;
            break;
        }
    }
    if (!added) {
        platform::log("dispatch signal source: more than %d sources for signal %d; this one stays idle",
                      kFeedsPerSignal, signo);
        return false;
    }
    if (!g_installed[signo]) {
        struct sigaction action {};
        action.sa_handler = feedSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        if (::sigaction(signo, &action, nullptr) != 0) {
            platform::log("dispatch signal source: sigaction(%d) failed (errno %d)", signo, errno);
        } else {
            g_installed[signo] = true;
        }
    }
    return true;
}

void removeSignalFeed(int signo, int writeFd) {
    if (signo <= 0 || signo >= kSignals) return;
    std::lock_guard lock(g_mutex);
    for (auto& slot : g_feeds[signo]) {
        if (slot.load() == writeFd + 1) slot.store(0, std::memory_order_release);
    }
}

} // namespace dispatch::detail
