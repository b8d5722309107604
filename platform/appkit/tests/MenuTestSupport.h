// What the menu, status item and popover tests share: an action target recording what reaches
// it, and work queued for a nested tracking loop to run.
#pragma once

#include "platform/appkit/NSActionTarget.h"
#include "platform/dispatch/RunLoop.h"

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace appkit::testing {

// Answers the selectors it is given and records each action with its sender.
class RecordingTarget : public NSActionTarget {
  public:
    explicit RecordingTarget(std::set<std::string> selectors) : m_selectors(std::move(selectors)) {}
    bool respondsToSelector(std::string_view selector) const override {
        return m_selectors.count(std::string(selector)) > 0;
    }
    void performAction(std::string_view selector, const NSActionSender& sender) override {
        actions.push_back(std::string(selector));
        senders.push_back(sender.identity());
        if (onAction) onAction(sender);
    }
    std::vector<std::string> actions;
    std::vector<const void*> senders;
    std::function<void(const NSActionSender&)> onAction;

  private:
    std::set<std::string> m_selectors;
};

// Work for the next turn of any mode, so it runs inside a tracking loop started meanwhile.
inline void whileTracking(std::function<void()> block) {
    dispatch::RunLoop::main()->perform({std::string(dispatch::kCommonRunLoopModes)}, std::move(block));
}

} // namespace appkit::testing
