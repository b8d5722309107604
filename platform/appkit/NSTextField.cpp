#include "platform/appkit/NSTextField.h"

#include "platform/appkit/NSGraphicsContext.h"
#include "platform/foundation/NSNotificationCenter.h"

namespace appkit {

namespace {

constexpr uint64_t kCommandOrControl = (1ull << 20) | (1ull << 18);
constexpr uint16_t kReturnKey = 36, kEnterKey = 76, kDeleteKey = 51;

// Drops the last UTF-8 character.
void removeLastCharacter(std::string& text) {
    while (!text.empty()) {
        const unsigned char byte = static_cast<unsigned char>(text.back());
        text.pop_back();
        if ((byte & 0xC0) != 0x80) return; // the lead (or only) byte is gone
    }
}

} // namespace

NSTextField::NSTextField(cg::CGRect frame)
    : NSControl(frame), m_backgroundColor(NSColor::whiteColor()), m_textColor(NSColor::blackColor()) {
    NSControl::setObjectValue(ns::Id(std::string()));
}

std::shared_ptr<NSTextField> NSTextField::textFieldWithString(const std::string& text) {
    auto field = std::make_shared<NSTextField>(cg::CGRectMake(0, 0, 96, 22));
    field->setStringValue(text);
    return field;
}

std::shared_ptr<NSTextField> NSTextField::labelWithString(const std::string& text) {
    auto field = std::make_shared<NSTextField>(cg::CGRectMake(0, 0, 8 + 7 * double(text.size()), 17));
    field->setEditable(false);
    field->setBezeled(false);
    field->setDrawsBackground(false);
    field->setStringValue(text);
    return field;
}

void NSTextField::setObjectValue(const ns::Id& value) {
    m_attributed.reset();
    NSControl::setObjectValue(value);
    // Numbers read as their decimal text (the control's reading), anything else as "".
    if (!value.string()) NSControl::setObjectValue(ns::Id(value.isNil() ? std::string() : stringValue()));
}

void NSTextField::setAttributedStringValue(const NSAttributedString& value) {
    NSControl::setObjectValue(ns::Id(value.string()));
    m_attributed = value;
}

void NSTextField::setEditable(bool editable) {
    m_editable = editable;
    setNeedsDisplay(true);
}

void NSTextField::setBezeled(bool bezeled) {
    m_bezeled = bezeled;
    setNeedsDisplay(true);
}

void NSTextField::setDrawsBackground(bool draws) {
    m_drawsBackground = draws;
    setNeedsDisplay(true);
}

void NSTextField::setBackgroundColor(std::shared_ptr<NSColor> color) {
    m_backgroundColor = std::move(color);
    setNeedsDisplay(true);
}

void NSTextField::setTextColor(std::shared_ptr<NSColor> color) {
    m_textColor = std::move(color);
    setNeedsDisplay(true);
}

void NSTextField::keyDown(const NSEvent& event) {
    if (!m_editable || !isEnabled() || (event.modifierFlags() & kCommandOrControl)) {
        NSControl::keyDown(event); // on to the next responder
        return;
    }
    const std::string& characters = event.characters();
    if (event.keyCode() == kReturnKey || event.keyCode() == kEnterKey || characters == "\r" ||
        characters == "\n") {
        auto keep = weak_from_this().lock();
        sendAction(action(), target());
        return;
    }
    std::string text = stringValue();
    if (event.keyCode() == kDeleteKey || characters == "\x7f" || characters == "\b") {
        if (text.empty()) return;
        removeLastCharacter(text);
    } else {
        std::string typed;
        for (char c : characters)
            if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f) typed += c;
        if (typed.empty()) return;
        text += typed;
    }
    userChangedText(std::move(text));
}

void NSTextField::userChangedText(std::string text) {
    auto keep = weak_from_this().lock();
    setStringValue(text);
    writeBackBinding("value", ns::Id(stringValue()));
    ns::NSNotificationCenter::defaultCenter().postNotification(
        ns::NSNotification{NSControlTextDidChangeNotification, keep, std::nullopt});
}

bool NSTextField::accessibilitySetValue(const cf::Value& value) {
    const std::string* text = value.asString();
    if (!text || !m_editable || !isEnabled()) return false;
    userChangedText(*text);
    return true;
}

std::string NSTextField::accessibilityRole() const {
    return m_editable ? "AXTextField" : "AXStaticText";
}

void NSTextField::drawRect(cg::CGRect) {
    const cg::CGRect b = bounds();
    if (m_drawsBackground && m_backgroundColor) {
        m_backgroundColor->setFill();
        NSRectFill(b);
    }
    if (m_bezeled) {
        NSColor::grayColor()->setFill();
        NSFrameRect(b);
    }
    const cg::CGRect inside = cg::CGRectMake(2, 0, std::max(0.0, b.size.width - 4), b.size.height);
    if (m_attributed) {
        m_attributed->drawInRect(inside);
        return;
    }
    NSStringAttributes attributes = textAttributes();
    if (isEnabled() && m_textColor) attributes.foregroundColor = m_textColor;
    drawStringInRect(stringValue(), inside, attributes);
}

} // namespace appkit
