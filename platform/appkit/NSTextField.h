// Text fields: a text (plain or attributed), editable or not. A label is a field that is
// neither editable nor bezeled and draws no background. A user change (typing into the editable
// first responder, or an accessibility set-value) writes the "value" binding, then posts
// NSControlTextDidChangeNotification with the field as its object. Typed characters are
// appended (or replace the whole text once Command-A selected it), Delete removes the last
// character (or the selection), Return ends editing and sends the action. An empty field shows
// its placeholder in grey, never part of its value; the first responder shows an insertion
// point after its text. A multi-line frame wraps the text within it.
#pragma once

#include "platform/appkit/NSAttributedString.h"
#include "platform/appkit/NSColor.h"
#include "platform/appkit/NSControl.h"

#include <optional>

namespace appkit {

inline constexpr const char* NSControlTextDidChangeNotification = "NSControlTextDidChangeNotification";
// The text's margin inside a field's frame, left and right.
inline constexpr double kNSTextFieldTextInset = 2;

class NSTextField : public NSControl {
  public:
    explicit NSTextField(cg::CGRect frame = cg::CGRectZero);
    // An editable, bezeled field; a label (not editable, no bezel, no background).
    static std::shared_ptr<NSTextField> textFieldWithString(const std::string& text);
    static std::shared_ptr<NSTextField> labelWithString(const std::string& text);

    // The value is the text: numbers set on it read as their decimal text, nil as "".
    void setObjectValue(const ns::Id& value) override; // ends a selection
    // The attributed value, when one was set (a plain set drops it); setting it sets the text.
    const std::optional<NSAttributedString>& attributedStringValue() const { return m_attributed; }
    void setAttributedStringValue(const NSAttributedString& value);

    bool isEditable() const { return m_editable; }
    void setEditable(bool editable);
    bool isBezeled() const { return m_bezeled; }
    void setBezeled(bool bezeled);
    bool drawsBackground() const { return m_drawsBackground; }
    void setDrawsBackground(bool draws);
    std::shared_ptr<NSColor> backgroundColor() const { return m_backgroundColor; }
    void setBackgroundColor(std::shared_ptr<NSColor> color);
    std::shared_ptr<NSColor> textColor() const { return m_textColor; }
    void setTextColor(std::shared_ptr<NSColor> color);
    // Shown in grey while the value is empty.
    const std::string& placeholderString() const { return m_placeholder; }
    void setPlaceholderString(std::string placeholder);
    // Command-A's selection of the whole text; any change of the text ends it.
    bool isTextSelected() const { return m_allSelected; }
    void selectText();

    // Editable fields take the keyboard; clicks only make them first responder.
    bool acceptsFirstResponder() const override { return m_editable && isEnabled(); }
    bool becomeFirstResponder() override;
    bool resignFirstResponder() override;
    void keyDown(const NSEvent& event) override;
    void mouseDown(const NSEvent&) override {}
    void mouseUp(const NSEvent&) override {}

    void drawRect(cg::CGRect dirtyRect) override;

    // AXTextField, settable (typing without the action), or AXStaticText; the value is the text.
    std::string accessibilityRole() const override;
    std::optional<cf::Value> accessibilityValue() const override { return cf::Value(stringValue()); }
    bool accessibilityIsValueSettable() const override { return m_editable && isEnabled(); }
    bool accessibilitySetValue(const cf::Value& value) override;

  private:
    // The user changed the text: written back, then announced.
    void userChangedText(std::string text);
    bool isFirstResponder() const;

    std::optional<NSAttributedString> m_attributed;
    bool m_editable = true;
    bool m_bezeled = true;
    bool m_drawsBackground = true;
    std::shared_ptr<NSColor> m_backgroundColor;
    std::shared_ptr<NSColor> m_textColor;
    std::string m_placeholder;
    bool m_allSelected = false;
};

} // namespace appkit
