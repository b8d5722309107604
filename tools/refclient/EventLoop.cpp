#include "tools/refclient/EventLoop.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace refclient {

namespace {
// Real-time slices keep the loop rechecking the process clock, which a test may drive.
constexpr int kRealSliceMs = 100;
constexpr int kFakeSliceMs = 10;
} // namespace

EventLoop::EventLoop() : m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

EventLoop::~EventLoop() {
    if (m_wakeFd >= 0) ::close(m_wakeFd);
}

void EventLoop::post(Task task) {
    {
        std::lock_guard lock(m_mutex);
        m_posted.push_back(std::move(task));
    }
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_wakeFd, &one, sizeof one);
}

void EventLoop::quit() {
    m_quit = true;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_wakeFd, &one, sizeof one);
}

void EventLoop::watch(int fd, short events, Watcher watcher) { m_watches[fd] = Watch{events, std::move(watcher), m_nextGeneration++}; }

void EventLoop::setEvents(int fd, short events) {
    if (auto it = m_watches.find(fd); it != m_watches.end()) it->second.events = events;
}

void EventLoop::unwatch(int fd) { m_watches.erase(fd); }

uint64_t EventLoop::after(platform::Duration delay, Task task) { return at(platform::now() + delay, std::move(task)); }

uint64_t EventLoop::at(platform::TimePoint deadline, Task task) {
    uint64_t id = m_nextTimerId++;
    m_timers[id] = Timer{deadline, std::move(task)};
    return id;
}

void EventLoop::cancel(uint64_t timerId) { m_timers.erase(timerId); }

int EventLoop::pollTimeoutMs() const {
    int slice = platform::usingFakeClock() ? kFakeSliceMs : kRealSliceMs;
    if (m_timers.empty()) return slice;
    auto next = std::min_element(m_timers.begin(), m_timers.end(), [](const auto& a, const auto& b) {
                    return a.second.deadline < b.second.deadline;
                })->second.deadline;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - platform::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, slice));
}

void EventLoop::drainWake() {
    uint64_t value;
    while (::read(m_wakeFd, &value, sizeof value) > 0) {
    }
}

void EventLoop::runPosted() {
    std::vector<Task> tasks;
    {
        std::lock_guard lock(m_mutex);
        tasks.swap(m_posted);
    }
    for (auto& task : tasks) {
        if (m_quit) return;
        task();
    }
}

void EventLoop::runDueTimers() {
    auto t = platform::now();
    std::vector<std::pair<platform::TimePoint, uint64_t>> due;
    for (const auto& [id, timer] : m_timers)
        if (timer.deadline <= t) due.emplace_back(timer.deadline, id);
    std::sort(due.begin(), due.end());
    for (const auto& [deadline, id] : due) {
        auto it = m_timers.find(id);
        if (it == m_timers.end() || m_quit) continue;
        Task task = std::move(it->second.task);
        m_timers.erase(it);
        task();
    }
}

void EventLoop::run() {
    while (!m_quit) {
        std::vector<pollfd> fds{{m_wakeFd, POLLIN, 0}};
        std::vector<uint64_t> generations{0};
        for (const auto& [fd, w] : m_watches) {
            fds.push_back({fd, w.events, 0});
            generations.push_back(w.generation);
        }
        int r = ::poll(fds.data(), fds.size(), pollTimeoutMs());
        if (r < 0 && errno != EINTR) break;
        if (fds[0].revents) drainWake();
        runPosted();
        for (size_t i = 1; i < fds.size() && r > 0 && !m_quit; ++i) {
            if (!fds[i].revents) continue;
            auto it = m_watches.find(fds[i].fd);
            if (it == m_watches.end() || it->second.generation != generations[i]) continue; // gone or replaced
            Watcher watcher = it->second.watcher;
            watcher(fds[i].revents);
        }
        if (!m_quit) runDueTimers();
    }
}

} // namespace refclient
