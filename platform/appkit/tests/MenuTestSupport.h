// What the menu, status item and popover tests share: an action target recording what reaches
// it, and work queued for a nested tracking loop to run.
#pragma once

#include "platform/appkit/NSAction.h"
#include "platform/dispatch/RunLoop.h"

#include <functional>
#include <string>
#include <vector>

namespace appkit::testing {

// Answers "about:" and "quit:", recording each action with its sender.
class RecordingTarget : public NSActionTarget {
  public:
    static const NSActionTable& classActions() {
        static const NSActionTable table = NSActionTable(&NSActionTarget::classActions())
                                               .action("about:", &RecordingTarget::about)
                                               .action("quit:", &RecordingTarget::quit);
        return table;
    }
    const NSActionTable& actionTable() const override { return classActions(); }
    void about(NSActionTarget* sender) { record("about:", sender); }
    void quit(NSActionTarget* sender) { record("quit:", sender); }
    void record(const std::string& selector, NSActionTarget* sender) {
        actions.push_back(selector);
        senders.push_back(sender);
        if (onAction) onAction(sender);
    }
    std::vector<std::string> actions;
    std::vector<NSActionTarget*> senders;
    std::function<void(NSActionTarget*)> onAction;
};

// Work for the next turn of any mode, so it runs inside a tracking loop started meanwhile.
inline void whileTracking(std::function<void()> block) {
    dispatch::RunLoop::main()->perform({std::string(dispatch::kCommonRunLoopModes)}, std::move(block));
}

} // namespace appkit::testing
