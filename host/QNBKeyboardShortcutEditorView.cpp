#include "host/QNBKeyboardShortcutEditorView.h"

#include "host/QNBPreferencesManager.h"

#include "platform/appkit/NSColor.h"
#include "platform/appkit/NSGraphicsContext.h"
#include "platform/appkit/NSViewBindings.h"
#include "platform/appkit/NSWindow.h"
#include "platform/core/Log.h"
#include "platform/foundation/CFStringUnicode.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSString.h"

namespace host {

namespace {

constexpr char16_t kDeleteCharacter = 0x7F;
constexpr char16_t kCarriageReturn = 0x0D;
constexpr char16_t kLineFeed = 0x0A;
constexpr char16_t kForwardDeleteFunctionKey = 0xF728;
constexpr double kFocusRingWidth = 4;

// Caps lock, shift, control, option, command: the flags a modifier change may bring.
constexpr uint64_t kRecordedModifiers = kQNBCapsLockModifier | kQNBHeldModifiers;

} // namespace

QNBKeyboardShortcutEditorView::QNBKeyboardShortcutEditorView(cg::CGRect frame) : NSView(frame) {}

std::shared_ptr<QNBKeyboardShortcutEditorView> QNBKeyboardShortcutEditorView::make(cg::CGRect frame) {
    auto editor = std::make_shared<QNBKeyboardShortcutEditorView>(frame);
    editor->awakeFromNib();
    return editor;
}

const ns::KeyTable& QNBKeyboardShortcutEditorView::classBindingKeys() {
    using E = QNBKeyboardShortcutEditorView;
    static const ns::KeyTable table = [] {
        ns::KeyTable keys("QNBKeyboardShortcutEditorView", &appkit::NSView::classBindingKeys());
        appkit::bindableKey(keys, "character", &E::character, &E::setCharacter);
        appkit::bindableKey(keys, "modifiers", &E::modifiers, &E::setModifiers);
        appkit::bindableKey(keys, "keyCode", &E::keyCode, &E::setKeyCode);
        appkit::bindableKey(keys, "enabled", &E::isEnabled, &E::setEnabled);
        keys.exposeBinding("character").exposeBinding("modifiers").exposeBinding("keyCode");
        return keys;
    }();
    return table;
}

void QNBKeyboardShortcutEditorView::awakeFromNib() {
    installTextField();
    update();
}

void QNBKeyboardShortcutEditorView::installTextField() {
    if (m_textField) return;
    m_textField = std::make_shared<QNBPassiveTextField>(bounds());
    m_textField->setEditable(false);
    m_textField->setBezeled(false);
    m_textField->setDrawsBackground(false);
    m_textField->setAlignment(appkit::NSTextAlignmentCenter);
    // It covers the editor whatever the editor's size.
    m_textField->setAutoresizingMask(appkit::NSViewWidthSizable | appkit::NSViewHeightSizable);
    m_textField->shortCutEditor = std::static_pointer_cast<QNBKeyboardShortcutEditorView>(shared_from_this());
    addSubview(m_textField);
}

// ---- Values: each announced, stored, handed to its binding and shown.

void QNBKeyboardShortcutEditorView::setCharacter(uint16_t character) {
    m_character = character;
    propogateValue(ns::Id(int64_t(character)), "character");
    update();
}

void QNBKeyboardShortcutEditorView::setKeyCode(uint64_t keyCode) {
    m_keyCode = keyCode;
    propogateValue(ns::Id(keyCode), "keyCode");
    update();
}

void QNBKeyboardShortcutEditorView::setModifiers(uint64_t modifiers) {
    m_modifiers = modifiers;
    propogateValue(ns::Id(modifiers), "modifiers");
    update();
}

void QNBKeyboardShortcutEditorView::propogateValue(const ns::Id& value, std::string_view binding) {
    static constexpr char kOperation[] = "-[QNBKeyboardShortcutEditorView propogateValue:forBinding:]";
    auto info = infoForBinding(binding);
    if (!info || !info->observedObject) {
        platform::log("ERROR: NSObservedObjectKey was nil for binding \"%@\" in %s", std::string(binding),
                      kOperation);
        return;
    }
    if (info->observedKeyPath.empty()) {
        platform::log("ERROR: NSObservedKeyPathKey was nil for binding \"%@\" in %s", std::string(binding),
                      kOperation);
        return;
    }
    // Through the binding, so a value the binding is pushing here is not written back to where
    // it came from.
    writeBackBinding(binding, value);
}

// ---- Text.

std::string QNBKeyboardShortcutEditorView::shortcutText(uint64_t modifiers, uint16_t character) {
    std::string text;
    if (modifiers & kQNBShiftModifier) text += "⇧";
    if (modifiers & kQNBControlModifier) text += "⌃";
    if (modifiers & kQNBOptionModifier) text += "⌥";
    if (modifiers & kQNBCommandModifier) text += "⌘";
    if (character == 0) return text;
    text += " ";
    switch (character) {
    case kDeleteCharacter:
        text += "⌫";
        break;
    case kCarriageReturn:
    case kLineFeed:
        text += "⏎";
        break;
    case kForwardDeleteFunctionKey:
        text += "⌦";
        break;
    default:
        text += cf::utf8FromUTF16(std::u16string(1, char16_t(character)));
        break;
    }
    return text;
}

void QNBKeyboardShortcutEditorView::update() {
    if (!m_textField) return;
    const std::string text = shortcutText(m_modifiers, m_character);
    if (!text.empty()) {
        m_textField->setTextColor(appkit::NSColor::blackColor());
        m_textField->setStringValue(text);
    } else {
        m_textField->setTextColor(appkit::NSColor::colorWithCalibratedWhite(0.75, 1));
        m_textField->setStringValue(ns::NSLocalizedString("<keys>"));
    }
    setNeedsDisplay(true);
}

// ---- Recording.

void QNBKeyboardShortcutEditorView::keyDown(const appkit::NSEvent& event) {
    if (m_newEvent) {
        setModifiers(0);
        setCharacter(0);
        setKeyCode(event.keyCode());
        m_newEvent = false;
    }
    // A key without characters (a dead key, a function key the layout leaves empty) still
    // records its key code and modifiers; its character is none.
    // The key itself, not what Option or Shift make of it: Option-K is recorded as K, not ˚.
    const std::u16string upper = cf::utf16FromUTF8(ns::uppercaseString(event.charactersIgnoringModifiers()));
    setCharacter(upper.empty() ? 0 : uint16_t(upper.front()));
    setKeyCode(event.keyCode());
    setModifiers(event.modifierFlags());
}

void QNBKeyboardShortcutEditorView::keyUp(const appkit::NSEvent& event) {
    if ((event.modifierFlags() & kRecordedModifiers) == 0) m_newEvent = true;
}

void QNBKeyboardShortcutEditorView::flagsChanged(const appkit::NSEvent& event) {
    const uint64_t flags = event.modifierFlags();
    const bool modifierIsNew = (flags & kRecordedModifiers & ~m_modifiers) != 0;
    if (m_newEvent) {
        setCharacter(0);
        setKeyCode(0);
    }
    if (modifierIsNew || m_newEvent) setModifiers(flags);
    m_newEvent = (flags & kQNBHeldModifiers) == 0;
}

void QNBKeyboardShortcutEditorView::mouseDown(const appkit::NSEvent&) {
    if (!m_enabled) return;
    if (auto w = window()) w->makeFirstResponder(shared_from_this());
}

void QNBKeyboardShortcutEditorView::setEnabled(bool enabled) {
    m_enabled = enabled;
    auto w = window();
    if (!enabled && w && w->firstResponder() == static_cast<appkit::NSResponder*>(this))
        w->makeFirstResponder(nullptr);
    setNeedsDisplay(true);
}

// ---- Focus and drawing.

bool QNBKeyboardShortcutEditorView::isFirstResponder() const {
    auto w = window();
    return w && w->firstResponder() == static_cast<const appkit::NSResponder*>(this);
}

// The ring lies outside the bounds: its area is redrawn from the superview.
void QNBKeyboardShortcutEditorView::invalidateFocusRing() {
    setNeedsDisplay(true);
    if (auto parent = superview())
        parent->setNeedsDisplayInRect(cg::CGRectInset(frame(), -kFocusRingWidth, -kFocusRingWidth));
}

bool QNBKeyboardShortcutEditorView::becomeFirstResponder() {
    invalidateFocusRing();
    return true;
}

bool QNBKeyboardShortcutEditorView::resignFirstResponder() {
    invalidateFocusRing();
    return true;
}

void QNBKeyboardShortcutEditorView::drawRect(cg::CGRect dirtyRect) {
    // A disabled editor is dimmed: its ground shows through the yellow.
    (m_enabled ? appkit::NSColor::yellowColor() : appkit::NSColor::colorWithCalibratedRed(1, 1, 0, 0.35))
        ->setFill();
    appkit::NSRectFill(dirtyRect);
    if (isFirstResponder()) {
        appkit::NSGraphicsContext::saveGraphicsState();
        appkit::NSSetFocusRingStyle(appkit::NSFocusRingOnly);
        appkit::NSRectFill(bounds());
        appkit::NSGraphicsContext::restoreGraphicsState();
    }
}

} // namespace host
