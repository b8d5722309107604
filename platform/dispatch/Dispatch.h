// The dispatch facade: queues, groups, semaphores, once, dispatch_after and timer sources,
// named as the C calls they stand for. Every wait and deadline reads the process clock
// (platform/core/Clock.h), so with the fake clock nothing is due until time is advanced.
#pragma once

#include "platform/core/Clock.h"
#include "platform/dispatch/Data.h"
#include "platform/dispatch/Group.h"
#include "platform/dispatch/IOChannel.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/dispatch/Source.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace dispatch {

using dispatch_block_t = std::function<void()>;
using dispatch_queue_t = std::shared_ptr<Queue>;
using dispatch_group_t = std::shared_ptr<Group>;
using dispatch_semaphore_t = std::shared_ptr<Semaphore>;
using dispatch_source_t = std::shared_ptr<Source>;

// ---- Time: nanoseconds on the process clock; 0 is "now", all ones "forever".
using dispatch_time_t = uint64_t;
inline constexpr dispatch_time_t DISPATCH_TIME_NOW = 0;
inline constexpr dispatch_time_t DISPATCH_TIME_FOREVER = ~0ull;
inline constexpr uint64_t NSEC_PER_SEC = 1'000'000'000ull;
inline constexpr uint64_t NSEC_PER_MSEC = 1'000'000ull;
inline constexpr uint64_t NSEC_PER_USEC = 1'000ull;
inline constexpr uint64_t USEC_PER_SEC = 1'000'000ull;

// when (DISPATCH_TIME_NOW = the clock's present) plus delta nanoseconds; FOREVER stays FOREVER.
dispatch_time_t dispatch_time(dispatch_time_t when, int64_t delta);
platform::TimePoint toTimePoint(dispatch_time_t t); // FOREVER gives platform::kDistantFuture
dispatch_time_t fromTimePoint(platform::TimePoint t);

// ---- Queues.
inline constexpr long DISPATCH_QUEUE_PRIORITY_HIGH = 2;
inline constexpr long DISPATCH_QUEUE_PRIORITY_DEFAULT = 0;
inline constexpr long DISPATCH_QUEUE_PRIORITY_LOW = -2;
inline constexpr long DISPATCH_QUEUE_PRIORITY_BACKGROUND = -32768;

struct QueueAttributes {
    bool concurrent = false;
};
using dispatch_queue_attr_t = const QueueAttributes*;
inline constexpr dispatch_queue_attr_t DISPATCH_QUEUE_SERIAL = nullptr;
extern const dispatch_queue_attr_t DISPATCH_QUEUE_CONCURRENT;

// FIFO, run only by the main run loop, in every mode.
dispatch_queue_t dispatch_get_main_queue();
// Four concurrent queues by priority (unknown priorities map to the default one); flags ignored.
dispatch_queue_t dispatch_get_global_queue(long priority, unsigned long flags = 0);
// A null label is an empty one.
dispatch_queue_t dispatch_queue_create(const char* label, dispatch_queue_attr_t attr);
dispatch_queue_t dispatch_queue_create(const std::string& label, dispatch_queue_attr_t attr);
// Targeting a global queue changes nothing (priority is ignored); targeting a serial queue,
// the main queue included, makes the queue's blocks run one at a time on that queue.
void dispatch_set_target_queue(const dispatch_queue_t& queue, const dispatch_queue_t& target);
// The queue's label; null gives the current queue's ("" when none).
const char* dispatch_queue_get_label(const dispatch_queue_t& queue);

void dispatch_async(const dispatch_queue_t& queue, dispatch_block_t block);
// Runs block on queue and returns when it has finished. Onto the queue the caller is running
// on (the main queue from the main thread included) it logs why and aborts: it could never run.
void dispatch_sync(const dispatch_queue_t& queue, dispatch_block_t block);
// On a private concurrent queue the block runs alone, after everything queued before it and
// before anything queued after; elsewhere these are dispatch_async/dispatch_sync.
void dispatch_barrier_async(const dispatch_queue_t& queue, dispatch_block_t block);
void dispatch_barrier_sync(const dispatch_queue_t& queue, dispatch_block_t block);
// Queues block on queue once the process clock reaches when (FOREVER: never).
void dispatch_after(dispatch_time_t when, const dispatch_queue_t& queue, dispatch_block_t block);

// The queue whose block the calling thread is running: the main queue on the main thread
// outside any block, null on a thread no queue started.
dispatch_queue_t currentQueue();
dispatch_queue_t dispatch_get_current_queue();

// Values a queue keeps for its users (the queue owns them); dispatch_get_specific looks at the
// current queue and then along its targets.
void dispatch_queue_set_specific(const dispatch_queue_t& queue, const void* key, std::shared_ptr<void> value);
std::shared_ptr<void> dispatch_queue_get_specific(const dispatch_queue_t& queue, const void* key);
std::shared_ptr<void> dispatch_get_specific(const void* key);

// Runs the main run loop for ever.
[[noreturn]] void dispatch_main();

// ---- Groups.
dispatch_group_t dispatch_group_create();
void dispatch_group_enter(const dispatch_group_t& group);
void dispatch_group_leave(const dispatch_group_t& group);
void dispatch_group_async(const dispatch_group_t& group, const dispatch_queue_t& queue,
                          dispatch_block_t block);
// 0 once every entered block has left, non-zero at the deadline.
long dispatch_group_wait(const dispatch_group_t& group, dispatch_time_t timeout);
// Queues block on queue when the group empties (at once when it is empty now).
void dispatch_group_notify(const dispatch_group_t& group, const dispatch_queue_t& queue,
                           dispatch_block_t block);

// ---- Semaphores.
dispatch_semaphore_t dispatch_semaphore_create(long value);
// 0 when a unit was taken, non-zero at the deadline.
long dispatch_semaphore_wait(const dispatch_semaphore_t& semaphore, dispatch_time_t timeout);
// Non-zero when it woke a waiter.
long dispatch_semaphore_signal(const dispatch_semaphore_t& semaphore);

// ---- Once.
using dispatch_once_t = std::once_flag;
inline void dispatch_once(dispatch_once_t* predicate, const dispatch_block_t& block) {
    std::call_once(*predicate, block);
}

// ---- Sources. They start suspended: dispatch_resume starts them.
inline constexpr SourceType DISPATCH_SOURCE_TYPE_TIMER = SourceType::Timer;
// handle: the descriptor; dispatch_source_get_data gives the bytes (or pending connections,
// at least 1) readable when the handler was called.
inline constexpr SourceType DISPATCH_SOURCE_TYPE_READ = SourceType::Read;
// handle: the signal number. The source installs a handler for that signal when first resumed
// (replacing the SIG_IGN a program sets so that the signal's default action cannot end it);
// that handler only feeds the source, and the event handler runs on the source's queue, with
// dispatch_source_get_data counting the deliveries it stands for. The signal stays caught
// (and ignored) once no source watches it.
inline constexpr SourceType DISPATCH_SOURCE_TYPE_SIGNAL = SourceType::Signal;
using dispatch_source_type_t = SourceType;

dispatch_source_t dispatch_source_create(dispatch_source_type_t type, uintptr_t handle, unsigned long mask,
                                         const dispatch_queue_t& queue);
// First fire at start, then every interval nanoseconds keeping phase (FOREVER: once); fires
// missed while the handler was busy or the clock jumped collapse into one, counted by
// dispatch_source_get_data. Leeway is ignored.
void dispatch_source_set_timer(const dispatch_source_t& source, dispatch_time_t start, uint64_t interval,
                               uint64_t leeway);
void dispatch_source_set_event_handler(const dispatch_source_t& source, dispatch_block_t handler);
void dispatch_source_set_cancel_handler(const dispatch_source_t& source, dispatch_block_t handler);
// No event handler starts after this returns; the cancel handler then runs on the queue.
void dispatch_source_cancel(const dispatch_source_t& source);
long dispatch_source_testcancel(const dispatch_source_t& source);
unsigned long dispatch_source_get_data(const dispatch_source_t& source);
void dispatch_resume(const dispatch_source_t& source);
void dispatch_suspend(const dispatch_source_t& source);

} // namespace dispatch
