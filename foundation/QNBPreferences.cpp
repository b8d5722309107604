#include "foundation/QNBPreferences.h"

#include "foundation/FileURL.h"
#include "foundation/Vocabulary.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/CFPreferences.h"
#include "platform/foundation/NSBundle.h"
#include "platform/services/Authorization.h"
#include "platform/services/NSDistributedNotificationCenter.h"

#include <cstdio>
#include <functional>

namespace foundation {

namespace {

using cf::kCFPreferencesAnyHost;
using cf::kCFPreferencesCurrentHost;
using cf::kCFPreferencesCurrentUser;

// Both programs are told at once, whichever login session they run in.
constexpr uint64_t kChangeNotificationOptions = ns::NSNotificationDeliverImmediately | ns::NSNotificationPostToAllSessions;
constexpr char kBlessHelperRight[] = "com.apple.ServiceManagement.blesshelper";

// Another process may have written a key since this process last read the domain file. Before
// a getter stores a default over a key it found absent, the file is read again, so a default
// never replaces a choice made elsewhere that this process has not yet synchronized.
void refreshDomain() { cf::CFPreferencesSynchronize(kApplicationID, kCFPreferencesCurrentUser, kCFPreferencesAnyHost); }

std::optional<bool> readBool(std::string_view key) {
    bool valid = false;
    bool value = cf::CFPreferencesGetAppBooleanValue(key, kApplicationID, &valid);
    if (valid) return value;
    return std::nullopt;
}

void writeBool(std::string_view key, bool value) {
    cf::CFPreferencesSetAppValue(key, value ? cf::kCFBooleanTrue : cf::kCFBooleanFalse, kApplicationID);
}

void writeNumber(std::string_view key, cf::CFNumberType type, const void* value) {
    auto number = cf::CFNumberCreate(type, value);
    if (number) cf::CFPreferencesSetAppValue(key, *number, kApplicationID);
}

// Defaults of the per-button action and modifier numbers: {action, modifiers}.
std::pair<uint64_t, uint64_t> buttonDefaults(uint64_t button) {
    switch (button) {
    case 2:
    case 4: return {1, 4};
    case 8: return {4, 6};
    default: return {2, 2};
    }
}

} // namespace

std::string buttonKey(std::string_view prefix, uint64_t index) { return std::string(prefix) + std::to_string(index); }

bool QNBPreferencesGetBoolAppValue(std::string_view key, bool defaultValue) {
    if (auto value = readBool(key)) return *value;
    refreshDomain();
    if (auto value = readBool(key)) return *value;
    writeBool(key, defaultValue);
    return defaultValue;
}

bool QNBPreferencesGetBoolValue(std::string_view key, bool defaultValue) {
    return QNBPreferencesGetBoolAppValue(key, defaultValue);
}

void QNBPreferencesSetBoolValue(std::string_view key, bool value) { writeBool(key, value); }

QNBPreferences& QNBPreferences::sharedAppPrefs() {
    // Held by a shared pointer so that bindings and observers can hold the instance.
    static const std::shared_ptr<QNBPreferences> shared = std::make_shared<QNBPreferences>();
    return *shared;
}

namespace {

using BoolGetter = bool (QNBPreferences::*)();
using BoolSetter = void (QNBPreferences::*)(bool);

QNBPreferences& prefsOf(const ns::NSObject& o) {
    // The getters read (and may write back) the domain, so they are not const members.
    return const_cast<QNBPreferences&>(static_cast<const QNBPreferences&>(o));
}

ns::KeyTable::Entry boolEntry(std::function<bool(QNBPreferences&)> get, BoolSetter setter) {
    ns::KeyTable::Entry entry;
    entry.getter = [get](const ns::NSObject& o) { return ns::Id(get(prefsOf(o))); };
    entry.setter = [setter](ns::NSObject& o, const ns::Id& v) { (prefsOf(o).*setter)(v.boolValue()); };
    entry.zero = ns::Id(false);
    entry.scalar = true;
    return entry;
}

// A key whose set writes and announces only the value already stored.
ns::KeyTable::Entry storedValueEntry(const std::string& key, BoolGetter getter, BoolSetter setter) {
    ns::KeyTable::Entry entry = boolEntry(std::mem_fn(getter), setter);
    entry.automaticNotify = false;
    entry.setter = [key, getter, setter](ns::NSObject& o, const ns::Id& v) {
        QNBPreferences& prefs = prefsOf(o);
        const bool value = v.boolValue();
        if (value != (prefs.*getter)()) return;
        prefs.willChangeValueForKey(key);
        (prefs.*setter)(value);
        prefs.didChangeValueForKey(key);
    };
    return entry;
}

} // namespace

const ns::KeyTable& QNBPreferences::classKeys() {
    using P = QNBPreferences;
    static const ns::KeyTable table =
        ns::KeyTable("QNBPreferences", &ns::NSObject::classKeys())
            .add("presentationMode", boolEntry(std::mem_fn(&P::presentationMode), &P::setPresentationMode))
            .add("retinaResolutionsEnabled",
                 storedValueEntry("retinaResolutionsEnabled", &P::retinaResolutionsEnabled,
                                  &P::setRetinaResolutionsEnabled))
            .add("enableHiDPIResolutions",
                 storedValueEntry("enableHiDPIResolutions", &P::enableHiDPIResolutions,
                                  &P::setEnableHiDPIResolutions))
            .add("displayLocalClientWindow",
                 boolEntry(std::mem_fn(&P::displayLocalClientWindow), &P::setDisplayLocalClientWindow))
            .add("startAtLogin", boolEntry(std::mem_fn(&P::startAtLogin), &P::setStartAtLogin))
            .add("autoUpdateOption", boolEntry(std::mem_fn(&P::autoUpdateOption), &P::setAutoUpdateOption))
            .add("autoMoveWindowsBackOption",
                 boolEntry(std::mem_fn(&P::autoMoveWindowsBackOption), &P::setAutoMoveWindowsBackOption))
            .add("suppressLocalClientHelpSheet", boolEntry(std::mem_fn(&P::suppressLocalClientHelpSheet),
                                                           &P::setSuppressLocalClientHelpSheet));
    return table;
}

QNBPreferences::QNBPreferences(Poster poster) : m_poster(std::move(poster)) {
    if (!m_poster) {
        m_poster = [](const std::string& name, uint64_t options) {
            ns::NSDistributedNotificationCenter::defaultCenter().postNotificationName(name, std::nullopt, std::nullopt,
                                                                                      options);
        };
    }
}

void QNBPreferences::post(const char* name) { m_poster(name, kChangeNotificationOptions); }

void QNBPreferences::synchronize() {
    cf::CFPreferencesSynchronize(kApplicationID, kCFPreferencesCurrentUser, kCFPreferencesCurrentHost);
    cf::CFPreferencesAppSynchronize(kApplicationID);
}

void QNBPreferences::synchronizeWithNotification() {
    post(kPrefsWillChangeNotification);
    synchronize();
    post(kPrefsDidChangeNotification);
}

// ---- Getters

uint64_t QNBPreferences::currentState() {
    auto value = cf::CFPreferencesCopyAppValue(kCurrentState, kApplicationID);
    if (!value || !value->isNumber()) {
        refreshDomain();
        value = cf::CFPreferencesCopyAppValue(kCurrentState, kApplicationID);
    }
    if (!value || !value->isNumber()) {
        setCurrentState(0);
        return 0;
    }
    int32_t state = 0;
    if (!cf::CFNumberGetValue(*value, cf::kCFNumberSInt32Type, &state)) return 0;
    return state >= 0 && state <= 2 ? static_cast<uint64_t>(state) : 0;
}

cf::Value QNBPreferences::currentStateNumber() { return cf::Value(currentState()); }

bool QNBPreferences::showInMenuBar() { return QNBPreferencesGetBoolAppValue(kShowInMenuBar, true); }
bool QNBPreferences::autoMoveWindowsBackOption() { return QNBPreferencesGetBoolAppValue(kAutoMoveWindowsBackOption, false); }
bool QNBPreferences::presentationMode() { return QNBPreferencesGetBoolAppValue(kPresentationModeOption, false); }
bool QNBPreferences::enableTouchDisplay() { return QNBPreferencesGetBoolAppValue(kEnableTouchDisplayOption, true); }
bool QNBPreferences::enableKeyboardInput() { return QNBPreferencesGetBoolValue(kEnableKeyboardInputOption, true); }
bool QNBPreferences::retinaResolutionsEnabled() { return QNBPreferencesGetBoolValue(kEnableRetinaDisplayOption, false); }
bool QNBPreferences::startAtLogin() { return QNBPreferencesGetBoolValue(kStartAtLoginOption, true); }
bool QNBPreferences::suppressLocalClientHelpSheet() {
    return QNBPreferencesGetBoolValue(kSuppressLocalClientHelpSheet, false);
}
bool QNBPreferences::displayLocalClientWindow() { return QNBPreferencesGetBoolValue(kDisplayLocalClientWindow, false); }
bool QNBPreferences::firstRun() { return QNBPreferencesGetBoolValue(kFirstRun, true); }
bool QNBPreferences::enableHiDPIResolutions() { return QNBPreferencesGetBoolValue(kDisplayResolutionEnabled, false); }

bool QNBPreferences::debuggingDontSendKBEvents() {
    auto value = cf::CFPreferencesCopyAppValue(kDebuggingDontSendKBEvents, kApplicationID);
    return value && cf::CFBooleanGetValue(*value);
}

float QNBPreferences::stylusPressureSensitivity() {
    auto value = cf::CFPreferencesCopyAppValue(kStylusPressureSensitivity, kApplicationID);
    if (!value || !value->isNumber()) return 0.5f;
    float pressure = 0;
    cf::CFNumberGetValue(*value, cf::kCFNumberFloat32Type, &pressure);
    return pressure;
}

// A number under key read as a 64-bit integer; nothing when absent or not a number, which
// then reads as its default and is not written back.
std::optional<int64_t> QNBPreferences::integerValue(const std::string& key) {
    auto value = cf::CFPreferencesCopyAppValue(key, kApplicationID);
    if (!value || !value->isNumber()) return std::nullopt;
    int64_t number = 0;
    cf::CFNumberGetValue(*value, cf::kCFNumberSInt64Type, &number);
    return number;
}

uint64_t QNBPreferences::actionForButton(uint64_t button) {
    auto value = integerValue(buttonKey(kButtonAction, button));
    return value ? static_cast<uint64_t>(*value) : buttonDefaults(button).first;
}

uint64_t QNBPreferences::modifiersForButton(uint64_t button) {
    auto value = integerValue(buttonKey(kButtonModifiers, button));
    return value ? static_cast<uint64_t>(*value) : buttonDefaults(button).second;
}

uint16_t QNBPreferences::shortcutCharacterForButton(uint64_t button) {
    auto value = cf::CFPreferencesCopyAppValue(buttonKey(kButtonShortcutCharacter, button), kApplicationID);
    if (!value || !value->isNumber()) return 0;
    int32_t character = 0;
    cf::CFNumberGetValue(*value, cf::kCFNumberSInt32Type, &character);
    return static_cast<uint16_t>(character & 0xFFFF);
}

uint64_t QNBPreferences::shortcutModifiersForButton(uint64_t button) {
    return static_cast<uint64_t>(integerValue(buttonKey(kButtonShortcutModifiers, button)).value_or(0));
}

uint64_t QNBPreferences::shortcutKeyCodeForButton(uint64_t button) {
    return static_cast<uint64_t>(integerValue(buttonKey(kButtonShortcutKeyCode, button)).value_or(0));
}

// ---- Setters

void QNBPreferences::baseSetCurrentState(uint64_t state) {
    int32_t stored = state > 2 ? 0 : static_cast<int32_t>(state);
    writeNumber(kCurrentState, cf::kCFNumberSInt32Type, &stored);
}

void QNBPreferences::setCurrentState(uint64_t state) {
    baseSetCurrentState(state);
    synchronizeWithNotification();
}

void QNBPreferences::baseSetShowInMenuBar(bool value) { writeBool(kShowInMenuBar, value); }
void QNBPreferences::setShowInMenuBar(bool value) {
    baseSetShowInMenuBar(value);
    synchronizeWithNotification();
}

void QNBPreferences::baseSetAutoMoveWindowsBackOption(bool value) { writeBool(kAutoMoveWindowsBackOption, value); }
void QNBPreferences::setAutoMoveWindowsBackOption(bool value) {
    baseSetAutoMoveWindowsBackOption(value);
    synchronizeWithNotification();
}

// Automatic update checks cannot be switched off here: YES is stored whatever is asked.
void QNBPreferences::baseSetAutoUpdateOption(bool) { writeBool(kAutoUpdateOption, true); }
void QNBPreferences::setAutoUpdateOption(bool value) {
    baseSetAutoUpdateOption(value);
    synchronizeWithNotification();
}

// Presentation mode takes keyboard input and display touch away from the device, and gives
// them back when it ends. The keyboard write announces itself (see baseSetEnableKeyboardInput).
void QNBPreferences::baseSetPresentationMode(bool value) {
    writeBool(kPresentationModeOption, value);
    baseSetEnableKeyboardInput(!value);
    baseSetEnableTouchDisplay(!value);
}
void QNBPreferences::setPresentationMode(bool value) {
    baseSetPresentationMode(value);
    synchronizeWithNotification();
}

void QNBPreferences::baseSetEnableTouchDisplay(bool value) { writeBool(kEnableTouchDisplayOption, value); }
void QNBPreferences::setEnableTouchDisplay(bool value) {
    baseSetEnableTouchDisplay(value);
    synchronizeWithNotification();
}

// The screen server must learn of a keyboard change even from callers that only use the base
// setter, so this one flushes and announces on its own.
void QNBPreferences::baseSetEnableKeyboardInput(bool value) {
    writeBool(kEnableKeyboardInputOption, value);
    synchronizeWithNotification();
}
void QNBPreferences::setEnableKeyboardInput(bool value) {
    baseSetEnableKeyboardInput(value);
    synchronizeWithNotification();
}

void QNBPreferences::baseSetRetinaResolutionsEnabled(bool value) { writeBool(kEnableRetinaDisplayOption, value); }
void QNBPreferences::setRetinaResolutionsEnabled(bool value) {
    baseSetRetinaResolutionsEnabled(value);
    synchronizeWithNotification();
}

void QNBPreferences::baseSetStartAtLogin(bool value) { writeBool(kStartAtLoginOption, value); }
void QNBPreferences::setStartAtLogin(bool value) {
    baseSetStartAtLogin(value);
    synchronizeWithNotification();
}

void QNBPreferences::baseSetSuppressLocalClientHelpSheet(bool value) { writeBool(kSuppressLocalClientHelpSheet, value); }
void QNBPreferences::setSuppressLocalClientHelpSheet(bool value) {
    baseSetSuppressLocalClientHelpSheet(value);
    synchronizeWithNotification();
}

void QNBPreferences::baseSetDisplayLocalClientWindow(bool value) { writeBool(kDisplayLocalClientWindow, value); }
void QNBPreferences::setDisplayLocalClientWindow(bool value) {
    baseSetDisplayLocalClientWindow(value);
    synchronizeWithNotification();
}

void QNBPreferences::baseSetFirstRun(bool value) { writeBool(kFirstRun, value); }
void QNBPreferences::setFirstRun(bool value) {
    baseSetFirstRun(value);
    synchronizeWithNotification();
}

void QNBPreferences::baseSetEnableHiDPIResolutions(bool value) { writeBool(kDisplayResolutionEnabled, value); }
void QNBPreferences::setEnableHiDPIResolutions(bool value) {
    baseSetEnableHiDPIResolutions(value);
    synchronizeWithNotification();
}

void QNBPreferences::baseSetStylusPressureSensitivity(float value) {
    writeNumber(kStylusPressureSensitivity, cf::kCFNumberFloat32Type, &value);
}
void QNBPreferences::setStylusPressureSensitivity(float value) {
    baseSetStylusPressureSensitivity(value);
    synchronizeWithNotification();
}

void QNBPreferences::baseSetAction(uint64_t action, uint64_t button) {
    writeNumber(buttonKey(kButtonAction, button), cf::kCFNumberSInt64Type, &action);
}
void QNBPreferences::setAction(uint64_t action, uint64_t button) {
    baseSetAction(action, button);
    synchronizeWithNotification();
}

void QNBPreferences::baseSetModifiers(uint64_t modifiers, uint64_t button) {
    writeNumber(buttonKey(kButtonModifiers, button), cf::kCFNumberSInt64Type, &modifiers);
}
void QNBPreferences::setModifiers(uint64_t modifiers, uint64_t button) {
    baseSetModifiers(modifiers, button);
    synchronizeWithNotification();
}

void QNBPreferences::baseSetShortcutModifiers(uint64_t modifiers, uint64_t button) {
    writeNumber(buttonKey(kButtonShortcutModifiers, button), cf::kCFNumberSInt64Type, &modifiers);
}
void QNBPreferences::setShortcutModifiers(uint64_t modifiers, uint64_t button) {
    baseSetShortcutModifiers(modifiers, button);
    synchronizeWithNotification();
}

void QNBPreferences::baseSetShortcutKeyCode(uint64_t keyCode, uint64_t button) {
    writeNumber(buttonKey(kButtonShortcutKeyCode, button), cf::kCFNumberSInt64Type, &keyCode);
}
void QNBPreferences::setShortcutKeyCode(uint64_t keyCode, uint64_t button) {
    baseSetShortcutKeyCode(keyCode, button);
    synchronizeWithNotification();
}

void QNBPreferences::baseSetShortcutCharacter(uint16_t character, uint64_t button) {
    writeNumber(buttonKey(kButtonShortcutCharacter, button), cf::kCFNumberSInt16Type, &character);
}
void QNBPreferences::setShortcutCharacter(uint16_t character, uint64_t button) {
    baseSetShortcutCharacter(character, button);
    synchronizeWithNotification();
}

// ---- The whole domain

void QNBPreferences::setupDefaultPreferenceValues() {
    setAutoUpdateOption(autoUpdateOption());
    setEnableTouchDisplay(enableTouchDisplay());
    setEnableKeyboardInput(enableKeyboardInput());
    setRetinaResolutionsEnabled(retinaResolutionsEnabled());
    setStartAtLogin(startAtLogin());
    // After keyboard and touch, so both end as the negation of presentation mode.
    setPresentationMode(presentationMode());
    setDisplayLocalClientWindow(displayLocalClientWindow());
    setCurrentState(currentState());
    setShowInMenuBar(showInMenuBar());
    setAutoMoveWindowsBackOption(autoMoveWindowsBackOption());
}

void QNBPreferences::erasePreferences() {
    auto remove = [](const std::string& key) { cf::CFPreferencesSetAppValue(key, std::nullopt, kApplicationID); };
    for (const char* key : {kCurrentState, kCurrentVirtualScreenDeviceName, kShowInMenuBar, kAutoConnectOption,
                            kAutoMoveWindowsBackOption, kAutoUpdateOption, kEnableTouchDisplayOption,
                            kEnableKeyboardInputOption, kEnableRetinaDisplayOption, kStartAtLoginOption, kFirstRun,
                            kAutoConnectDevices, kOpenPrefsInSettingsPane, kLastOtherDeviceName,
                            kDebuggingDontSendKBEvents})
        remove(key);
    // Settings pages of earlier versions held eight buttons.
    for (uint64_t index = 0; index < 8; ++index) {
        for (const char* prefix : {kButtonOptions, kButtonAction, kButtonModifiers, kButtonShortcutCharacter,
                                   kButtonShortcutKeyCode, kButtonShortcutModifiers})
            remove(buttonKey(prefix, index));
    }
    for (const char* key :
         {kStylusPressureSensitivity, kPresentationModeOption, kSuppressLocalClientHelpSheet, kDisplayLocalClientWindow})
        remove(key);
    synchronize();
}

// ---- The window server's HiDPI setting

void QNBPreferences::synchronizeWindowServer() {
    cf::CFPreferencesSynchronize(kWindowServerApplicationID, cf::kCFPreferencesAnyUser, kCFPreferencesCurrentHost);
}

bool QNBPreferences::displayResolutionEnabled() {
    auto value = cf::CFPreferencesCopyValue(kDisplayResolutionEnabled, kWindowServerApplicationID,
                                            cf::kCFPreferencesAnyUser, kCFPreferencesCurrentHost);
    return value && cf::CFBooleanGetValue(*value);
}

void QNBPreferences::authenticatedSetEnableHiDPIResolutions(bool enable, bool withLogout) {
    // The tool reads "1" and a line feed as the request to log out afterwards.
    static const char kLogoutArgument[] = "1\n";
    const char* logoutArguments[] = {kLogoutArgument, nullptr};
    const char* toolName = enable ? kTSEDisplayResolutionsOnApplicationName : kTSEDisplayResolutionsOffApplicationName;
    auto path = ns::NSBundle::mainBundle()->pathForResource(toolName, "");
    std::optional<std::string> url;
    if (path) url = fileURLWithPath(*path, false);
    // Nothing to report here: the caller reads displayResolutionEnabled afterwards.
    authExecuteHelperWithToolURL(url, nullptr, withLogout ? logoutArguments : nullptr);
}

bool QNBPreferences::authExecuteHelperWithToolURL(const std::optional<std::string>& toolURL, platform::Error* error,
                                                  const char* const* arguments) {
    std::optional<std::string> path;
    if (toolURL) path = pathOfFileURL(*toolURL);
    if (!path) {
        // No tool: nothing to run, so the user is not asked for a password in vain.
        platform::log("Error: %d", security::errAuthorizationToolExecuteFailure);
        platform::setError(error, platform::NSOSStatusErrorDomain, security::errAuthorizationToolExecuteFailure);
        return false;
    }
    const security::AuthorizationFlags flags = security::kAuthorizationFlagInteractionAllowed |
                                               security::kAuthorizationFlagExtendRights |
                                               security::kAuthorizationFlagPreAuthorize;
    // The one right asked for: blessing a helper tool, which the password dialog names.
    security::AuthorizationItem right{kBlessHelperRight, 0, nullptr, 0};
    const security::AuthorizationRights rights{1, &right};
    security::AuthorizationRef authorization;
    security::OSStatus status = security::AuthorizationCreate(&rights, nullptr, flags, &authorization);
    if (status != security::errAuthorizationSuccess) {
        platform::log("Failed to create AuthorizationRef, return code %d", status);
        platform::setError(error, platform::NSOSStatusErrorDomain, status);
        return false;
    }
    FILE* pipe = nullptr;
    status = security::AuthorizationExecuteWithPrivileges(authorization, path->c_str(),
                                                          security::kAuthorizationFlagDefaults, arguments, &pipe);
    // The tool runs on its own; nobody reads what it says.
    if (pipe) std::fclose(pipe);
    security::AuthorizationFree(authorization, security::kAuthorizationFlagDefaults);
    if (status != security::errAuthorizationSuccess) {
        platform::log("Error: %d", status);
        platform::setError(error, platform::NSOSStatusErrorDomain, status);
        return false;
    }
    return true;
}

} // namespace foundation
