// The keyboard-shortcut editor of a barrel button: records one key combination (character, key
// code, modifier flags) from the keys pressed while it is first responder, hands each value to
// its binding and shows the combination as text ("⇧⌘ K") in a passive field that covers it.
#pragma once

#include "platform/appkit/NSTextField.h"
#include "platform/appkit/NSView.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace host {

class QNBKeyboardShortcutEditorView;

inline constexpr double kQNBShortcutEditorWidth = 160;
inline constexpr double kQNBShortcutEditorHeight = 24;

// Modifier flags of events and of recorded shortcuts.
inline constexpr uint64_t kQNBCapsLockModifier = 0x10000;
inline constexpr uint64_t kQNBShiftModifier = 0x20000;
inline constexpr uint64_t kQNBControlModifier = 0x40000;
inline constexpr uint64_t kQNBOptionModifier = 0x80000;
inline constexpr uint64_t kQNBCommandModifier = 0x100000;
// Shift, control, option and command: while any is held a combination is still being made.
inline constexpr uint64_t kQNBHeldModifiers = 0x1e0000;

// The editor's text display: never takes a mouse hit or first responder, so clicks and keys
// reach the editor behind it.
class QNBPassiveTextField : public appkit::NSTextField {
  public:
    using NSTextField::NSTextField;
    std::shared_ptr<appkit::NSView> hitTest(cg::CGPoint) override { return nullptr; }
    bool acceptsFirstResponder() const override { return false; }
    // Keys go on to the editor (the superview) as responder chain events do.
    void keyDown(const appkit::NSEvent& event) override { appkit::NSResponder::keyDown(event); }

    std::weak_ptr<QNBKeyboardShortcutEditorView> shortCutEditor;
};

class QNBKeyboardShortcutEditorView : public appkit::NSView {
  public:
    // The text field is added by awakeFromNib or, outside a nib, by make.
    explicit QNBKeyboardShortcutEditorView(cg::CGRect frame = cg::CGRectZero);
    static std::shared_ptr<QNBKeyboardShortcutEditorView> make(cg::CGRect frame);

    // Bindings "character", "modifiers", "keyCode"; also "enabled", which the pane follows with
    // whether the button types a keystroke.
    static const ns::KeyTable& classBindingKeys();
    const ns::KeyTable& bindingKeys() const override { return classBindingKeys(); }

    void awakeFromNib() override;

    uint16_t character() const { return m_character; }
    void setCharacter(uint16_t character);
    uint64_t keyCode() const { return m_keyCode; }
    void setKeyCode(uint64_t keyCode);
    uint64_t modifiers() const { return m_modifiers; }
    void setModifiers(uint64_t modifiers);
    // A disabled editor takes neither clicks nor first responder.
    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool enabled);
    bool accessibilityEnabled() const override { return m_enabled; }
    bool newEvent() const { return m_newEvent; }
    void setNewEvent(bool newEvent) { m_newEvent = newEvent; }
    const std::shared_ptr<QNBPassiveTextField>& textField() const { return m_textField; }

    // Sets value at the bound key path of the binding's observed object; a binding without
    // either is logged and the value dropped.
    void propogateValue(const ns::Id& value, std::string_view binding);
    // Redraws the text from the stored combination.
    void update();
    // The text a combination shows: modifier symbols, then a blank and the character.
    static std::string shortcutText(uint64_t modifiers, uint16_t character);

    // ---- Events.
    void keyDown(const appkit::NSEvent& event) override;
    void keyUp(const appkit::NSEvent& event) override;
    void flagsChanged(const appkit::NSEvent& event);
    void mouseDown(const appkit::NSEvent& event) override;
    bool acceptsFirstResponder() const override { return m_enabled; }
    bool acceptsFirstMouse(const appkit::NSEvent*) const { return true; }
    bool becomeFirstResponder() override;
    bool resignFirstResponder() override;
    bool isFirstResponder() const;

    void drawRect(cg::CGRect dirtyRect) override;
    std::string accessibilityRole() const override { return "AXGroup"; }

  private:
    void installTextField();
    void invalidateFocusRing();

    uint16_t m_character = 0;
    uint64_t m_keyCode = 0;
    uint64_t m_modifiers = 0;
    bool m_newEvent = true;
    bool m_enabled = true;
    std::shared_ptr<QNBPassiveTextField> m_textField;
};

} // namespace host
