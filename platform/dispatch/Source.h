// A dispatch source: a timer, a read source that fires while its descriptor is readable, or a
// signal source that fires after its signal was delivered (a watcher thread polls the descriptor
// or the signal's pipe; one handler call at a time).
#pragma once

#include "platform/core/Clock.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace dispatch {

class Queue;

enum class SourceType { Timer, Read, Signal };

class Source : public std::enable_shared_from_this<Source> {
  public:
    Source(SourceType type, std::shared_ptr<Queue> queue, uintptr_t handle = 0);
    ~Source();

    SourceType type() const { return m_type; }
    // interval zero: fires once.
    void setTimer(platform::TimePoint start, platform::Duration interval);
    void setEventHandler(std::function<void()> handler);
    void setCancelHandler(std::function<void()> handler);
    void cancel();
    bool isCancelled() const;
    // Fires counted for the handler now running (missed fires collapse into one call).
    unsigned long data() const;
    void resume();
    void suspend();

    // The timer service's call when the timer is due; answers the next fire time or
    // kDistantFuture when the source needs no more.
    platform::TimePoint fireDue(platform::TimePoint now);
    platform::TimePoint nextFire() const;

  private:
    bool armedLocked() const;
    void rearm();
    void deliver();
    void startWatcherLocked();
    void watch();
    void queueCancelHandler();

    const SourceType m_type;
    const std::shared_ptr<Queue> m_queue;
    bool watched() const { return m_type != SourceType::Timer; }
    // Signal sources: the deliveries waiting in the pipe, read off it (0 when none).
    unsigned long drainSignalPipe();

    const int m_signal = 0;   // signal sources: the signal number
    int m_signalWriteFd = -1; // signal sources: the pipe's end the signal handler writes to
    bool m_signalFed = false; // signal sources: the pipe is among the signal's feeds
    int m_fd;                 // read sources: the descriptor watched; signal sources: the pipe
    int m_wakeFd = -1;        // watched sources: readable once cancelled
    bool m_watching = false;  // watched sources: the watcher thread runs
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::function<void()> m_handler;
    std::function<void()> m_cancelHandler;
    platform::TimePoint m_next = platform::kDistantFuture;
    platform::Duration m_interval{0};
    unsigned long m_pending = 0;  // fires not yet handed to the handler
    unsigned long m_data = 0;     // fires the running handler stands for
    bool m_handlerQueued = false; // one handler call at a time is queued
    int m_suspendCount = 1;       // sources start suspended
    bool m_cancelled = false;
    bool m_cancelQueued = false;
};

} // namespace dispatch
