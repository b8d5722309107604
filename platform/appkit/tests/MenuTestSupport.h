// What the menu, status item, popover and toolbar tests share: an action target recording what
// reaches it, clicks on a window, and work queued for a nested tracking loop to run.
#pragma once

#include "platform/appkit/NSAction.h"
#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSWindow.h"
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

// A press and release at a point of the window's base space, through the application as the
// window server delivers them.
inline void clickWindow(const NSWindow& window, cg::CGPoint at) {
    for (auto type : {NSEventType::LeftMouseDown, NSEventType::LeftMouseUp})
        NSApp()->sendEvent(NSEvent::mouseEvent(type, at, 0, 0, window.windowNumber(), 1, 1));
}

// Work for the next turn of any mode, so it runs inside a tracking loop started meanwhile.
inline void whileTracking(std::function<void()> block) {
    dispatch::RunLoop::main()->perform({std::string(dispatch::kCommonRunLoopModes)}, std::move(block));
}

} // namespace appkit::testing
