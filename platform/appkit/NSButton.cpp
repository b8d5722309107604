#include "platform/appkit/NSButton.h"

#include "platform/appkit/NSBezierPath.h"
#include "platform/appkit/NSColor.h"
#include "platform/appkit/NSGraphicsContext.h"
#include "platform/appkit/NSViewBindings.h"

#include <algorithm>

namespace appkit {

namespace {
constexpr double kCheckBoxSide = 14;
}

NSButton::NSButton(cg::CGRect frame) : NSControl(frame) {}

std::shared_ptr<NSButton> NSButton::buttonWithTitle(const std::string& title,
                                                    const std::shared_ptr<NSActionTarget>& target,
                                                    std::string action) {
    auto button = std::make_shared<NSButton>(cg::CGRectMake(0, 0, 0, 0));
    button->setTitle(title);
    button->sizeToFit();
    button->setTarget(target);
    button->setAction(std::move(action));
    return button;
}

void NSButton::sizeToFit() {
    const double characters = double(m_title.size());
    setFrameSize(isSwitch() ? cg::CGSizeMake(kCheckBoxSide + 8 + 7 * characters, 18)
                            : cg::CGSizeMake(20 + 7 * characters, 32));
}

std::shared_ptr<NSButton> NSButton::checkboxWithTitle(const std::string& title,
                                                      const std::shared_ptr<NSActionTarget>& target,
                                                      std::string action) {
    auto button = buttonWithTitle(title, target, std::move(action));
    button->setButtonType(NSButtonTypeSwitch);
    button->sizeToFit();
    return button;
}

const ns::KeyTable& NSButton::classBindingKeys() {
    static const ns::KeyTable table = [] {
        ns::KeyTable keys("NSButton", &NSControl::classBindingKeys());
        bindableKey(keys, "title", &NSButton::title, &NSButton::setTitle);
        return keys;
    }();
    return table;
}

void NSButton::setTitle(const std::string& title) {
    m_title = title;
    setNeedsDisplay(true);
}

void NSButton::setImage(std::shared_ptr<NSImage> image) {
    m_image = std::move(image);
    setNeedsDisplay(true);
}

void NSButton::setButtonType(NSButtonType type) {
    m_type = type;
    setNeedsDisplay(true);
}

void NSButton::setBordered(bool bordered) {
    m_bordered = bordered;
    setNeedsDisplay(true);
}

void NSButton::setState(NSControlStateValue state) {
    state = std::clamp<NSControlStateValue>(state, NSControlStateValueMixed, NSControlStateValueOn);
    if (state == m_state) return;
    m_state = state;
    setNeedsDisplay(true);
}

void NSButton::performClick() {
    if (isEnabled()) userClicked();
}

void NSButton::userClicked() {
    switch (m_type) {
    case NSButtonTypeSwitch:
    case NSButtonTypeToggle:
    case NSButtonTypePushOnPushOff:
    case NSButtonTypeOnOff:
        setState(m_state == NSControlStateValueOn ? NSControlStateValueOff : NSControlStateValueOn);
        break;
    case NSButtonTypeRadio:
        setState(NSControlStateValueOn);
        break;
    default:
        break;
    }
    userActed();
}

std::string NSButton::accessibilityRole() const {
    return isSwitch() ? "AXCheckBox" : "AXButton";
}

std::optional<cf::Value> NSButton::accessibilityValue() const {
    if (!isSwitch()) return std::nullopt;
    return cf::Value(int64_t(m_state == NSControlStateValueOn ? 1 : 0));
}

bool NSButton::accessibilityPerformAction(const std::string& action) {
    if (action != "AXPress") return false;
    performClick();
    return true;
}

void NSButton::drawRect(cg::CGRect) {
    const cg::CGRect b = bounds();
    NSStringAttributes attributes = textAttributes();
    if (isSwitch()) {
        // A box at the left, filled when on, the title beside it.
        cg::CGRect box = cg::CGRectMake(1, (b.size.height - kCheckBoxSide) / 2, kCheckBoxSide, kCheckBoxSide);
        NSColor::whiteColor()->setFill();
        NSRectFill(box);
        if (m_state != NSControlStateValueOff) {
            (isHighlighted() ? NSColor::grayColor() : NSColor::blackColor())->setFill();
            NSRectFill(cg::CGRectInset(box, 3, m_state == NSControlStateValueMixed ? 5 : 3));
        }
        NSColor::grayColor()->setFill();
        NSFrameRect(box);
        const double textX = kNSCheckBoxTitleOffset;
        drawStringInRect(m_title,
                         cg::CGRectMake(textX, 0, std::max(0.0, b.size.width - textX), b.size.height),
                         attributes);
        return;
    }
    if (m_bordered) {
        const bool pressed = isHighlighted() || (m_type != NSButtonTypeMomentaryPushIn &&
                                                 m_type != NSButtonTypeMomentaryLight && m_state != 0);
        NSColor::colorWithCalibratedWhite(pressed ? 0.75 : 0.98, 1)->setFill();
        NSRectFill(b);
        NSColor::grayColor()->setFill();
        NSFrameRect(b);
    }
    if (m_image) {
        cg::CGSize size = m_image->size();
        m_image->drawInRect(cg::CGRectMake((b.size.width - size.width) / 2, (b.size.height - size.height) / 2,
                                           size.width, size.height));
    }
    if (!m_title.empty()) {
        auto paragraph = std::make_shared<NSParagraphStyle>(*attributes.paragraphStyle);
        paragraph->alignment = NSTextAlignmentCenter;
        attributes.paragraphStyle = paragraph;
        const double lineHeight = attributes.font->pointSize() * 1.2;
        drawStringInRect(m_title,
                         cg::CGRectMake(0, (b.size.height - lineHeight) / 2, b.size.width, lineHeight),
                         attributes);
    }
}

} // namespace appkit
