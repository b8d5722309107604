// The CFRunLoop calls, over the same run loops as NSRunLoop.
#pragma once

#include "platform/dispatch/RunLoop.h"

#include <functional>
#include <memory>
#include <string_view>

namespace cf {

using CFRunLoopRef = std::shared_ptr<dispatch::RunLoop>;
using CFRunLoopMode = std::string_view;

inline constexpr std::string_view kCFRunLoopDefaultMode = dispatch::kDefaultRunLoopMode;
inline constexpr std::string_view kCFRunLoopCommonModes = dispatch::kCommonRunLoopModes;

enum CFRunLoopRunResult : int32_t {
    kCFRunLoopRunFinished = 1,
    kCFRunLoopRunStopped = 2,
    kCFRunLoopRunTimedOut = 3,
    kCFRunLoopRunHandledSource = 4,
};

CFRunLoopRef CFRunLoopGetCurrent();
CFRunLoopRef CFRunLoopGetMain();
// The current thread's loop in the default mode until CFRunLoopStop.
void CFRunLoopRun();
CFRunLoopRunResult CFRunLoopRunInMode(CFRunLoopMode mode, double seconds, bool returnAfterSourceHandled);
void CFRunLoopStop(const CFRunLoopRef& loop);
void CFRunLoopWakeUp(const CFRunLoopRef& loop);
// Thread-safe; the block runs when the loop next serves mode.
void CFRunLoopPerformBlock(const CFRunLoopRef& loop, CFRunLoopMode mode, std::function<void()> block);

} // namespace cf
