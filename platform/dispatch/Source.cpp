#include "platform/dispatch/Source.h"

#include "platform/core/Log.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/TimerService.h"

namespace dispatch {

Source::Source(SourceType type, std::shared_ptr<Queue> queue) : m_type(type), m_queue(std::move(queue)) {}

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
        again = ran && !m_cancelled && m_suspendCount == 0 && m_pending > 0;
        if (!again) m_handlerQueued = false;
        if (m_cancelled && !m_cancelQueued) {
            m_cancelQueued = true;
            cancelHandler = std::move(m_cancelHandler);
            m_handler = nullptr;
        }
    }
    if (again) m_queue->async([self = shared_from_this()] { self->deliver(); });
    if (cancelHandler) cancelHandler();
}

void Source::cancel() {
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
