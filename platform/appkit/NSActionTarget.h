// Target/action: an action is a selector name sent to a target, which answers the selectors it
// knows from its own table; a selector it does not know is logged and dropped. Targets are held
// weakly by whatever sends to them.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace ns {
class NSObject;
}

namespace appkit {

class NSView;

// Who sent an action: a model object (a menu item, a toolbar item) or a view (a button).
struct NSActionSender {
    std::shared_ptr<ns::NSObject> object;
    std::shared_ptr<NSView> view;
    // The sender's identity, for comparisons.
    const void* identity() const {
        return object ? static_cast<const void*>(object.get()) : static_cast<const void*>(view.get());
    }
};

class NSActionTarget {
  public:
    virtual ~NSActionTarget() = default;
    virtual bool respondsToSelector(std::string_view selector) const = 0;
    // Performs a selector the target responds to.
    virtual void performAction(std::string_view selector, const NSActionSender& sender) = 0;
};

// Sends action to target: NO (logged) when the target is gone or does not respond to it, or
// when action is empty.
bool NSSendAction(std::string_view action, const std::weak_ptr<NSActionTarget>& target,
                  const NSActionSender& sender);

} // namespace appkit
