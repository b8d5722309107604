// Target and action. An action is a selector name ("connect:") that a target answers from its
// class's action table; respondsToSelector answers from the same table. A control, menu item or
// toolbar item sends its action to its target, or, with no target, to the first object of the
// chain that answers it: the key window's first responder, its superviews, the window, the
// window's controller, the application object, the application's delegate.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace appkit {

class NSActionTarget;

// The actions of one class, extending its superclass's:
//
//     static const NSActionTable& classActions() {
//         static const NSActionTable table = NSActionTable(&NSResponder::classActions())
//             .action("connect:", &Controller::connect);
//         return table;
//     }
//     const NSActionTable& actionTable() const override { return classActions(); }
class NSActionTable {
  public:
    using Method = std::function<void(NSActionTarget& target, NSActionTarget* sender)>;

    explicit NSActionTable(const NSActionTable* superclass = nullptr) : m_superclass(superclass) {}

    // A member function taking its sender; a sender of another class than S arrives as null.
    template <typename C, typename S>
    NSActionTable& action(std::string selector, void (C::*method)(S* sender)) {
        return add(std::move(selector), [method](NSActionTarget& target, NSActionTarget* sender) {
            if (auto* self = dynamic_cast<C*>(&target)) (self->*method)(dynamic_cast<S*>(sender));
        });
    }
    NSActionTable& add(std::string selector, Method method);
    // This class's method or a superclass's; null when none answers.
    const Method* find(std::string_view selector) const;

  private:
    const NSActionTable* m_superclass;
    std::map<std::string, Method, std::less<>> m_methods;
};

// Anything an action may be sent to or sent by: responders (views, windows, controllers),
// and any other object that mixes this in (an application delegate, a menu item).
class NSActionTarget {
  public:
    virtual ~NSActionTarget() = default;
    static const NSActionTable& classActions(); // empty
    virtual const NSActionTable& actionTable() const { return classActions(); }
    bool respondsToSelector(std::string_view selector) const {
        return actionTable().find(selector) != nullptr;
    }
    // Runs the action's method; NO when the class does not answer it.
    bool performAction(std::string_view selector, NSActionTarget* sender);
    // Objects a nib made, and its owner, hear this once the nib is loaded (NSNib.h).
    virtual void awakeFromNib() {}
};

// targetForAction:to:from: — target itself when it answers the action (NO answer: null), else,
// with no target, the first object of the chain above that answers. The chain starts at the key
// window, or at the sender's window when the application has no key window.
NSActionTarget* targetForAction(std::string_view action, NSActionTarget* target, NSActionTarget* sender);
// sendAction:to:from: — performs the action on targetForAction's answer; NO when there is no
// action or nobody answers it (logged).
bool sendAction(std::string_view action, NSActionTarget* target, NSActionTarget* sender);

} // namespace appkit
