// The four kinds of queue behind dispatch::Queue; only Dispatch.cpp makes them.
#pragma once

#include "platform/dispatch/Queue.h"

#include <deque>
#include <functional>
#include <mutex>

namespace dispatch {

// Served by the main run loop in every mode.
class MainQueue final : public Queue {
  public:
    MainQueue();

  protected:
    void submit(std::function<void()> block, bool barrier) override;
};

// Serves all blocks of one priority on the global pool.
class GlobalQueue final : public Queue {
  public:
    GlobalQueue(std::string label, long priority);
    long priority() const { return m_priority; }

  protected:
    void submit(std::function<void()> block, bool barrier) override;

  private:
    const long m_priority;
};

// FIFO, one block at a time, on a pooled thread of its own while it has work.
class SerialQueue final : public Queue {
  public:
    explicit SerialQueue(std::string label);

  protected:
    void submit(std::function<void()> block, bool barrier) override;

  private:
    void drainLoop();

    std::mutex m_itemsMutex;
    std::deque<std::function<void()>> m_items;
    bool m_scheduled = false;
};

// Blocks run side by side on the global pool; a barrier runs alone.
class ConcurrentQueue final : public Queue {
  public:
    explicit ConcurrentQueue(std::string label);

  protected:
    void submit(std::function<void()> block, bool barrier) override;

  private:
    struct Item {
        std::function<void()> block;
        bool barrier;
    };
    void pumpLocked();
    void done(bool barrier);

    std::mutex m_itemsMutex;
    std::deque<Item> m_items;
    size_t m_running = 0;
    bool m_barrierRunning = false;
};

} // namespace dispatch
