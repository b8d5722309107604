#include "platform/appkit/NSSlider.h"

#include "platform/appkit/NSColor.h"
#include "platform/appkit/NSGraphicsContext.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace appkit {

namespace {
constexpr double kKnob = 10; // the knob's length along the track
}

void NSRangeControl::setMinValue(double value) {
    if (!std::isfinite(value)) return;
    m_min = value;
    m_max = std::max(m_max, m_min);
    setObjectValue(objectValue());
}

void NSRangeControl::setMaxValue(double value) {
    if (!std::isfinite(value)) return;
    m_max = value;
    m_min = std::min(m_min, m_max);
    setObjectValue(objectValue());
}

void NSRangeControl::setObjectValue(const ns::Id& value) {
    const cf::Value* plain = value.value();
    double number = plain && plain->isNumber() ? plain->doubleValue() : m_min;
    if (!std::isfinite(number)) number = m_min;
    NSControl::setObjectValue(ns::Id(std::clamp(number, m_min, m_max)));
}

double NSRangeControl::fraction() const {
    return m_max > m_min ? (doubleValue() - m_min) / (m_max - m_min) : 0;
}

NSSlider::NSSlider(cg::CGRect frame) : NSRangeControl(frame) {
    setObjectValue(ns::Id(0.0));
}

std::shared_ptr<NSSlider> NSSlider::sliderWithValue(double value, double minValue, double maxValue,
                                                    const std::shared_ptr<NSActionTarget>& target,
                                                    std::string action) {
    auto slider = std::make_shared<NSSlider>(cg::CGRectMake(0, 0, 160, 21));
    slider->setMinValue(minValue);
    slider->setMaxValue(maxValue);
    slider->setDoubleValue(value);
    slider->setTarget(target);
    slider->setAction(std::move(action));
    return slider;
}

void NSSlider::moveTo(const NSEvent& event) {
    const cg::CGPoint p = convertPointFromView(event.locationInWindow(), nullptr);
    const cg::CGRect b = bounds();
    const bool vertical = isVertical();
    const double length = (vertical ? b.size.height : b.size.width) - kKnob;
    const double along = (vertical ? p.y - b.origin.y : p.x - b.origin.x) - kKnob / 2;
    const double f = length > 0 ? std::clamp(along / length, 0.0, 1.0) : 0;
    userMoved(minValue() + f * (maxValue() - minValue()));
}

void NSSlider::userMoved(double value) {
    const double before = doubleValue();
    setDoubleValue(value);
    if (doubleValue() == before) return;
    if (m_continuous || !m_tracking) {
        userActed();
        return;
    }
    writeBackBinding("value", objectValue()); // the action follows when the mouse goes up
}

void NSSlider::mouseDown(const NSEvent& event) {
    if (!isEnabled()) return;
    m_tracking = true;
    highlight(true);
    moveTo(event);
}

void NSSlider::mouseDragged(const NSEvent& event) {
    if (m_tracking) moveTo(event);
}

void NSSlider::mouseUp(const NSEvent& event) {
    if (!m_tracking) return;
    moveTo(event);
    m_tracking = false;
    highlight(false);
    if (!m_continuous) {
        auto keep = weak_from_this().lock();
        sendAction(action(), target());
    }
}

bool NSSlider::accessibilitySetValue(const cf::Value& value) {
    double number;
    if (value.isNumber()) {
        number = value.doubleValue();
    } else if (const std::string* text = value.asString()) {
        char* end = nullptr;
        number = std::strtod(text->c_str(), &end);
        if (text->empty() || *end != '\0') return false;
    } else {
        return false;
    }
    if (!std::isfinite(number) || !isEnabled()) return false;
    userMoved(number);
    return true;
}

void NSSlider::drawRect(cg::CGRect) {
    const cg::CGRect b = bounds();
    const bool vertical = isVertical();
    const double along = ((vertical ? b.size.height : b.size.width) - kKnob) * fraction();
    NSColor::grayColor()->setFill();
    if (vertical)
        NSRectFill(cg::CGRectMake(b.size.width / 2 - 2, kKnob / 2, 4, std::max(0.0, b.size.height - kKnob)));
    else
        NSRectFill(cg::CGRectMake(kKnob / 2, b.size.height / 2 - 2, std::max(0.0, b.size.width - kKnob), 4));
    (isHighlighted() ? NSColor::grayColor() : NSColor::whiteColor())->setFill();
    cg::CGRect knob = vertical ? cg::CGRectMake(0, along, b.size.width, kKnob)
                               : cg::CGRectMake(along, 0, kKnob, b.size.height);
    NSRectFill(knob);
    NSColor::grayColor()->setFill();
    NSFrameRect(knob);
}

NSLevelIndicator::NSLevelIndicator(cg::CGRect frame) : NSRangeControl(frame) {
    setObjectValue(ns::Id(0.0));
}

void NSLevelIndicator::setLevelIndicatorStyle(NSLevelIndicatorStyle style) {
    m_style = style;
    setNeedsDisplay(true);
}

void NSLevelIndicator::setWarningValue(double value) {
    m_warning = value;
    setNeedsDisplay(true);
}

void NSLevelIndicator::setCriticalValue(double value) {
    m_critical = value;
    setNeedsDisplay(true);
}

void NSLevelIndicator::drawRect(cg::CGRect) {
    const cg::CGRect b = bounds();
    NSColor::whiteColor()->setFill();
    NSRectFill(b);
    // Past the critical value red, past the warning value yellow, else green (when set).
    const double value = doubleValue();
    auto colour = m_critical > 0 && value >= m_critical ? NSColor::redColor()
                  : m_warning > 0 && value >= m_warning ? NSColor::yellowColor()
                                                        : NSColor::greenColor();
    colour->setFill();
    NSRectFill(cg::CGRectMake(0, 0, b.size.width * fraction(), b.size.height));
    NSColor::grayColor()->setFill();
    NSFrameRect(b);
}

} // namespace appkit
