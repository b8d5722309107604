#include "platform/foundation/PerformSelector.h"

#include "platform/dispatch/Thread.h"

#include <condition_variable>
#include <mutex>

namespace ns {

void performSelectorOnMainThread(std::function<void()> action, bool waitUntilDone,
                                 const dispatch::RunLoopModes& modes) {
    if (!action) return;
    bool onMain = dispatch::isMainThread();
    if (onMain && waitUntilDone) {
        action();
        return;
    }
    auto loop = dispatch::RunLoop::main();
    if (!waitUntilDone) {
        loop->perform(modes, std::move(action));
        return;
    }
    // The caller's stack outlives the perform: it waits for the flag.
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    loop->perform(modes, [&] {
        struct Done {
            std::mutex& mutex;
            std::condition_variable& cv;
            bool& done;
            ~Done() {
                std::lock_guard lock(mutex);
                done = true;
                cv.notify_all();
            }
        } signal{mutex, cv, done};
        action();
    });
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return done; });
}

void performSelectorAfterDelay(const std::weak_ptr<void>& target, std::string_view selector,
                               std::function<void()> action, double delay, const void* argument,
                               const dispatch::RunLoopModes& modes) {
    auto strong = target.lock();
    if (!strong || !action) return; // a message to nil
    dispatch::PerformKey key{strong.get(), std::string(selector), argument};
    dispatch::RunLoop::current()->performAfter(platform::seconds(delay > 0 ? delay : 0), modes,
                                               std::move(key), [target, action = std::move(action)] {
                                                   if (auto alive = target.lock()) action();
                                               });
}

void cancelPreviousPerformRequestsWithTarget(const void* target) {
    for (const auto& loop : dispatch::RunLoop::all())
        loop->cancelPerforms(target);
}

void cancelPreviousPerformRequestsWithTarget(const void* target, std::string_view selector,
                                             const void* argument) {
    for (const auto& loop : dispatch::RunLoop::all())
        loop->cancelPerforms(target, selector, argument);
}

} // namespace ns
