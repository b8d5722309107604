#include "host/QNBScrivetPreferencesViewController.h"

#include "host/QNBPreferencesManager.h"

#include "foundation/QNBPreferences.h"

#include "platform/services/NSWorkspace.h"

#include <cmath>
#include <utility>

namespace host {

namespace {

using Pane = QNBScrivetPreferencesViewController;

Pane& paneOf(ns::NSObject& o) {
    return static_cast<Pane&>(o);
}
const Pane& paneOf(const ns::NSObject& o) {
    return static_cast<const Pane&>(o);
}

// The texts the pane offers its nib: property, then the English text that is its key.
const std::pair<const char*, const char*> kTexts[] = {
    {"stylusButtonsGroupingText", "Stylus Buttons"},
    {"button1ActionText", "Bottom Button"},
    {"button2ActionText", "Top Button"},
    {"stylusTipActionText", "Stylus Tip"},
    {"eraserTipActionText", "Eraser"},
    {"fingerTipActionText", "Finger Tip"},
    {"actionHelpText", "Choose a modifier or action for the stylus buttons"},
    {"actionDisabledText", "Disabled"},
    {"actionClickText", "Click"},
    {"actionSecondaryClickText", "Secondary Click"},
    {"actionMiddleClickText", "Middle Click"},
    {"actionMouseHoverText", "Move Cursor"},
    {"actionScrollWheelText", "Scroll Wheel"},
    {"actionEraserText", "Eraser"},
    {"actionEraseText", "Eraser"},
    {"actionUndoText", "Undo"},
    {"actionRedoText", "Redo"},
    {"actionCustomModifierText", "Modifier Keys…"},
    {"actionKeyStrokeText", "Keystroke…"},
    {"pressureGroupingText", "Pressure Sensitivity"},
    {"pressureLowText", "Low"},
    {"pressureHighText", "High"},
    {"pressureCurrentText", "Pressure"},
    {"pressureHelpText", "Higher sensitivity will make the pen more responsive to light pressure."},
    {"stylusInfoGroupingText", "Getting Started"},
    {"learnAboutScrivetText", "Learn About Scrivet…"},
    {"buyAPenText", "Our Favorite Pens…"},
};

ns::KeyTable::Entry textEntry(std::string text) {
    ns::KeyTable::Entry entry;
    entry.getter = [text = std::move(text)](const ns::NSObject&) { return ns::Id(QNBLocalizedString(text)); };
    entry.zero = ns::Id(std::string());
    return entry;
}

// "button1UsesModifier" and its twins: whether the button's action is the given one.
ns::KeyTable::Entry usesActionEntry(uint64_t (Pane::*action)() const, uint64_t wanted) {
    ns::KeyTable::Entry entry;
    entry.getter = [action, wanted](const ns::NSObject& o) {
        return ns::Id((paneOf(o).*action)() == wanted);
    };
    entry.zero = ns::Id(false);
    entry.scalar = true;
    return entry;
}

// "button1UsesShiftModifier" and its twins: one mask of the button's modifier word; a set
// changes only that mask and writes the word back.
ns::KeyTable::Entry modifierMaskEntry(uint64_t (Pane::*get)() const, void (Pane::*set)(uint64_t),
                                      uint64_t mask) {
    ns::KeyTable::Entry entry;
    entry.getter = [get, mask](const ns::NSObject& o) { return ns::Id(((paneOf(o).*get)() & mask) != 0); };
    entry.setter = [get, set, mask](ns::NSObject& o, const ns::Id& v) {
        Pane& pane = paneOf(o);
        const uint64_t word = (pane.*get)();
        (pane.*set)(v.boolValue() ? word | mask : word & ~mask);
    };
    entry.zero = ns::Id(false);
    entry.scalar = true;
    return entry;
}

struct ModifierName {
    const char* name;
    uint64_t mask;
};
const ModifierName kModifierNames[] = {
    {"Shift", kQNBShiftModifier},
    {"Control", kQNBControlModifier},
    {"Option", kQNBOptionModifier},
    {"Command", kQNBCommandModifier},
};

ns::KeyTable makeKeys() {
    ns::KeyTable keys("QNBScrivetPreferencesViewController", &appkit::NSViewController::classKeys());
    keys.property("fingerAction", &Pane::fingerAction, &Pane::setFingerAction)
        .property("tipAction", &Pane::tipAction, &Pane::setTipAction)
        .property("eraserAction", &Pane::eraserAction, &Pane::setEraserAction)
        .property("button1Action", &Pane::button1Action, &Pane::setButton1Action)
        .property("button2Action", &Pane::button2Action, &Pane::setButton2Action)
        .property("button1Modifiers", &Pane::button1Modifiers, &Pane::setButton1Modifiers)
        .property("button2Modifiers", &Pane::button2Modifiers, &Pane::setButton2Modifiers)
        .property("button1ShortcutCharacter", &Pane::button1ShortcutCharacter,
                  &Pane::setButton1ShortcutCharacter)
        .property("button2ShortcutCharacter", &Pane::button2ShortcutCharacter,
                  &Pane::setButton2ShortcutCharacter)
        .property("button1ShortcutModifiers", &Pane::button1ShortcutModifiers,
                  &Pane::setButton1ShortcutModifiers)
        .property("button2ShortcutModifiers", &Pane::button2ShortcutModifiers,
                  &Pane::setButton2ShortcutModifiers)
        .property("button1ShortcutKeyCode", &Pane::button1ShortcutKeyCode, &Pane::setButton1ShortcutKeyCode)
        .property("button2ShortcutKeyCode", &Pane::button2ShortcutKeyCode, &Pane::setButton2ShortcutKeyCode)
        .property("pressureSensitivity", &Pane::pressureSensitivity, &Pane::setPressureSensitivity)
        .property("currentPressure", &Pane::currentPressure, &Pane::setCurrentPressure);

    struct Barrel {
        const char* prefix;
        uint64_t (Pane::*action)() const;
        uint64_t (Pane::*modifiers)() const;
        void (Pane::*setModifiers)(uint64_t);
    };
    const Barrel barrels[] = {
        {"button1", &Pane::button1Action, &Pane::button1Modifiers, &Pane::setButton1Modifiers},
        {"button2", &Pane::button2Action, &Pane::button2Modifiers, &Pane::setButton2Modifiers},
    };
    for (const Barrel& b : barrels) {
        const std::string prefix = b.prefix;
        keys.add(prefix + "UsesModifier", usesActionEntry(b.action, QNBStylusActionCustomModifier))
            .affecting(prefix + "UsesModifier", {prefix + "Action"});
        keys.add(prefix + "UsesShortcut", usesActionEntry(b.action, QNBStylusActionKeystroke))
            .affecting(prefix + "UsesShortcut", {prefix + "Action"});
        for (const ModifierName& m : kModifierNames) {
            const std::string key = prefix + "Uses" + m.name + "Modifier";
            keys.add(key, modifierMaskEntry(b.modifiers, b.setModifiers, m.mask))
                .affecting(key, {prefix + "Modifiers"});
        }
    }
    for (const auto& [property, text] : kTexts)
        keys.add(property, textEntry(text));
    for (const char* binding :
         {"button1Action", "button2Action", "button1Modifiers", "button2Modifiers",
          "button1ShortcutCharacter", "button2ShortcutCharacter", "button1ShortcutModifiers",
          "button2ShortcutModifiers", "button1ShortcutKeyCode", "button2ShortcutKeyCode"})
        keys.exposeBinding(binding);
    return keys;
}

} // namespace

QNBScrivetPreferencesViewController::QNBScrivetPreferencesViewController(
    foundation::QNBPreferences& preferences)
    : m_preferences(preferences) {}

QNBScrivetPreferencesViewController::~QNBScrivetPreferencesViewController() {
    if (m_pressureMonitor) appkit::NSEvent::removeMonitor(m_pressureMonitor);
}

const ns::KeyTable& QNBScrivetPreferencesViewController::classKeys() {
    static const ns::KeyTable table = makeKeys();
    return table;
}

const appkit::NSActionTable& QNBScrivetPreferencesViewController::classActions() {
    static const appkit::NSActionTable table =
        appkit::NSActionTable(&appkit::NSActionTarget::classActions())
            .action("aboutPressureSensitivePens:", &Pane::aboutPressureSensitivePens)
            .action("learnAboutScrivet:", &Pane::learnAboutScrivet);
    return table;
}

void QNBScrivetPreferencesViewController::awakeFromNib() {
    auto self = std::static_pointer_cast<Pane>(shared_from_this());
    // Each recorded value goes straight to the pane, and so to the preferences, as it is made.
    const cf::Dictionary continuously{{"NSContinuouslyUpdatesValue", true}};
    const std::pair<std::weak_ptr<QNBKeyboardShortcutEditorView>*, std::string> editors[] = {
        {&button1ShortCutEditor, "button1"}, {&button2ShortCutEditor, "button2"}};
    for (const auto& [weakEditor, prefix] : editors) {
        auto editor = weakEditor->lock();
        if (!editor) continue;
        editor->bind("character", self, prefix + "ShortcutCharacter", continuously);
        editor->bind("modifiers", self, prefix + "ShortcutModifiers", continuously);
        editor->bind("keyCode", self, prefix + "ShortcutKeyCode", continuously);
    }
    if (!m_pressureMonitor) {
        std::weak_ptr<Pane> weak = self;
        m_pressureMonitor = appkit::NSEvent::addGlobalMonitorForEventsMatchingMask(
            kPressureEventMask, [weak](const appkit::NSEvent& event) {
                if (auto pane = weak.lock()) pane->pressureEvent(event);
            });
    }
}

// ---- Stored properties.

uint64_t Pane::fingerAction() const {
    return m_preferences.actionForButton(foundation::QNBStylusButtonFinger);
}
void Pane::setFingerAction(uint64_t action) {
    m_preferences.setAction(action, foundation::QNBStylusButtonFinger);
}
uint64_t Pane::tipAction() const {
    return m_preferences.actionForButton(foundation::QNBStylusButtonTip);
}
void Pane::setTipAction(uint64_t action) {
    m_preferences.setAction(action, foundation::QNBStylusButtonTip);
}
uint64_t Pane::eraserAction() const {
    return m_preferences.actionForButton(foundation::QNBStylusButtonEraser);
}
void Pane::setEraserAction(uint64_t action) {
    m_preferences.setAction(action, foundation::QNBStylusButtonEraser);
}
uint64_t Pane::button1Action() const {
    return m_preferences.actionForButton(foundation::QNBStylusButtonBottomBarrel);
}
void Pane::setButton1Action(uint64_t action) {
    m_preferences.setAction(action, foundation::QNBStylusButtonBottomBarrel);
}
uint64_t Pane::button2Action() const {
    return m_preferences.actionForButton(foundation::QNBStylusButtonTopBarrel);
}
void Pane::setButton2Action(uint64_t action) {
    m_preferences.setAction(action, foundation::QNBStylusButtonTopBarrel);
}

uint64_t Pane::button1Modifiers() const {
    return m_preferences.modifiersForButton(foundation::QNBStylusButtonBottomBarrel);
}
void Pane::setButton1Modifiers(uint64_t modifiers) {
    m_preferences.setModifiers(modifiers, foundation::QNBStylusButtonBottomBarrel);
}
uint64_t Pane::button2Modifiers() const {
    return m_preferences.modifiersForButton(foundation::QNBStylusButtonTopBarrel);
}
void Pane::setButton2Modifiers(uint64_t modifiers) {
    m_preferences.setModifiers(modifiers, foundation::QNBStylusButtonTopBarrel);
}

uint16_t Pane::button1ShortcutCharacter() const {
    return m_preferences.shortcutCharacterForButton(foundation::QNBStylusButtonBottomBarrel);
}
void Pane::setButton1ShortcutCharacter(uint16_t character) {
    m_preferences.setShortcutCharacter(character, foundation::QNBStylusButtonBottomBarrel);
}
uint16_t Pane::button2ShortcutCharacter() const {
    return m_preferences.shortcutCharacterForButton(foundation::QNBStylusButtonTopBarrel);
}
void Pane::setButton2ShortcutCharacter(uint16_t character) {
    m_preferences.setShortcutCharacter(character, foundation::QNBStylusButtonTopBarrel);
}

uint64_t Pane::button1ShortcutModifiers() const {
    return m_preferences.shortcutModifiersForButton(foundation::QNBStylusButtonBottomBarrel);
}
void Pane::setButton1ShortcutModifiers(uint64_t modifiers) {
    m_preferences.setShortcutModifiers(modifiers, foundation::QNBStylusButtonBottomBarrel);
}
uint64_t Pane::button2ShortcutModifiers() const {
    return m_preferences.shortcutModifiersForButton(foundation::QNBStylusButtonTopBarrel);
}
void Pane::setButton2ShortcutModifiers(uint64_t modifiers) {
    m_preferences.setShortcutModifiers(modifiers, foundation::QNBStylusButtonTopBarrel);
}

uint64_t Pane::button1ShortcutKeyCode() const {
    return m_preferences.shortcutKeyCodeForButton(foundation::QNBStylusButtonBottomBarrel);
}
void Pane::setButton1ShortcutKeyCode(uint64_t keyCode) {
    m_preferences.setShortcutKeyCode(keyCode, foundation::QNBStylusButtonBottomBarrel);
}
uint64_t Pane::button2ShortcutKeyCode() const {
    return m_preferences.shortcutKeyCodeForButton(foundation::QNBStylusButtonTopBarrel);
}
void Pane::setButton2ShortcutKeyCode(uint64_t keyCode) {
    m_preferences.setShortcutKeyCode(keyCode, foundation::QNBStylusButtonTopBarrel);
}

double Pane::pressureSensitivity() const {
    return m_preferences.stylusPressureSensitivity();
}
void Pane::setPressureSensitivity(double sensitivity) {
    m_preferences.setStylusPressureSensitivity(static_cast<float>(sensitivity));
}

// ---- The meter.

void Pane::setCurrentPressure(double pressure) {
    // A pen may report anything: what is not a number counts as no pressure, and the meter
    // never leaves its scale.
    if (!std::isfinite(pressure)) pressure = 0;
    m_currentPressure = std::clamp(pressure, 0.0, kQNBMaximumPressure);
}

void Pane::pressureEvent(const appkit::NSEvent& event) {
    const double pressure = event.pressure();
    setValueForKey(ns::Id(std::isfinite(pressure) ? pressure * kQNBMaximumPressure : 0.0), "currentPressure");
}

// ---- Links.

void Pane::aboutPressureSensitivePens(appkit::NSActionTarget*) {
    ns::NSWorkspace::sharedWorkspace().openURL(kQNBPressureSensitivePensURL);
}

void Pane::learnAboutScrivet(appkit::NSActionTarget*) {
    ns::NSWorkspace::sharedWorkspace().openURL(kQNBScrivetURL);
}

} // namespace host
