// Buttons: a title, an image and a state. Switches (check boxes) and the toggling types flip
// their state on a user click (a click, performClick, an accessibility press) before the "value"
// binding is written and the action sent; setState writes no binding. Plain look: a frame, a
// flat fill and the title; a switch draws a box with its title beside it.
#pragma once

#include "platform/appkit/NSControl.h"
#include "platform/appkit/NSImage.h"

namespace appkit {

enum NSButtonType : uint32_t {
    NSButtonTypeMomentaryLight = 0,
    NSButtonTypePushOnPushOff = 1,
    NSButtonTypeToggle = 2,
    NSButtonTypeSwitch = 3,
    NSButtonTypeRadio = 4,
    NSButtonTypeMomentaryChange = 5,
    NSButtonTypeOnOff = 6,
    NSButtonTypeMomentaryPushIn = 7,
};

using NSControlStateValue = int64_t;
inline constexpr NSControlStateValue NSControlStateValueMixed = -1;
inline constexpr NSControlStateValue NSControlStateValueOff = 0;
inline constexpr NSControlStateValue NSControlStateValueOn = 1;

// Where a check box's title starts, past its box.
inline constexpr double kNSCheckBoxTitleOffset = 19;

class NSButton : public NSControl {
  public:
    explicit NSButton(cg::CGRect frame = cg::CGRectZero);
    // A push button, and a check box (a switch), with a title, target and action.
    static std::shared_ptr<NSButton> buttonWithTitle(const std::string& title,
                                                     const std::shared_ptr<NSActionTarget>& target,
                                                     std::string action);
    static std::shared_ptr<NSButton> checkboxWithTitle(const std::string& title,
                                                       const std::shared_ptr<NSActionTarget>& target,
                                                       std::string action);

    // "title", besides the control's "value" (the state) and "enabled".
    static const ns::KeyTable& classBindingKeys();
    const ns::KeyTable& bindingKeys() const override { return classBindingKeys(); }

    const std::string& title() const { return m_title; }
    void setTitle(const std::string& title);
    std::shared_ptr<NSImage> image() const { return m_image; }
    virtual void setImage(std::shared_ptr<NSImage> image);
    NSButtonType buttonType() const { return m_type; }
    void setButtonType(NSButtonType type);
    bool isSwitch() const { return m_type == NSButtonTypeSwitch; }
    // The title's width (7 points a character) and a fixed height: 20 + 7n by 32, or for a
    // switch its box, 8 and 7n by 18. The origin stays.
    void sizeToFit();
    bool isBordered() const { return m_bordered; }
    void setBordered(bool bordered);

    NSControlStateValue state() const { return m_state; }
    void setState(NSControlStateValue state);
    // The value is the state.
    ns::Id objectValue() const override { return ns::Id(int64_t(m_state)); }
    void setObjectValue(const ns::Id& value) override { setState(value.integerValue()); }

    // A user click, when enabled.
    void performClick();

    void drawRect(cg::CGRect dirtyRect) override;

    // AXButton, or AXCheckBox with the value 0/1 for a switch; pressing is a user click.
    std::string accessibilityRole() const override;
    std::string accessibilityTitle() const override { return m_title; }
    std::optional<cf::Value> accessibilityValue() const override;
    std::vector<std::string> accessibilityActionNames() const override { return {"AXPress"}; }
    bool accessibilityPerformAction(const std::string& action) override;

  protected:
    void userClicked() override;

  private:
    std::string m_title;
    std::shared_ptr<NSImage> m_image;
    NSButtonType m_type = NSButtonTypeMomentaryPushIn;
    NSControlStateValue m_state = NSControlStateValueOff;
    bool m_bordered = true;
};

} // namespace appkit
