#include "platform/dispatch/Queue.h"

#include "platform/core/Log.h"
#include "platform/dispatch/Activity.h"
#include "platform/dispatch/CurrentQueue.h"
#include "platform/dispatch/Thread.h"

#include <condition_variable>
#include <cstdlib>
#include <vector>

namespace dispatch {

namespace {

thread_local std::vector<Queue*> tRunning;

// Serial queues the block would need to get through on its way to a thread.
std::vector<Queue*> serialChain(Queue* queue) {
    std::vector<Queue*> chain;
    for (auto q = queue->shared_from_this(); q; q = q->target()) {
        if (q->isSerial()) chain.push_back(q.get());
        if (chain.size() > 64) break; // a cycle of targets; setTarget refuses them, this is a guard
    }
    return chain;
}

} // namespace

Queue* runningQueue() {
    return tRunning.empty() ? nullptr : tRunning.back();
}
const std::vector<Queue*>& runningQueues() {
    return tRunning;
}

Queue::Queue(Kind kind, std::string label) : m_kind(kind), m_label(std::move(label)) {}

Queue::~Queue() = default;

void Queue::setTarget(const std::shared_ptr<Queue>& target) {
    if (m_kind == Kind::Main || m_kind == Kind::Global) return; // their targets never change
    for (auto q = target; q; q = q->target()) {
        if (q.get() == this) {
            platform::log("dispatch_set_target_queue: \"%@\" would target itself; ignored", m_label);
            return;
        }
    }
    std::lock_guard lock(m_mutex);
    m_target = target;
}

std::shared_ptr<Queue> Queue::target() const {
    std::lock_guard lock(m_mutex);
    return m_target;
}

std::shared_ptr<Queue> Queue::serialTarget() const {
    auto t = target();
    return t && t->kind() != Kind::Global && t->kind() != Kind::Concurrent ? t : nullptr;
}

void Queue::setSpecific(const void* key, std::shared_ptr<void> value) {
    std::lock_guard lock(m_mutex);
    if (value) {
        m_specific[key] = std::move(value);
    } else {
        m_specific.erase(key);
    }
}

std::shared_ptr<void> Queue::specific(const void* key) const {
    std::lock_guard lock(m_mutex);
    auto it = m_specific.find(key);
    return it == m_specific.end() ? nullptr : it->second;
}

void Queue::async(std::function<void()> block, bool barrier) {
    if (!block) return;
    ++m_inFlight;
    if (auto t = serialTarget()) {
        t->async([self = shared_from_this(), block = std::move(block)] { self->run(block); });
        return;
    }
    submit(std::move(block), barrier);
}

void Queue::sync(std::function<void()> block, bool barrier) {
    if (!block) return;
    auto chain = serialChain(this);
    for (Queue* q : chain) {
        bool ownQueue = q->kind() == Kind::Main ? isMainThread() : false;
        for (Queue* running : tRunning)
            ownQueue = ownQueue || running == q;
        if (ownQueue) {
            platform::log("dispatch_sync onto queue \"%@\", which the calling thread is running: it could "
                          "never run; aborting",
                          q->label());
            std::abort();
        }
    }
    ++m_inFlight;
    if (auto t = serialTarget()) {
        t->sync([this, &block] { run(block); });
    } else if (m_kind == Kind::Global) {
        run(block); // nothing to wait for: a global queue runs any number at once
    } else {
        submitAndWait(std::move(block), barrier);
    }
}

void Queue::submitAndWait(std::function<void()> block, bool barrier) {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    submit(
        [&] {
            block();
            std::lock_guard lock(mutex);
            done = true;
            cv.notify_all();
        },
        barrier);
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return done; });
}

void Queue::run(const std::function<void()>& block) {
    struct Mark {
        explicit Mark(Queue* q) { tRunning.push_back(q); }
        ~Mark() { tRunning.pop_back(); }
    };
    struct Finish {
        Queue* queue;
        ~Finish() { queue->finished(); }
    } finish{this};
    Mark mark(this);
    block();
}

void Queue::finished() {
    if (--m_inFlight == 0) activity::signal();
}

} // namespace dispatch
