// Transactions group layer changes. They nest (a nested one starts with its parent's duration,
// timing function and disable-actions flag); the duration is 0.25 s until set. A transaction's
// completion block runs on the main loop at the later of its duration and the end of the
// longest animation added inside it (nested ones included); with actions disabled, only the
// animations count, and with none added it runs on the next turn. Changes made outside any
// transaction open an implicit one, committed on the next turn. Main thread only.
#pragma once

#include "platform/core/Clock.h"
#include "platform/quartzcore/CAMediaTimingFunction.h"

#include <functional>
#include <memory>

namespace quartzcore {

class CATransaction {
  public:
    static void begin();
    // Unbalanced: logged, nothing else.
    static void commit();
    // Commits an implicit transaction now.
    static void flush();

    static double animationDuration();
    // Negative or non-finite: refused (logged).
    static void setAnimationDuration(double seconds);
    static std::shared_ptr<CAMediaTimingFunction> animationTimingFunction();
    static void setAnimationTimingFunction(std::shared_ptr<CAMediaTimingFunction> function);
    static bool disableActions();
    static void setDisableActions(bool disable);
    static std::function<void()> completionBlock();
    static void setCompletionBlock(std::function<void()> block);
};

namespace detail {
// A layer animation ending at end was added: the open transaction's completion waits for it.
void transactionAddedAnimation(platform::TimePoint end);
} // namespace detail

} // namespace quartzcore
