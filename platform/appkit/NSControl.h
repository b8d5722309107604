// Controls: a value, an enabled flag, and an action sent to a target (held weakly; none: the
// responder chain, NSAction.h). A mouse-down on an enabled control highlights it, and the next
// mouse-up inside it is a user click; disabled controls ignore clicks at any alpha. User acts
// write the "value" binding, then send the action; setting values from code writes no binding.
// Main thread only.
#pragma once

#include "platform/appkit/NSAttributedString.h"
#include "platform/appkit/NSFont.h"
#include "platform/appkit/NSView.h"

#include <cstdint>
#include <memory>
#include <string>

namespace appkit {

class NSControl : public NSView {
  public:
    explicit NSControl(cg::CGRect frame = cg::CGRectZero);

    // "value" and "enabled", besides the view's "hidden".
    static const ns::KeyTable& classBindingKeys();
    const ns::KeyTable& bindingKeys() const override { return classBindingKeys(); }

    // ---- Target and action.
    std::shared_ptr<NSActionTarget> target() const { return m_target.lock(); }
    void setTarget(const std::shared_ptr<NSActionTarget>& target) { m_target = target; }
    const std::string& action() const { return m_action; }
    void setAction(std::string selector) { m_action = std::move(selector); }
    // sendAction:to: with this control as the sender; NO when nobody answers.
    bool sendAction(std::string_view action, const std::shared_ptr<NSActionTarget>& target);

    // ---- State.
    bool isEnabled() const { return m_enabled; }
    virtual void setEnabled(bool enabled);
    int64_t tag() const { return m_tag; }
    void setTag(int64_t tag) { m_tag = tag; }
    bool isHighlighted() const { return m_highlighted; }
    void highlight(bool flag);
    std::shared_ptr<NSFont> font() const { return m_font; }
    void setFont(std::shared_ptr<NSFont> font);
    NSTextAlignment alignment() const { return m_alignment; }
    void setAlignment(NSTextAlignment alignment);

    // ---- The value: objectValue in the control's own kind; the readings convert it (a number
    // reads as its decimal text, a text as the number it starts with).
    virtual ns::Id objectValue() const { return m_value; }
    virtual void setObjectValue(const ns::Id& value);
    std::string stringValue() const;
    void setStringValue(const std::string& value) { setObjectValue(ns::Id(value)); }
    int64_t integerValue() const;
    void setIntegerValue(int64_t value) { setObjectValue(ns::Id(value)); }
    double doubleValue() const;
    void setDoubleValue(double value) { setObjectValue(ns::Id(value)); }

    // ---- Mouse: highlight on down, a user click on the next up inside.
    void mouseDown(const NSEvent& event) override;
    void mouseDragged(const NSEvent& event) override;
    void mouseUp(const NSEvent& event) override;

    bool accessibilityEnabled() const override { return m_enabled; }

  protected:
    // A user click on the enabled control (the mouse went up inside it, performClick, press).
    virtual void userClicked() { userActed(); }
    // The end of every user act: the "value" binding is written, then the action sent.
    void userActed();
    // What a plain control draws its text with.
    NSStringAttributes textAttributes() const;

  private:
    std::weak_ptr<NSActionTarget> m_target;
    std::string m_action;
    bool m_enabled = true;
    bool m_highlighted = false;
    bool m_tracking = false; // a mouse-down on the enabled control awaits its up
    int64_t m_tag = 0;
    ns::Id m_value;
    std::shared_ptr<NSFont> m_font;
    NSTextAlignment m_alignment = NSTextAlignmentLeft;
};

} // namespace appkit
