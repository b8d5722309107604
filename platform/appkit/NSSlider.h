// Sliders and level indicators: a number between a minimum and a maximum. A user move of a
// slider (a press or drag along it, or an accessibility set-value) writes the "value" binding,
// then sends the action (continuous sliders on every move, others when the mouse goes up).
#pragma once

#include "platform/appkit/NSControl.h"

namespace appkit {

// The range both share; values set are clamped into it.
class NSRangeControl : public NSControl {
  public:
    using NSControl::NSControl;
    double minValue() const { return m_min; }
    void setMinValue(double value);
    double maxValue() const { return m_max; }
    void setMaxValue(double value);
    // The value is a number, clamped into the range; non-numbers read as the minimum.
    void setObjectValue(const ns::Id& value) override;
    // Where the value stands in the range, 0 to 1.
    double fraction() const;
    std::optional<cf::Value> accessibilityValue() const override { return cf::Value(doubleValue()); }

  private:
    double m_min = 0, m_max = 1;
};

class NSSlider : public NSRangeControl {
  public:
    explicit NSSlider(cg::CGRect frame = cg::CGRectZero);
    static std::shared_ptr<NSSlider> sliderWithValue(double value, double minValue, double maxValue,
                                                     const std::shared_ptr<NSActionTarget>& target,
                                                     std::string action);
    bool isContinuous() const { return m_continuous; }
    void setContinuous(bool continuous) { m_continuous = continuous; }
    // Vertical when taller than wide.
    bool isVertical() const { return bounds().size.height > bounds().size.width; }

    void mouseDown(const NSEvent& event) override;
    void mouseDragged(const NSEvent& event) override;
    void mouseUp(const NSEvent& event) override;
    void drawRect(cg::CGRect dirtyRect) override;

    // AXSlider, settable with a number (or a text holding one) as a user move.
    std::string accessibilityRole() const override { return "AXSlider"; }
    bool accessibilityIsValueSettable() const override { return isEnabled(); }
    bool accessibilitySetValue(const cf::Value& value) override;

  private:
    // The value at a window-base point, then a user move to it.
    void moveTo(const NSEvent& event);
    void userMoved(double value);

    bool m_continuous = true;
    bool m_tracking = false;
};

enum NSLevelIndicatorStyle : uint32_t {
    NSLevelIndicatorStyleRelevancy = 0,
    NSLevelIndicatorStyleContinuousCapacity = 1,
    NSLevelIndicatorStyleDiscreteCapacity = 2,
    NSLevelIndicatorStyleRating = 3,
};

// Shows its value as a filled bar; the user does not change it.
class NSLevelIndicator : public NSRangeControl {
  public:
    explicit NSLevelIndicator(cg::CGRect frame = cg::CGRectZero);
    NSLevelIndicatorStyle levelIndicatorStyle() const { return m_style; }
    void setLevelIndicatorStyle(NSLevelIndicatorStyle style);
    double warningValue() const { return m_warning; }
    void setWarningValue(double value);
    double criticalValue() const { return m_critical; }
    void setCriticalValue(double value);

    void mouseDown(const NSEvent&) override {}
    void mouseUp(const NSEvent&) override {}
    void drawRect(cg::CGRect dirtyRect) override;
    std::string accessibilityRole() const override { return "AXLevelIndicator"; }

  private:
    NSLevelIndicatorStyle m_style = NSLevelIndicatorStyleContinuousCapacity;
    double m_warning = 0, m_critical = 0;
};

} // namespace appkit
