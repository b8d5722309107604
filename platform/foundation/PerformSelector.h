// NSObject's perform family: run work on the main thread, or on the current thread's run loop
// after a delay, cancellable by target. Selectors are names used only to match cancellations.
#pragma once

#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/NSRunLoop.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace ns {

// performSelectorOnMainThread:withObject:waitUntilDone:(modes:). With wait on the main thread
// the action runs at once; elsewhere the caller blocks until the main run loop has run it.
void performSelectorOnMainThread(std::function<void()> action, bool waitUntilDone,
                                 const dispatch::RunLoopModes& modes = {std::string(NSRunLoopCommonModes)});

// performSelector:withObject:afterDelay:(inModes:) on the current thread's run loop. The
// target is held weakly: a perform whose target has gone is dropped. argument identifies the
// object argument for cancellation only.
void performSelectorAfterDelay(const std::weak_ptr<void>& target, std::string_view selector,
                               std::function<void()> action, double delay, const void* argument = nullptr,
                               const dispatch::RunLoopModes& modes = {std::string(NSDefaultRunLoopMode)});

// Cancel delayed performs of target (on every thread's run loop), or only those with this
// selector and argument.
void cancelPreviousPerformRequestsWithTarget(const void* target);
void cancelPreviousPerformRequestsWithTarget(const void* target, std::string_view selector,
                                             const void* argument);

} // namespace ns
