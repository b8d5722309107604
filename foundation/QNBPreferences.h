// The typed front of the one preferences domain the host program and the screen server share.
// Every getter reads the domain again; every notifying setter writes, flushes and announces
// the change to every process with the will-change and did-change distributed notifications.
// Besides the domain it reads the window server's HiDPI setting and runs the privileged helper
// tool that changes it.
#pragma once

#include "platform/corefoundation/Error.h"
#include "platform/corefoundation/Value.h"
#include "platform/foundation/NSObject.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace foundation {

// The host's bundle identifier, which names the shared domain.
inline constexpr char kApplicationID[] = "com.quenby.TesselHost2";
inline constexpr char kWindowServerApplicationID[] = "com.apple.windowserver";

// Keys of the domain.
inline constexpr char kCurrentState[] = "currentState";
inline constexpr char kShowInMenuBar[] = "showInMenuBar";
inline constexpr char kAutoMoveWindowsBackOption[] = "autoMoveWindowsBackOption";
inline constexpr char kAutoUpdateOption[] = "SUEnableAutomaticChecks";
inline constexpr char kPresentationModeOption[] = "presentationMode";
inline constexpr char kEnableTouchDisplayOption[] = "enableDisplayTouch";
inline constexpr char kEnableKeyboardInputOption[] = "enableKeyboardInput";
inline constexpr char kEnableRetinaDisplayOption[] = "enableRetinaDisplay";
inline constexpr char kStartAtLoginOption[] = "startAtLoginOption";
inline constexpr char kSuppressLocalClientHelpSheet[] = "suppressLocalClientHelpSheet";
inline constexpr char kDisplayLocalClientWindow[] = "shouldDisplayLocalClientWindow";
inline constexpr char kFirstRun[] = "firstRun";
inline constexpr char kDisplayResolutionEnabled[] = "DisplayResolutionEnabled";
inline constexpr char kDebuggingDontSendKBEvents[] = "QNBDebuggingDontSendKBEvents";
inline constexpr char kStylusPressureSensitivity[] = "pressureSensitivity";
// Per-button key prefixes; the button index follows in decimal.
inline constexpr char kButtonAction[] = "buttonAction";
inline constexpr char kButtonModifiers[] = "buttonModifiers";
inline constexpr char kButtonShortcutCharacter[] = "buttonShortcutCharacter";
inline constexpr char kButtonShortcutModifiers[] = "buttonShortcutModifiers";
inline constexpr char kButtonShortcutKeyCode[] = "buttonShortcutKeyCode";
// Keys of earlier versions, only ever removed.
inline constexpr char kCurrentVirtualScreenDeviceName[] = "currentVirtualScreenDeviceName";
inline constexpr char kAutoConnectOption[] = "autoConnectOption";
inline constexpr char kAutoConnectDevices[] = "autoConnectDevices";
inline constexpr char kOpenPrefsInSettingsPane[] = "openPrefsInSettingsPane";
inline constexpr char kLastOtherDeviceName[] = "lastOtherDeviceName";
inline constexpr char kButtonOptions[] = "button_";
// Declared, never read or written.
inline constexpr char kEnableHiDPIResolutions[] = "enableHiDPIResolutions";
inline constexpr char kConfiguredHiDPIResolutions[] = "configuredHiDPIResolutions";

// The key of a per-button setting: the prefix followed by the index in decimal.
std::string buttonKey(std::string_view prefix, uint64_t index);

// The key-value face lists presentationMode, retinaResolutionsEnabled, enableHiDPIResolutions,
// displayLocalClientWindow, startAtLogin and autoUpdateOption over the getters and notifying
// setters below, so that the host's bindings and observers reach the domain; a set through it
// announces its key to observers. retinaResolutionsEnabled and enableHiDPIResolutions write (and
// announce) only a value equal to the stored one: the preferences window stores a new choice of
// either through its own confirmation, never straight from the switch. The C++ setters announce
// nothing to key-value observers.
class QNBPreferences : public ns::NSObject {
public:
    // Posts one distributed notification (object and userInfo null) with the given options.
    using Poster = std::function<void(const std::string& name, uint64_t options)>;

    // The process's instance, made on first use and kept for the life of the process.
    static QNBPreferences& sharedAppPrefs();
    // Without a poster the default distributed notification centre is used.
    explicit QNBPreferences(Poster poster = {});

    static const ns::KeyTable& classKeys();
    const ns::KeyTable& keyTable() const override { return classKeys(); }

    void synchronize();
    // Will-change, synchronize, did-change.
    void synchronizeWithNotification();

    // Getters. A boolean found absent (or unreadable as a boolean) has its default written back.
    uint64_t currentState();
    cf::Value currentStateNumber();
    bool showInMenuBar();
    bool autoMoveWindowsBackOption();
    bool autoUpdateOption() const { return true; } // automatic update checks stay on
    bool presentationMode();
    bool enableTouchDisplay();
    bool enableKeyboardInput();
    bool retinaResolutionsEnabled();
    bool startAtLogin();
    bool suppressLocalClientHelpSheet();
    bool displayLocalClientWindow();
    bool firstRun();
    bool enableHiDPIResolutions();
    bool debuggingDontSendKBEvents();
    float stylusPressureSensitivity();

    uint64_t actionForButton(uint64_t button);
    uint64_t modifiersForButton(uint64_t button);
    uint16_t shortcutCharacterForButton(uint64_t button);
    uint64_t shortcutModifiersForButton(uint64_t button);
    uint64_t shortcutKeyCodeForButton(uint64_t button);

    // Base setters only write; notifying setters write, then synchronizeWithNotification.
    void baseSetCurrentState(uint64_t state);
    void setCurrentState(uint64_t state);
    void baseSetShowInMenuBar(bool value);
    void setShowInMenuBar(bool value);
    void baseSetAutoMoveWindowsBackOption(bool value);
    void setAutoMoveWindowsBackOption(bool value);
    void baseSetAutoUpdateOption(bool value);
    void setAutoUpdateOption(bool value);
    void baseSetPresentationMode(bool value);
    void setPresentationMode(bool value);
    void baseSetEnableTouchDisplay(bool value);
    void setEnableTouchDisplay(bool value);
    void baseSetEnableKeyboardInput(bool value);
    void setEnableKeyboardInput(bool value);
    void baseSetRetinaResolutionsEnabled(bool value);
    void setRetinaResolutionsEnabled(bool value);
    void baseSetStartAtLogin(bool value);
    void setStartAtLogin(bool value);
    void baseSetSuppressLocalClientHelpSheet(bool value);
    void setSuppressLocalClientHelpSheet(bool value);
    void baseSetDisplayLocalClientWindow(bool value);
    void setDisplayLocalClientWindow(bool value);
    void baseSetFirstRun(bool value);
    void setFirstRun(bool value);
    void baseSetEnableHiDPIResolutions(bool value);
    void setEnableHiDPIResolutions(bool value);
    void baseSetStylusPressureSensitivity(float value);
    void setStylusPressureSensitivity(float value);

    void baseSetAction(uint64_t action, uint64_t button);
    void setAction(uint64_t action, uint64_t button);
    void baseSetModifiers(uint64_t modifiers, uint64_t button);
    void setModifiers(uint64_t modifiers, uint64_t button);
    void baseSetShortcutModifiers(uint64_t modifiers, uint64_t button);
    void setShortcutModifiers(uint64_t modifiers, uint64_t button);
    void baseSetShortcutKeyCode(uint64_t keyCode, uint64_t button);
    void setShortcutKeyCode(uint64_t keyCode, uint64_t button);
    void baseSetShortcutCharacter(uint16_t character, uint64_t button);
    void setShortcutCharacter(uint16_t character, uint64_t button);

    // Each main option read and passed to its notifying setter, so every one is stored.
    void setupDefaultPreferenceValues();
    // Removes this domain's keys (flushed, not announced).
    void erasePreferences();

    // The window server's HiDPI setting (any user, current host).
    void synchronizeWindowServer();
    bool displayResolutionEnabled();
    // Runs the "on" or "off" helper tool from the main bundle's resources, with "1\n" as its
    // one argument when a logout is wanted.
    void authenticatedSetEnableHiDPIResolutions(bool enable, bool withLogout);
    // Runs the tool with administrator rights: YES once it has started. A missing tool is
    // refused before any authorization is asked for. error (when given) is set on failure.
    bool authExecuteHelperWithToolURL(const std::optional<std::string>& toolURL, platform::Error* error,
                                      const char* const* arguments);

    // A plain stored flag tied to no key; the stored login choice is startAtLogin().
    bool startAtLoginOption() const { return m_startAtLoginOption.load(); }
    void setStartAtLoginOption(bool value) { m_startAtLoginOption.store(value); }

private:
    void post(const char* name);
    std::optional<int64_t> integerValue(const std::string& key);

    Poster m_poster;
    std::atomic<bool> m_startAtLoginOption{false};
};

// The boolean under key; when absent or not readable as one, the default is stored (not
// flushed) and answered. The two names behave alike.
bool QNBPreferencesGetBoolAppValue(std::string_view key, bool defaultValue);
bool QNBPreferencesGetBoolValue(std::string_view key, bool defaultValue);
// Stores a boolean under key without flushing.
void QNBPreferencesSetBoolValue(std::string_view key, bool value);

} // namespace foundation
