#include "platform/quartzcore/CATransaction.h"

#include "platform/core/Log.h"
#include "platform/quartzcore/CAAnimation.h"
#include "platform/quartzcore/Completion.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

namespace quartzcore {

namespace {

struct Frame {
    double duration = kCADefaultAnimationDuration;
    std::shared_ptr<CAMediaTimingFunction> timing;
    bool disableActions = false;
    std::function<void()> completion;
    std::optional<platform::TimePoint> longestEnd; // of the animations added inside
    bool implicit = false;
};

std::vector<Frame>& stack() {
    static std::vector<Frame> frames;
    return frames;
}

void push(bool implicit) {
    Frame frame;
    if (!stack().empty()) {
        const Frame& parent = stack().back();
        frame.duration = parent.duration;
        frame.timing = parent.timing;
        frame.disableActions = parent.disableActions;
    }
    frame.implicit = implicit;
    stack().push_back(std::move(frame));
}

void pop() {
    Frame frame = std::move(stack().back());
    stack().pop_back();
    if (frame.longestEnd && !stack().empty()) {
        auto& outer = stack().back().longestEnd;
        outer = outer ? std::max(*outer, *frame.longestEnd) : *frame.longestEnd;
    }
    if (!frame.completion) return;
    const platform::TimePoint now = platform::now();
    double delay = 0;
    if (!frame.disableActions) delay = frame.duration;
    if (frame.longestEnd) delay = std::max(delay, platform::toSeconds(*frame.longestEnd - now));
    detail::Completion::after(delay, std::move(frame.completion));
}

// The innermost transaction; outside any, an implicit one that the next turn commits.
Frame& current() {
    if (stack().empty()) {
        push(true);
        detail::Completion::after(0, [] {
            if (stack().size() == 1 && stack().back().implicit) pop();
        });
    }
    return stack().back();
}

} // namespace

void CATransaction::begin() {
    push(false);
}

void CATransaction::commit() {
    if (stack().empty() || stack().back().implicit) {
        platform::log("quartzcore: a transaction committed without a matching begin");
        return;
    }
    pop();
}

void CATransaction::flush() {
    if (stack().size() == 1 && stack().back().implicit) pop();
}

double CATransaction::animationDuration() {
    return stack().empty() ? kCADefaultAnimationDuration : stack().back().duration;
}

void CATransaction::setAnimationDuration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) {
        platform::log("quartzcore: refusing a transaction duration that is negative or not finite");
        return;
    }
    current().duration = seconds;
}

std::shared_ptr<CAMediaTimingFunction> CATransaction::animationTimingFunction() {
    return stack().empty() ? nullptr : stack().back().timing;
}

void CATransaction::setAnimationTimingFunction(std::shared_ptr<CAMediaTimingFunction> function) {
    current().timing = std::move(function);
}

bool CATransaction::disableActions() {
    return !stack().empty() && stack().back().disableActions;
}

void CATransaction::setDisableActions(bool disable) {
    current().disableActions = disable;
}

std::function<void()> CATransaction::completionBlock() {
    return stack().empty() ? nullptr : stack().back().completion;
}

void CATransaction::setCompletionBlock(std::function<void()> block) {
    current().completion = std::move(block);
}

void detail::transactionAddedAnimation(platform::TimePoint end) {
    auto& longest = current().longestEnd;
    longest = longest ? std::max(*longest, end) : end;
}

} // namespace quartzcore
