#include "platform/dispatch/Source.h"

#include "platform/core/Log.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/SignalFeed.h"
#include "platform/dispatch/TimerService.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace dispatch {

Source::Source(SourceType type, std::shared_ptr<Queue> queue, uintptr_t handle)
    : m_type(type), m_queue(std::move(queue)),
      m_signal(type == SourceType::Signal ? static_cast<int>(handle) : 0),
      m_fd(type == SourceType::Read ? static_cast<int>(handle) : -1) {
    if (watched()) m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_type == SourceType::Signal) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            m_fd = fds[0];
            m_signalWriteFd = fds[1];
        } else {
            platform::log("dispatch signal source: no pipe for signal %d (errno %d); the source stays idle",
                          m_signal, errno);
        }
    }
}

Source::~Source() {
    if (m_signalFed) detail::removeSignalFeed(m_signal, m_signalWriteFd);
    if (m_type == SourceType::Signal) {
        if (m_fd >= 0) ::close(m_fd);
        if (m_signalWriteFd >= 0) ::close(m_signalWriteFd);
    }
    if (m_wakeFd >= 0) ::close(m_wakeFd);
}

unsigned long Source::drainSignalPipe() {
    unsigned long count = 0;
    char buffer[256];
    for (;;) {
        ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n > 0) {
            count += static_cast<unsigned long>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return count;
    }
}

void Source::startWatcherLocked() {
    if (m_watching || m_cancelled || m_suspendCount > 0) return;
    m_watching = true;
    std::thread([self = shared_from_this()] { self->watch(); }).detach();
}

// The read source's watcher: waits for the descriptor while no handler call is queued, hands
// one call to the queue per readable moment, and once cancelled runs the cancel handler after
// the last handler call, so the handler may close the descriptor safely.
void Source::watch() {
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            m_cv.wait(lock, [this] { return m_cancelled || (m_suspendCount == 0 && !m_handlerQueued); });
            if (m_cancelled) break;
        }
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        std::unique_lock lock(m_mutex);
        if (m_cancelled) break;
        if (n < 0 || (fds[0].revents & POLLNVAL)) {
            lock.unlock();
            platform::log(
                "dispatch read source: descriptor %d cannot be watched; source idle until cancelled", m_fd);
            lock.lock();
            m_cv.wait(lock, [this] { return m_cancelled; });
            break;
        }
        if (fds[0].revents == 0) continue;
        if (m_type == SourceType::Signal) {
            const unsigned long delivered = drainSignalPipe();
            if (delivered == 0) continue;
            m_pending = delivered;
            m_handlerQueued = true;
            lock.unlock();
            m_queue->async([self = shared_from_this()] { self->deliver(); });
            continue;
        }
        int available = 0;
        if (::ioctl(m_fd, FIONREAD, &available) != 0 || available <= 0) available = 1;
        m_pending = static_cast<unsigned long>(available);
        m_handlerQueued = true;
        lock.unlock();
        m_queue->async([self = shared_from_this()] { self->deliver(); });
    }
    {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [this] { return !m_handlerQueued; });
    }
    queueCancelHandler();
}

void Source::queueCancelHandler() {
    {
        std::lock_guard lock(m_mutex);
        if (m_cancelQueued) return;
        m_cancelQueued = true;
    }
    m_queue->async([self = shared_from_this()] {
        std::function<void()> cancelHandler;
        {
            std::lock_guard lock(self->m_mutex);
            cancelHandler = std::move(self->m_cancelHandler);
            self->m_handler = nullptr;
        }
        if (cancelHandler) cancelHandler();
    });
}

bool Source::armedLocked() const {
    return !m_cancelled && m_suspendCount == 0 && m_next != platform::kDistantFuture;
}

void Source::rearm() {
    bool armed;
    {
        std::lock_guard lock(m_mutex);
        armed = armedLocked();
    }
    if (armed) {
        TimerService::shared().arm(shared_from_this());
    } else {
        TimerService::shared().disarm(shared_from_this());
    }
}

void Source::setTimer(platform::TimePoint start, platform::Duration interval) {
    {
        std::lock_guard lock(m_mutex);
        if (m_cancelled) return;
        m_next = start;
        m_interval = interval > platform::Duration::zero() ? interval : platform::Duration::zero();
        m_pending = 0;
    }
    rearm();
}

void Source::setEventHandler(std::function<void()> handler) {
    std::lock_guard lock(m_mutex);
    if (!m_cancelled) m_handler = std::move(handler);
}

void Source::setCancelHandler(std::function<void()> handler) {
    std::lock_guard lock(m_mutex);
    if (!m_cancelled) m_cancelHandler = std::move(handler);
}

bool Source::isCancelled() const {
    std::lock_guard lock(m_mutex);
    return m_cancelled;
}

unsigned long Source::data() const {
    std::lock_guard lock(m_mutex);
    return m_data;
}

platform::TimePoint Source::nextFire() const {
    std::lock_guard lock(m_mutex);
    return armedLocked() ? m_next : platform::kDistantFuture;
}

void Source::resume() {
    bool deliverNow = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_suspendCount == 0) {
            platform::log("dispatch_resume on a source that is not suspended; ignored");
            return;
        }
        if (--m_suspendCount > 0) return;
        if (m_type == SourceType::Signal && !m_signalFed && m_signalWriteFd >= 0 && !m_cancelled)
            m_signalFed = detail::addSignalFeed(m_signal, m_signalWriteFd);
        if (watched()) {
            startWatcherLocked();
            m_cv.notify_all();
            return;
        }
        if (!m_cancelled && m_pending > 0 && !m_handlerQueued) {
            m_handlerQueued = true;
            deliverNow = true;
        }
    }
    rearm();
    if (deliverNow) m_queue->async([self = shared_from_this()] { self->deliver(); });
}

void Source::suspend() {
    std::lock_guard lock(m_mutex);
    ++m_suspendCount;
}

platform::TimePoint Source::fireDue(platform::TimePoint now) {
    bool queue = false;
    platform::TimePoint next;
    {
        std::lock_guard lock(m_mutex);
        if (!armedLocked()) return platform::kDistantFuture;
        if (m_next > now) return m_next;
        unsigned long fires = 1;
        if (m_interval > platform::Duration::zero()) {
            auto missed = (now - m_next) / m_interval; // whole intervals the clock jumped over
            fires += static_cast<unsigned long>(missed);
            m_next += m_interval * (missed + 1);
        } else {
            m_next = platform::kDistantFuture;
        }
        m_pending += fires;
        if (!m_handlerQueued) {
            m_handlerQueued = true;
            queue = true;
        }
        next = m_next;
    }
    if (queue) m_queue->async([self = shared_from_this()] { self->deliver(); });
    return next;
}

void Source::deliver() {
    std::function<void()> handler;
    bool ran = false;
    {
        std::lock_guard lock(m_mutex);
        if (!m_cancelled && m_suspendCount == 0 && m_pending > 0) {
            m_data = m_pending;
            m_pending = 0;
            handler = m_handler;
            ran = true;
        }
    }
    if (handler) handler();
    bool again = false;
    std::function<void()> cancelHandler;
    {
        std::lock_guard lock(m_mutex);
        // Fires that came while the handler ran make one more call for all of them.
        again = m_type == SourceType::Timer && ran && !m_cancelled && m_suspendCount == 0 && m_pending > 0;
        if (!again) m_handlerQueued = false;
        m_cv.notify_all();
        if (m_type == SourceType::Timer && m_cancelled && !m_cancelQueued) {
            m_cancelQueued = true;
            cancelHandler = std::move(m_cancelHandler);
            m_handler = nullptr;
        }
    }
    if (again) m_queue->async([self = shared_from_this()] { self->deliver(); });
    if (cancelHandler) cancelHandler();
}

void Source::cancel() {
    if (watched()) {
        bool watching;
        {
            std::lock_guard lock(m_mutex);
            if (m_cancelled) return;
            m_cancelled = true;
            watching = m_watching;
            m_cv.notify_all();
        }
        uint64_t one = 1;
        ssize_t ignored = ::write(m_wakeFd, &one, sizeof one);
        (void)ignored;
        if (!watching) queueCancelHandler();
        return;
    }
    bool runCancelNow = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_cancelled) return;
        m_cancelled = true;
        if (!m_handlerQueued && !m_cancelQueued) {
            m_cancelQueued = true;
            runCancelNow = true;
        }
    }
    TimerService::shared().disarm(shared_from_this());
    if (runCancelNow) {
        m_queue->async([self = shared_from_this()] {
            std::function<void()> cancelHandler;
            {
                std::lock_guard lock(self->m_mutex);
                cancelHandler = std::move(self->m_cancelHandler);
                self->m_handler = nullptr;
            }
            if (cancelHandler) cancelHandler();
        });
    }
}

} // namespace dispatch
