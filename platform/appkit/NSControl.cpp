#include "platform/appkit/NSControl.h"

#include "platform/appkit/NSColor.h"
#include "platform/appkit/NSViewBindings.h"
#include "platform/core/Format.h"

#include <cmath>
#include <cstdlib>

namespace appkit {

NSControl::NSControl(cg::CGRect frame)
    : NSView(frame), m_font(NSFont::systemFontOfSize(NSFont::systemFontSize())) {}

const ns::KeyTable& NSControl::classBindingKeys() {
    static const ns::KeyTable table = [] {
        ns::KeyTable keys("NSControl", &NSView::classBindingKeys());
        bindableKey(keys, "value", &NSControl::objectValue, &NSControl::setObjectValue);
        bindableKey(keys, "enabled", &NSControl::isEnabled, &NSControl::setEnabled);
        return keys;
    }();
    return table;
}

bool NSControl::sendAction(std::string_view action, const std::shared_ptr<NSActionTarget>& target) {
    auto keep = weak_from_this().lock(); // the action may take the control out of its window
    return appkit::sendAction(action, target.get(), this);
}

void NSControl::setEnabled(bool enabled) {
    if (enabled == m_enabled) return;
    m_enabled = enabled;
    if (!enabled) m_tracking = false, m_highlighted = false;
    setNeedsDisplay(true);
}

void NSControl::highlight(bool flag) {
    if (flag == m_highlighted) return;
    m_highlighted = flag;
    setNeedsDisplay(true);
}

void NSControl::setFont(std::shared_ptr<NSFont> font) {
    m_font = font ? std::move(font) : NSFont::systemFontOfSize(NSFont::systemFontSize());
    setNeedsDisplay(true);
}

void NSControl::setAlignment(NSTextAlignment alignment) {
    m_alignment = alignment;
    setNeedsDisplay(true);
}

void NSControl::setObjectValue(const ns::Id& value) {
    m_value = value;
    setNeedsDisplay(true);
}

std::string NSControl::stringValue() const {
    ns::Id value = objectValue();
    if (const std::string* text = value.string()) return *text;
    const cf::Value* plain = value.value();
    if (!plain || !plain->isNumber()) return {};
    double number = plain->doubleValue();
    if (std::isfinite(number) && number == std::trunc(number) && std::fabs(number) < 1e15)
        return std::to_string(int64_t(number));
    return platform::format("%g", number);
}

int64_t NSControl::integerValue() const {
    ns::Id value = objectValue();
    if (const std::string* text = value.string()) return std::strtoll(text->c_str(), nullptr, 10);
    return value.integerValue();
}

double NSControl::doubleValue() const {
    ns::Id value = objectValue();
    if (const std::string* text = value.string()) return std::strtod(text->c_str(), nullptr);
    return value.doubleValue();
}

void NSControl::mouseDown(const NSEvent&) {
    if (!m_enabled) return;
    m_tracking = true;
    highlight(true);
}

void NSControl::mouseDragged(const NSEvent& event) {
    if (!m_tracking) return;
    cg::CGPoint p = convertPointFromView(event.locationInWindow(), nullptr);
    highlight(cg::CGRectContainsPoint(bounds(), p));
}

void NSControl::mouseUp(const NSEvent& event) {
    if (!m_tracking) return;
    m_tracking = false;
    highlight(false);
    cg::CGPoint p = convertPointFromView(event.locationInWindow(), nullptr);
    if (m_enabled && cg::CGRectContainsPoint(bounds(), p)) userClicked();
}

void NSControl::userActed() {
    auto keep = weak_from_this().lock();
    writeBackBinding("value", objectValue());
    sendAction(m_action, m_target.lock());
}

NSStringAttributes NSControl::textAttributes() const {
    NSStringAttributes attributes;
    attributes.font = m_font;
    attributes.foregroundColor = m_enabled ? NSColor::blackColor() : NSColor::disabledControlTextColor();
    auto paragraph = std::make_shared<NSParagraphStyle>();
    paragraph->alignment = m_alignment;
    attributes.paragraphStyle = paragraph;
    return attributes;
}

} // namespace appkit
