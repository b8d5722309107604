#include "platform/dispatch/TimerService.h"

#include "platform/core/Clock.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Source.h"
#include "platform/dispatch/WorkerPool.h"

#include <pthread.h>
#include <thread>
#include <vector>

namespace dispatch {

TimerService& TimerService::shared() {
    static auto* service = new TimerService();
    return *service;
}

void TimerService::after(platform::TimePoint when, std::shared_ptr<Queue> queue,
                         std::function<void()> block) {
    std::lock_guard lock(m_mutex);
    m_afters.emplace(when, After{std::move(queue), std::move(block)});
    ++m_changes;
    ensureThreadLocked();
    m_cv.notify_all();
}

void TimerService::arm(const std::shared_ptr<Source>& source) {
    std::lock_guard lock(m_mutex);
    m_sources.insert(source);
    ++m_changes;
    ensureThreadLocked();
    m_cv.notify_all();
}

void TimerService::disarm(const std::shared_ptr<Source>& source) {
    std::lock_guard lock(m_mutex);
    m_sources.erase(source);
    ++m_changes;
    m_cv.notify_all();
}

std::optional<platform::TimePoint> TimerService::nextDue() const {
    std::lock_guard lock(m_mutex);
    return nextDueLocked();
}

std::optional<platform::TimePoint> TimerService::nextDueLocked() const {
    std::optional<platform::TimePoint> next;
    if (!m_afters.empty()) next = m_afters.begin()->first;
    for (const auto& source : m_sources) {
        auto t = source->nextFire();
        if (t != platform::kDistantFuture && (!next || t < *next)) next = t;
    }
    return next;
}

size_t TimerService::fireDue() {
    std::lock_guard firing(m_fireMutex);
    std::vector<After> afters;
    std::vector<std::shared_ptr<Source>> sources;
    auto now = platform::now();
    {
        std::lock_guard lock(m_mutex);
        auto end = m_afters.upper_bound(now);
        for (auto it = m_afters.begin(); it != end; ++it)
            afters.push_back(std::move(it->second));
        m_afters.erase(m_afters.begin(), end);
        for (const auto& source : m_sources) {
            if (source->nextFire() <= now) sources.push_back(source);
        }
    }
    for (auto& a : afters)
        a.queue->async(std::move(a.block));
    size_t fired = afters.size();
    for (auto& source : sources) {
        if (source->fireDue(now) == platform::kDistantFuture) disarm(source);
        ++fired;
    }
    return fired;
}

void TimerService::ensureThreadLocked() {
    if (m_threadStarted) return;
    m_threadStarted = true;
    std::thread([this] { threadMain(); }).detach();
}

void TimerService::threadMain() {
    markWorkerThread();
    pthread_setname_np(pthread_self(), "dispatch-timers");
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            auto next = nextDueLocked();
            uint64_t seen = m_changes;
            auto pred = [&] { return m_changes != seen; };
            if (!next) {
                m_cv.wait(lock, pred);
                continue;
            }
            if (platform::now() < *next) {
                platform::waitUntil(m_cv, lock, *next, pred);
                continue; // recompute: something changed, or the time came
            }
        }
        fireDue();
    }
}

} // namespace dispatch
