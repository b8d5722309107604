// The Stylus pane of the preferences window: what each part of a pressure-sensitive stylus does
// on the Mac (the two barrel buttons, the tip, the eraser end, a finger touch), the barrel
// buttons' held modifiers or recorded keystrokes, the pressure sensitivity and the pressure the
// pen reports now. Every value is read from and written to the shared preferences at once: the
// pane caches nothing, so it always shows what the preferences hold.
#pragma once

#include "host/QNBKeyboardShortcutEditorView.h"

#include "foundation/QNBStylus.h"

#include "platform/appkit/NSEvent.h"
#include "platform/appkit/NSViewController.h"

#include <cstdint>
#include <memory>
#include <string>

namespace foundation {
class QNBPreferences;
}

namespace host {

inline constexpr double kQNBStylusPaneWidth = 480;
inline constexpr double kQNBStylusPaneHeight = 466;

using foundation::QNBStylusAction;
using enum foundation::QNBStylusAction;

// The pressure the meter shows at most: a pen's full pressure (1.0) times 16.
inline constexpr double kQNBMaximumPressure = 16;

// The maker's web pages the two link buttons open.
inline constexpr char kQNBPressureSensitivePensURL[] = "https://www.quenby.com/tessel/pens";
inline constexpr char kQNBScrivetURL[] = "https://www.quenby.com/scrivet";

class QNBScrivetPreferencesViewController : public appkit::NSViewController {
  public:
    explicit QNBScrivetPreferencesViewController(foundation::QNBPreferences& preferences);
    ~QNBScrivetPreferencesViewController() override;

    static const ns::KeyTable& classKeys();
    const ns::KeyTable& keyTable() const override { return classKeys(); }
    static const appkit::NSActionTable& classActions();
    const appkit::NSActionTable& actionTable() const override { return classActions(); }

    // Binds the editors to the barrel buttons' shortcut keys and starts following the pen's
    // pressure for the life of the process.
    void awakeFromNib() override;

    // ---- Stored properties (through the preferences).
    uint64_t fingerAction() const;
    void setFingerAction(uint64_t action);
    uint64_t tipAction() const;
    void setTipAction(uint64_t action);
    uint64_t eraserAction() const;
    void setEraserAction(uint64_t action);
    uint64_t button1Action() const;
    void setButton1Action(uint64_t action);
    uint64_t button2Action() const;
    void setButton2Action(uint64_t action);
    uint64_t button1Modifiers() const;
    void setButton1Modifiers(uint64_t modifiers);
    uint64_t button2Modifiers() const;
    void setButton2Modifiers(uint64_t modifiers);
    uint16_t button1ShortcutCharacter() const;
    void setButton1ShortcutCharacter(uint16_t character);
    uint16_t button2ShortcutCharacter() const;
    void setButton2ShortcutCharacter(uint16_t character);
    uint64_t button1ShortcutModifiers() const;
    void setButton1ShortcutModifiers(uint64_t modifiers);
    uint64_t button2ShortcutModifiers() const;
    void setButton2ShortcutModifiers(uint64_t modifiers);
    uint64_t button1ShortcutKeyCode() const;
    void setButton1ShortcutKeyCode(uint64_t keyCode);
    uint64_t button2ShortcutKeyCode() const;
    void setButton2ShortcutKeyCode(uint64_t keyCode);
    double pressureSensitivity() const;
    void setPressureSensitivity(double sensitivity);

    // ---- The live meter: 0 to 16; what is not a finite number counts as 0.
    double currentPressure() const { return m_currentPressure; }
    void setCurrentPressure(double pressure);
    // A pointer or tablet event of another application: its pressure times 16.
    void pressureEvent(const appkit::NSEvent& event);

    // ---- Actions of the link buttons.
    void aboutPressureSensitivePens(appkit::NSActionTarget* sender);
    void learnAboutScrivet(appkit::NSActionTarget* sender);

    // ---- Outlets.
    std::weak_ptr<QNBKeyboardShortcutEditorView> button1ShortCutEditor;
    std::weak_ptr<QNBKeyboardShortcutEditorView> button2ShortCutEditor;

    // Mouse moved, left, right and other dragged, and tablet point events.
    static constexpr appkit::NSEventMask kPressureEventMask = 0x88000e0;

  private:
    foundation::QNBPreferences& m_preferences;
    double m_currentPressure = 0;
    appkit::NSEventMonitor m_pressureMonitor;
};

} // namespace host
