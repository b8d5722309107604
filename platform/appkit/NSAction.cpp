#include "platform/appkit/NSAction.h"

#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSWindowController.h"
#include "platform/core/Log.h"

namespace appkit {

NSActionTable& NSActionTable::add(std::string selector, Method method) {
    m_methods.insert_or_assign(std::move(selector), std::move(method));
    return *this;
}

const NSActionTable::Method* NSActionTable::find(std::string_view selector) const {
    for (const NSActionTable* table = this; table; table = table->m_superclass)
        if (auto it = table->m_methods.find(selector); it != table->m_methods.end()) return &it->second;
    return nullptr;
}

const NSActionTable& NSActionTarget::classActions() {
    static const NSActionTable table;
    return table;
}

bool NSActionTarget::performAction(std::string_view selector, NSActionTarget* sender) {
    const NSActionTable::Method* method = actionTable().find(selector);
    if (!method) return false;
    (*method)(*this, sender);
    return true;
}

namespace {

// The window a nil-targeted action starts from.
std::shared_ptr<NSWindow> chainWindow(NSActionTarget* sender) {
    if (auto key = NSApp()->keyWindow()) return key;
    if (auto* view = dynamic_cast<NSView*>(sender)) return view->window();
    return nullptr;
}

NSActionTarget* answering(NSActionTarget* candidate, std::string_view action) {
    return candidate && candidate->respondsToSelector(action) ? candidate : nullptr;
}

} // namespace

NSActionTarget* targetForAction(std::string_view action, NSActionTarget* target, NSActionTarget* sender) {
    if (action.empty()) return nullptr;
    if (target) return answering(target, action);
    if (auto window = chainWindow(sender)) {
        // The first responder, its superviews, then the window (the content view's next responder).
        for (NSResponder* r = window->firstResponder(); r; r = r->nextResponder())
            if (answering(r, action)) return r;
        if (answering(window.get(), action)) return window.get();
        if (auto controller = window->windowController(); answering(controller.get(), action))
            return controller.get();
    }
    auto app = NSApp();
    if (auto* found = answering(dynamic_cast<NSActionTarget*>(app.get()), action)) return found;
    return answering(dynamic_cast<NSActionTarget*>(app->delegate().get()), action);
}

bool sendAction(std::string_view action, NSActionTarget* target, NSActionTarget* sender) {
    if (action.empty()) return false;
    NSActionTarget* receiver = targetForAction(action, target, sender);
    if (!receiver) {
        platform::log("appkit: nobody answers the action %@", action);
        return false;
    }
    return receiver->performAction(action, sender);
}

} // namespace appkit
