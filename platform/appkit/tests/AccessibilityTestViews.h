// Views and windows that answer the accessibility seam as a test sets them up: any role, title,
// value and actions, counting what accessibility does to them. Used by the export's unit tests
// and by the application the `platformctl ui` tests drive.
#pragma once

#include "platform/appkit/NSWindow.h"

#include <string>
#include <vector>

namespace appkit::testing {

class AXTestView : public NSView {
  public:
    AXTestView(cg::CGRect frame, std::string role, std::string title = {})
        : NSView(frame), role(std::move(role)), title(std::move(title)) {}

    std::string accessibilityRole() const override { return role; }
    std::string accessibilitySubrole() const override { return subrole; }
    std::string accessibilityTitle() const override { return title; }
    std::string accessibilityDescription() const override { return description; }
    std::optional<cf::Value> accessibilityValue() const override { return value; }
    bool accessibilityEnabled() const override { return enabled; }
    std::vector<std::string> accessibilityActionNames() const override { return actions; }
    bool accessibilityPerformAction(const std::string& action) override {
        performed.push_back(action);
        if (onAction) onAction(action);
        return true;
    }
    bool accessibilityIsValueSettable() const override { return settable; }
    // Takes values of the current value's kind (a text for a text, a number for a number).
    bool accessibilitySetValue(const cf::Value& v) override {
        if (value && (value->isString() != v.isString() || value->isNumber() != v.isNumber())) return false;
        value = v;
        if (onSet) onSet(v);
        return true;
    }
    bool acceptsFirstResponder() const override { return acceptsFocus; }

    std::string role, subrole, title, description;
    std::optional<cf::Value> value;
    bool enabled = true;
    bool settable = false;
    bool acceptsFocus = false;
    std::vector<std::string> actions;
    std::vector<std::string> performed;
    std::function<void(const std::string&)> onAction;
    std::function<void(const cf::Value&)> onSet;
};

// A window answering another role (a status item, a menu, a sheet under its parent).
class AXTestWindow : public NSWindow {
  public:
    AXTestWindow(cg::CGRect contentRect, NSWindowStyleMask style, std::string role = "AXWindow")
        : NSWindow(contentRect, style), role(std::move(role)) {}
    std::string accessibilityRole() const override { return role; }
    std::string accessibilitySubrole() const override {
        return subrole.empty() ? NSWindow::accessibilitySubrole() : subrole;
    }
    std::shared_ptr<NSWindow> accessibilityParentWindow() const override { return parent.lock(); }
    std::vector<std::string> accessibilityActionNames() const override {
        return actions.empty() ? NSWindow::accessibilityActionNames() : actions;
    }
    bool accessibilityPerformAction(const std::string& action) override {
        performed.push_back(action);
        return NSWindow::accessibilityPerformAction(action) || true;
    }

    std::string role, subrole;
    std::weak_ptr<NSWindow> parent;
    std::vector<std::string> actions;
    std::vector<std::string> performed;
};

} // namespace appkit::testing
