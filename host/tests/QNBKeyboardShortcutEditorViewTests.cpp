// The keyboard-shortcut editor in the Stylus pane: keys pressed while it is first responder
// recorded into the bottom barrel button's preferences, the text it shows, how a new combination
// starts, keys without characters, and a binding that has lost its object.
#include "PreferencesWindowTestSupport.h"

#include "host/QNBKeyboardShortcutEditorView.h"

namespace host {
namespace {

constexpr uint16_t kKeyCodeK = 40;
constexpr uint16_t kKeyCodeA = 0;
constexpr uint16_t kKeyCodeB = 11;
constexpr uint16_t kKeyCodeC = 8;
constexpr uint16_t kKeyCodeDelete = 51;
constexpr uint16_t kKeyCodeReturn = 36;
constexpr uint16_t kKeyCodeForwardDelete = 117;
constexpr uint16_t kKeyCodeF13 = 105;
// A device-dependent bit events carry beside the modifier masks.
constexpr uint64_t kDeviceBit = 0x100;

class QNBKeyboardShortcutEditorViewTest : public testing::PreferencesWindowTest {
  protected:
    // The Stylus pane shown with button 1 typing a keystroke, its editor first responder.
    std::shared_ptr<QNBKeyboardShortcutEditorView> focusedEditor() {
        store("buttonAction4", cf::Value(int64_t(QNBStylusActionKeystroke)));
        manager().setSelectedPreferenceItemIndex(1);
        manager().displayPreferencesPanel(nullptr);
        auto editor = stylus().button1ShortCutEditor.lock();
        EXPECT_TRUE(editor && editor->isEnabled());
        EXPECT_TRUE(manager().preferencesPanel->makeFirstResponder(editor));
        pairs();
        return editor;
    }
    void key(appkit::NSEventType type, uint64_t flags, const std::string& characters, uint16_t keyCode,
             std::optional<std::string> charactersIgnoringModifiers = {}) {
        manager().preferencesPanel->sendEvent(appkit::NSEvent::keyEvent(
            type, cg::CGPointZero, flags, 0, 0, characters, keyCode, std::move(charactersIgnoringModifiers)));
    }
    void press(uint64_t flags, const std::string& characters, uint16_t keyCode) {
        key(appkit::NSEventType::KeyDown, flags, characters, keyCode);
        key(appkit::NSEventType::KeyUp, flags, characters, keyCode);
    }
    void flags(QNBKeyboardShortcutEditorView&, uint64_t modifierFlags) {
        key(appkit::NSEventType::FlagsChanged, modifierFlags, "", 0);
    }
    static int64_t storedInteger(const std::string& key) {
        auto value = stored(key);
        return value ? value->integerValue() : -1;
    }
};

TEST_F(QNBKeyboardShortcutEditorViewTest, ShiftCommandKIsRecordedIntoTheBottomButtonsPreferences) {
    auto editor = focusedEditor();
    EXPECT_EQ(editor->textField()->stringValue(), "<keys>");
    press(0x120000 | kDeviceBit, "K", kKeyCodeK);
    EXPECT_EQ(storedInteger("buttonShortcutKeyCode4"), 40);
    EXPECT_EQ(storedInteger("buttonShortcutCharacter4"), 75);
    EXPECT_EQ(storedInteger("buttonShortcutModifiers4") & 0x120000, 0x120000);
    EXPECT_EQ(storedInteger("buttonShortcutModifiers8"), -1) << "the other button is untouched";
    EXPECT_EQ(editor->textField()->stringValue(), "⇧⌘ K");
    EXPECT_GT(pairs(), 0u) << "each value reaches the screen server as it is recorded";

    // A lower-case character is recorded upper-cased.
    key(appkit::NSEventType::KeyUp, 0, "", kKeyCodeK);
    press(kQNBControlModifier, "k", kKeyCodeK);
    EXPECT_EQ(storedInteger("buttonShortcutCharacter4"), 75);
    EXPECT_EQ(editor->textField()->stringValue(), "⌃ K");
}

TEST_F(QNBKeyboardShortcutEditorViewTest, DeleteReturnAndForwardDeleteShowTheirSymbols) {
    auto editor = focusedEditor();
    press(0, "\x7f", kKeyCodeDelete);
    EXPECT_EQ(editor->textField()->stringValue(), " ⌫");
    press(0, "\r", kKeyCodeReturn);
    EXPECT_EQ(editor->textField()->stringValue(), " ⏎");
    EXPECT_EQ(storedInteger("buttonShortcutCharacter4"), 13);
    press(0, "\n", kKeyCodeReturn);
    EXPECT_EQ(editor->textField()->stringValue(), " ⏎");
    press(0, "\xEF\x9C\xA8", kKeyCodeForwardDelete); // U+F728
    EXPECT_EQ(editor->textField()->stringValue(), " ⌦");
    EXPECT_EQ(m_preferences->shortcutCharacterForButton(4), 0xF728);
    EXPECT_EQ(QNBKeyboardShortcutEditorView::shortcutText(0x1e0000 | kQNBCapsLockModifier, 'A'), "⇧⌃⌥⌘ A");
}

TEST_F(QNBKeyboardShortcutEditorViewTest, AReleaseStartsANewCombinationAndAHeldModifierKeepsIt) {
    auto editor = focusedEditor();
    key(appkit::NSEventType::KeyDown, kQNBCommandModifier, "a", kKeyCodeA);
    key(appkit::NSEventType::KeyUp, kQNBCommandModifier, "a", kKeyCodeA);
    EXPECT_FALSE(editor->newEvent());
    key(appkit::NSEventType::KeyDown, kQNBCommandModifier, "b", kKeyCodeB);
    EXPECT_EQ(editor->character(), 'B');
    EXPECT_EQ(editor->keyCode(), kKeyCodeB);
    EXPECT_EQ(editor->modifiers(), kQNBCommandModifier);

    key(appkit::NSEventType::KeyUp, 0, "b", kKeyCodeB);
    EXPECT_TRUE(editor->newEvent());
    press(0, "c", kKeyCodeC);
    EXPECT_EQ(editor->character(), 'C');
    EXPECT_EQ(editor->modifiers(), 0u);
    EXPECT_EQ(storedInteger("buttonShortcutModifiers4"), 0);
    EXPECT_EQ(storedInteger("buttonShortcutKeyCode4"), kKeyCodeC);
    EXPECT_EQ(editor->textField()->stringValue(), " C");
}

TEST_F(QNBKeyboardShortcutEditorViewTest, OptionKStoresK) {
    auto editor = focusedEditor();
    // The layout makes "˚" of Option-K; the key itself is "k".
    key(appkit::NSEventType::KeyDown, kQNBOptionModifier, "\xCB\x9A", kKeyCodeK, "k");
    EXPECT_EQ(editor->character(), 'K');
    EXPECT_EQ(storedInteger("buttonShortcutCharacter4"), 75);
    EXPECT_EQ(storedInteger("buttonShortcutKeyCode4"), kKeyCodeK);
    EXPECT_EQ(editor->textField()->stringValue(), "⌥ K");
}

TEST_F(QNBKeyboardShortcutEditorViewTest, AKeyWithoutCharactersRecordsItsKeyCodeAndModifiers) {
    auto editor = focusedEditor();
    press(kQNBControlModifier, "A", kKeyCodeA);
    key(appkit::NSEventType::KeyUp, 0, "", kKeyCodeA);
    key(appkit::NSEventType::KeyDown, kQNBOptionModifier, "", kKeyCodeF13);
    EXPECT_EQ(editor->character(), 0);
    EXPECT_EQ(editor->keyCode(), kKeyCodeF13);
    EXPECT_EQ(editor->modifiers(), kQNBOptionModifier);
    EXPECT_EQ(storedInteger("buttonShortcutCharacter4"), 0);
    EXPECT_EQ(storedInteger("buttonShortcutKeyCode4"), kKeyCodeF13);
    EXPECT_EQ(storedInteger("buttonShortcutModifiers4"), int64_t(kQNBOptionModifier));
    EXPECT_EQ(editor->textField()->stringValue(), "⌥");
}

TEST_F(QNBKeyboardShortcutEditorViewTest, ModifierChangesStartAndEndACombination) {
    auto editor = focusedEditor();
    press(kQNBCommandModifier, "x", 7);
    key(appkit::NSEventType::KeyUp, 0, "", 7);
    ASSERT_TRUE(editor->newEvent());

    flags(*editor, kQNBOptionModifier);
    EXPECT_EQ(editor->character(), 0);
    EXPECT_EQ(editor->keyCode(), 0u);
    EXPECT_EQ(editor->modifiers(), kQNBOptionModifier);
    EXPECT_FALSE(editor->newEvent());
    flags(*editor, kQNBOptionModifier | kQNBShiftModifier);
    EXPECT_EQ(editor->modifiers(), kQNBOptionModifier | kQNBShiftModifier);
    flags(*editor, kQNBOptionModifier);
    EXPECT_EQ(editor->modifiers(), kQNBOptionModifier | kQNBShiftModifier) << "a release adds nothing new";
    EXPECT_EQ(editor->textField()->stringValue(), "⇧⌥");
    flags(*editor, kQNBCapsLockModifier);
    EXPECT_TRUE(editor->newEvent()) << "caps lock alone is no combination in the making";
    EXPECT_EQ(editor->modifiers(), kQNBCapsLockModifier) << "recorded";
    EXPECT_EQ(editor->textField()->stringValue(), "<keys>") << "but not shown";
}

TEST_F(QNBKeyboardShortcutEditorViewTest, ADisabledEditorTakesNoFocusAndTheFieldPassesClicksOn) {
    manager().setSelectedPreferenceItemIndex(1);
    manager().displayPreferencesPanel(nullptr);
    auto editor = stylus().button2ShortCutEditor.lock();
    ASSERT_TRUE(editor);
    EXPECT_EQ(editor->frame().size.width, 160);
    EXPECT_EQ(editor->frame().size.height, 24);
    EXPECT_EQ(editor->textField()->shortCutEditor.lock(), editor);
    EXPECT_TRUE(cg::CGRectEqualToRect(editor->textField()->frame(), editor->bounds()));
    EXPECT_EQ(editor->textField()->hitTest(cg::CGPointMake(5, 5)), nullptr);
    EXPECT_FALSE(editor->textField()->acceptsFirstResponder());

    EXPECT_FALSE(editor->isEnabled());
    EXPECT_FALSE(manager().preferencesPanel->makeFirstResponder(editor));
    stylus().setValueForKey(ns::Id(int64_t(QNBStylusActionKeystroke)), "button2Action");
    EXPECT_TRUE(editor->isEnabled());
    EXPECT_TRUE(manager().preferencesPanel->makeFirstResponder(editor));
    EXPECT_TRUE(editor->isFirstResponder());
}

TEST_F(QNBKeyboardShortcutEditorViewTest, ABindingWithoutItsObjectIsLoggedAndTheValueKept) {
    auto editor = QNBKeyboardShortcutEditorView::make(cg::CGRectMake(0, 0, 160, 24));
    editor->setCharacter('A');
    EXPECT_TRUE(m_log.contains("ERROR: NSObservedObjectKey was nil for binding \"character\" in "
                               "-[QNBKeyboardShortcutEditorView propogateValue:forBinding:]"));
    EXPECT_EQ(editor->character(), 'A');
    EXPECT_EQ(editor->textField()->stringValue(), " A");

    {
        auto model = std::make_shared<foundation::QNBPreferences>([](const std::string&, uint64_t) {});
        editor->bind("keyCode", model, "presentationMode");
    }
    m_log.clear();
    editor->setKeyCode(12);
    EXPECT_TRUE(m_log.contains("ERROR: NSObservedObjectKey was nil for binding \"keyCode\""));
    EXPECT_EQ(editor->keyCode(), 12u);
}

} // namespace
} // namespace host
