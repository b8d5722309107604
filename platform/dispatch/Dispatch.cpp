#include "platform/dispatch/Dispatch.h"

#include "platform/core/Log.h"
#include "platform/dispatch/CurrentQueue.h"
#include "platform/dispatch/QueueKinds.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/dispatch/Thread.h"
#include "platform/dispatch/TimerService.h"

#include <limits>

namespace dispatch {

namespace {

const QueueAttributes kConcurrentAttributes{true};

int64_t saturatingAdd(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r)) return b > 0 ? std::numeric_limits<int64_t>::max() : 0;
    return r;
}

dispatch_queue_t makeGlobal(const char* label, long priority) {
    return std::make_shared<GlobalQueue>(label, priority);
}

} // namespace

const dispatch_queue_attr_t DISPATCH_QUEUE_CONCURRENT = &kConcurrentAttributes;

// ---- Time.

dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta) {
    if (when == DISPATCH_TIME_FOREVER) return DISPATCH_TIME_FOREVER;
    int64_t base =
        when == DISPATCH_TIME_NOW ? platform::now().time_since_epoch().count() : static_cast<int64_t>(when);
    int64_t t = saturatingAdd(base, delta);
    if (t == std::numeric_limits<int64_t>::max()) return DISPATCH_TIME_FOREVER;
    return t <= 0 ? 1 : static_cast<dispatch_time_t>(t); // 0 would read as "now" again
}

platform::TimePoint toTimePoint(dispatch_time_t t) {
    if (t == DISPATCH_TIME_FOREVER) return platform::kDistantFuture;
    if (t == DISPATCH_TIME_NOW) return platform::now();
    if (t >= static_cast<uint64_t>(platform::kDistantFuture.time_since_epoch().count()))
        return platform::kDistantFuture;
    return platform::TimePoint(platform::Duration(static_cast<int64_t>(t)));
}

dispatch_time_t fromTimePoint(platform::TimePoint t) {
    if (t >= platform::kDistantFuture) return DISPATCH_TIME_FOREVER;
    auto n = t.time_since_epoch().count();
    return n <= 0 ? 1 : static_cast<dispatch_time_t>(n);
}

// ---- Queues.

dispatch_queue_t dispatch_get_main_queue() {
    static auto* queue = new dispatch_queue_t(std::make_shared<MainQueue>());
    return *queue;
}

dispatch_queue_t dispatch_get_global_queue(long priority, unsigned long) {
    static auto* high =
        new dispatch_queue_t(makeGlobal("com.apple.root.high-priority", DISPATCH_QUEUE_PRIORITY_HIGH));
    static auto* normal =
        new dispatch_queue_t(makeGlobal("com.apple.root.default-priority", DISPATCH_QUEUE_PRIORITY_DEFAULT));
    static auto* low =
        new dispatch_queue_t(makeGlobal("com.apple.root.low-priority", DISPATCH_QUEUE_PRIORITY_LOW));
    static auto* background = new dispatch_queue_t(
        makeGlobal("com.apple.root.background-priority", DISPATCH_QUEUE_PRIORITY_BACKGROUND));
    switch (priority) {
    case DISPATCH_QUEUE_PRIORITY_HIGH:
        return *high;
    case DISPATCH_QUEUE_PRIORITY_LOW:
        return *low;
    case DISPATCH_QUEUE_PRIORITY_BACKGROUND:
        return *background;
    default:
        return *normal;
    }
}

dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t attr) {
    return dispatch_queue_create(std::string(label ? label : ""), attr);
}

dispatch_queue_t dispatch_queue_create(const std::string& label, dispatch_queue_attr_t attr) {
    if (attr && attr->concurrent) return std::make_shared<ConcurrentQueue>(label);
    return std::make_shared<SerialQueue>(label);
}

void dispatch_set_target_queue(const dispatch_queue_t& queue, const dispatch_queue_t& target) {
    if (queue) queue->setTarget(target);
}

const char* dispatch_queue_get_label(const dispatch_queue_t& queue) {
    if (queue) return queue->label().c_str();
    Queue* current = runningQueue();
    if (current) return current->label().c_str();
    return isMainThread() ? dispatch_get_main_queue()->label().c_str() : "";
}

void dispatch_async(const dispatch_queue_t& queue, dispatch_block_t block) {
    if (queue) queue->async(std::move(block));
}

void dispatch_sync(const dispatch_queue_t& queue, dispatch_block_t block) {
    if (queue) queue->sync(std::move(block));
}

void dispatch_barrier_async(const dispatch_queue_t& queue, dispatch_block_t block) {
    if (queue) queue->async(std::move(block), true);
}

void dispatch_barrier_sync(const dispatch_queue_t& queue, dispatch_block_t block) {
    if (queue) queue->sync(std::move(block), true);
}

void dispatch_after(dispatch_time_t when, const dispatch_queue_t& queue, dispatch_block_t block) {
    if (!queue || !block || when == DISPATCH_TIME_FOREVER) return;
    TimerService::shared().after(toTimePoint(when), queue, std::move(block));
}

dispatch_queue_t currentQueue() {
    if (Queue* q = runningQueue()) return q->shared_from_this();
    return isMainThread() ? dispatch_get_main_queue() : nullptr;
}

dispatch_queue_t dispatch_get_current_queue() {
    return currentQueue();
}

void dispatch_queue_set_specific(const dispatch_queue_t& queue, const void* key,
                                 std::shared_ptr<void> value) {
    if (queue) queue->setSpecific(key, std::move(value));
}

std::shared_ptr<void> dispatch_queue_get_specific(const dispatch_queue_t& queue, const void* key) {
    return queue ? queue->specific(key) : nullptr;
}

std::shared_ptr<void> dispatch_get_specific(const void* key) {
    int hops = 0;
    for (auto q = currentQueue(); q && hops < 64; q = q->target(), ++hops) {
        if (auto v = q->specific(key)) return v;
    }
    return nullptr;
}

void dispatch_main() {
    if (!isMainThread()) {
        platform::log("dispatch_main called off the main thread; aborting");
        std::abort();
    }
    for (;;)
        RunLoop::main()->run();
}

// ---- Groups.

dispatch_group_t dispatch_group_create() {
    return std::make_shared<Group>();
}

void dispatch_group_enter(const dispatch_group_t& group) {
    if (group) group->enter();
}

void dispatch_group_leave(const dispatch_group_t& group) {
    if (group) group->leave();
}

void dispatch_group_async(const dispatch_group_t& group, const dispatch_queue_t& queue,
                          dispatch_block_t block) {
    if (!group || !queue || !block) return;
    group->enter();
    queue->async([group, block = std::move(block)] {
        struct Leave {
            Group* group;
            ~Leave() { group->leave(); }
        } leave{group.get()};
        block();
    });
}

long dispatch_group_wait(const dispatch_group_t& group, dispatch_time_t timeout) {
    if (!group) return 0;
    return group->wait(toTimePoint(timeout)) ? 0 : 1;
}

void dispatch_group_notify(const dispatch_group_t& group, const dispatch_queue_t& queue,
                           dispatch_block_t block) {
    if (group) group->notify(queue, std::move(block));
}

// ---- Semaphores.

dispatch_semaphore_t dispatch_semaphore_create(long value) {
    if (value < 0) return nullptr; // as the C call: a negative start is refused
    return std::make_shared<Semaphore>(value);
}

long dispatch_semaphore_wait(const dispatch_semaphore_t& semaphore, dispatch_time_t timeout) {
    if (!semaphore) return 1;
    return semaphore->wait(toTimePoint(timeout)) ? 0 : 1;
}

long dispatch_semaphore_signal(const dispatch_semaphore_t& semaphore) {
    return semaphore && semaphore->signal() ? 1 : 0;
}

// ---- Sources.

dispatch_source_t dispatch_source_create(dispatch_source_type_t type, uintptr_t handle, unsigned long,
                                         const dispatch_queue_t& queue) {
    return std::make_shared<Source>(
        type, queue ? queue : dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_DEFAULT), handle);
}

void dispatch_source_set_timer(const dispatch_source_t& source, dispatch_time_t start, uint64_t interval,
                               uint64_t) {
    if (!source) return;
    platform::Duration every{0};
    if (interval != DISPATCH_TIME_FOREVER && interval > 0) {
        every = platform::Duration(static_cast<int64_t>(std::min<uint64_t>(interval, INT64_MAX / 4)));
    }
    source->setTimer(toTimePoint(start), every);
}

void dispatch_source_set_event_handler(const dispatch_source_t& source, dispatch_block_t handler) {
    if (source) source->setEventHandler(std::move(handler));
}

void dispatch_source_set_cancel_handler(const dispatch_source_t& source, dispatch_block_t handler) {
    if (source) source->setCancelHandler(std::move(handler));
}

void dispatch_source_cancel(const dispatch_source_t& source) {
    if (source) source->cancel();
}

long dispatch_source_testcancel(const dispatch_source_t& source) {
    return source && source->isCancelled() ? 1 : 0;
}

unsigned long dispatch_source_get_data(const dispatch_source_t& source) {
    return source ? source->data() : 0;
}

void dispatch_resume(const dispatch_source_t& source) {
    if (source) source->resume();
}

void dispatch_suspend(const dispatch_source_t& source) {
    if (source) source->suspend();
}

} // namespace dispatch
