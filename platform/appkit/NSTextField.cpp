#include "platform/appkit/NSTextField.h"

#include "platform/appkit/NSGraphicsContext.h"
#include "platform/appkit/NSWindow.h"
#include "platform/foundation/NSNotificationCenter.h"

namespace appkit {

namespace {

constexpr uint64_t kCommand = 1ull << 20;
constexpr uint64_t kCommandOrControl = kCommand | (1ull << 18);
constexpr uint16_t kReturnKey = 36, kEnterKey = 76, kDeleteKey = 51, kAKey = 0;
constexpr double kInsertionPointWidth = 1;

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
    m_allSelected = false;
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

void NSTextField::setPlaceholderString(std::string placeholder) {
    m_placeholder = std::move(placeholder);
    setNeedsDisplay(true);
}

void NSTextField::selectText() {
    m_allSelected = !stringValue().empty();
    setNeedsDisplay(true);
}

bool NSTextField::isFirstResponder() const {
    auto w = window();
    return w && w->firstResponder() == this;
}

bool NSTextField::becomeFirstResponder() {
    setNeedsDisplay(true); // the insertion point shows
    return true;
}

bool NSTextField::resignFirstResponder() {
    m_allSelected = false;
    setNeedsDisplay(true);
    return true;
}

void NSTextField::keyDown(const NSEvent& event) {
    const uint64_t flags = event.modifierFlags();
    const bool commandA = (flags & kCommand) && (event.keyCode() == kAKey || event.characters() == "a");
    if (m_editable && isEnabled() && commandA) {
        selectText();
        return;
    }
    if (!m_editable || !isEnabled() || (flags & kCommandOrControl)) {
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
    // A selection is replaced by what is typed, and Delete removes it.
    std::string text = m_allSelected ? std::string() : stringValue();
    if (event.keyCode() == kDeleteKey || characters == "\x7f" || characters == "\b") {
        if (text.empty() && !m_allSelected) return;
        if (!m_allSelected) removeLastCharacter(text);
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
    const cg::CGRect inside = cg::CGRectMake(
        kNSTextFieldTextInset, 0, std::max(0.0, b.size.width - 2 * kNSTextFieldTextInset), b.size.height);
    if (m_attributed) {
        m_attributed->drawInRect(inside);
        return;
    }
    NSStringAttributes attributes = textAttributes();
    const std::string text = stringValue();
    if (text.empty() && !m_placeholder.empty()) {
        attributes.foregroundColor = NSColor::grayColor();
        drawStringInRect(m_placeholder, inside, attributes);
    }
    if (isEnabled() && m_textColor) attributes.foregroundColor = m_textColor;
    const cg::CGSize size = NSStringSize(text, attributes, inside.size.width);
    const double lineHeight = NSStringSize("X", attributes, 0).height;
    // A single line sits at the top of the field; the selection and the insertion point follow it.
    const double lineY = std::max(0.0, b.size.height - lineHeight);
    if (m_allSelected) {
        NSColor::selectedTextBackgroundColor()->setFill();
        NSRectFill(
            cg::CGRectMake(inside.origin.x, lineY, std::min(size.width, inside.size.width), lineHeight));
    }
    if (!text.empty()) drawStringInRect(text, inside, attributes);
    if (m_editable && !m_allSelected && isFirstResponder()) {
        NSColor::blackColor()->setFill();
        const double x = inside.origin.x + std::min(text.empty() ? 0.0 : size.width, inside.size.width - 1);
        NSRectFill(cg::CGRectMake(x, lineY + 1, kInsertionPointWidth, std::max(0.0, lineHeight - 2)));
    }
}

} // namespace appkit
