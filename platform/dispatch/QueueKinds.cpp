#include "platform/dispatch/QueueKinds.h"

#include "platform/dispatch/RunLoop.h"
#include "platform/dispatch/WorkerPool.h"

namespace dispatch {

MainQueue::MainQueue() : Queue(Kind::Main, "com.apple.main-thread") {}

void MainQueue::submit(std::function<void()> block, bool) {
    auto self = std::static_pointer_cast<MainQueue>(shared_from_this());
    RunLoop::main()->perform({std::string(kCommonRunLoopModes)},
                             [self, block = std::move(block)] { self->run(block); });
}

GlobalQueue::GlobalQueue(std::string label, long priority)
    : Queue(Kind::Global, std::move(label)), m_priority(priority) {}

void GlobalQueue::submit(std::function<void()> block, bool) {
    auto self = std::static_pointer_cast<GlobalQueue>(shared_from_this());
    WorkerPool::global().submit(m_priority, [self, block = std::move(block)] { self->run(block); });
}

SerialQueue::SerialQueue(std::string label) : Queue(Kind::Serial, std::move(label)) {}

void SerialQueue::submit(std::function<void()> block, bool) {
    std::lock_guard lock(m_itemsMutex);
    m_items.push_back(std::move(block));
    if (m_scheduled) return;
    m_scheduled = true;
    auto self = std::static_pointer_cast<SerialQueue>(shared_from_this());
    WorkerPool::serial().submit(0, [self] { self->drainLoop(); });
}

void SerialQueue::drainLoop() {
    for (;;) {
        std::function<void()> block;
        {
            std::lock_guard lock(m_itemsMutex);
            if (m_items.empty()) {
                m_scheduled = false;
                return;
            }
            block = std::move(m_items.front());
            m_items.pop_front();
        }
        run(block);
    }
}

ConcurrentQueue::ConcurrentQueue(std::string label) : Queue(Kind::Concurrent, std::move(label)) {}

void ConcurrentQueue::submit(std::function<void()> block, bool barrier) {
    std::lock_guard lock(m_itemsMutex);
    m_items.push_back({std::move(block), barrier});
    pumpLocked();
}

void ConcurrentQueue::pumpLocked() {
    while (!m_items.empty() && !m_barrierRunning) {
        bool barrier = m_items.front().barrier;
        if (barrier && m_running > 0) return;
        auto block = std::move(m_items.front().block);
        m_items.pop_front();
        ++m_running;
        m_barrierRunning = barrier;
        auto self = std::static_pointer_cast<ConcurrentQueue>(shared_from_this());
        WorkerPool::global().submit(0, [self, block = std::move(block), barrier] {
            struct Done {
                ConcurrentQueue* queue;
                bool barrier;
                ~Done() { queue->done(barrier); }
            } done{self.get(), barrier};
            self->run(block);
        });
    }
}

void ConcurrentQueue::done(bool barrier) {
    std::lock_guard lock(m_itemsMutex);
    --m_running;
    if (barrier) m_barrierRunning = false;
    pumpLocked();
}

} // namespace dispatch
