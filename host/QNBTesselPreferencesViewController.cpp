#include "host/QNBTesselPreferencesViewController.h"

#include "host/QNBAppDelegate.h"
#include "host/QNBPreferencesManager.h"
#include "host/TSEUpdater.h"

#include "foundation/QNBPreferences.h"

#include "platform/appkit/NSAlert.h"
#include "platform/appkit/NSApplication.h"
#include "platform/core/Format.h"
#include "platform/foundation/NSBundle.h"

namespace host {

namespace {

using Pane = QNBTesselPreferencesViewController;

struct SwitchText {
    std::weak_ptr<appkit::NSButton> Pane::*button;
    std::weak_ptr<appkit::NSTextField> Pane::*label; // null: none
    const char* title;
    const char* labelText;
    const char* keyPath;
};

const SwitchText kSwitches[] = {
    {&Pane::presentationModeSwitch, &Pane::presentationModeLabel, "Presentation Mode",
     "Disables keyboard & touch input on the screen", "presentationMode"},
    {&Pane::useRetinaSwitch, &Pane::useRetinaLabel, "Use Retina resolutions",
     "Uses full Retina resolution for more screen space (when available)", "retinaResolutionsEnabled"},
    {&Pane::useHiDPISwitch, &Pane::useHiDPILabel, "Use HiDPI system resolution",
     "Presents Mac interface in sharper detail", "enableHiDPIResolutions"},
    {&Pane::localClientWindowSwitch, &Pane::localClientWindowLabel,
     "Show inactive displays in a local window", "Your display will be preserved while your device is asleep",
     "displayLocalClientWindow"},
    {&Pane::startAtLoginSwitch, &Pane::startAtLoginLabel, "Start Tessel at login",
     "Tessel Host will start automatically when you log in", "startAtLogin"},
    {&Pane::checkForUpdatesSwitch, nullptr, "Check for updates automatically", nullptr, "autoUpdateOption"},
};

void setState(const std::weak_ptr<appkit::NSButton>& button, bool on) {
    if (auto b = button.lock())
        b->setState(on ? appkit::NSControlStateValueOn : appkit::NSControlStateValueOff);
}

} // namespace

QNBTesselPreferencesViewController::QNBTesselPreferencesViewController(
    foundation::QNBPreferences& preferences)
    : m_preferences(preferences) {}

const appkit::NSActionTable& QNBTesselPreferencesViewController::classActions() {
    static const appkit::NSActionTable table =
        appkit::NSActionTable(&appkit::NSActionTarget::classActions())
            .action("useRetinaSwitchClicked:", &Pane::useRetinaSwitchClicked)
            .action("useHiDPISwitchClicked:", &Pane::useHiDPISwitchClicked)
            .action("checkForUpdatesSwitchClicked:", &Pane::checkForUpdatesSwitchClicked)
            .action("checkForUpdatesNow:", &Pane::checkForUpdatesNow);
    return table;
}

void QNBTesselPreferencesViewController::awakeFromNib() {
    doInitializations();
    localizeChildViews();
}

void QNBTesselPreferencesViewController::doInitializations() {
    // Bindings hold what they observe by a shared pointer; the process's preferences are one.
    if (std::shared_ptr<ns::NSObject> preferences = m_preferences.weak_from_this().lock())
        for (const SwitchText& s : kSwitches)
            if (auto button = (this->*s.button).lock()) button->bind("value", preferences, s.keyPath);
    m_preferences.setupDefaultPreferenceValues();
    if (auto version = versionText())
        if (auto label = versionNumberLabel.lock()) label->setStringValue(*version);
}

std::optional<std::string> QNBTesselPreferencesViewController::versionText() {
    auto bundle = ns::NSBundle::mainBundle();
    if (!bundle) return std::nullopt;
    auto shortVersion = bundle->objectForInfoDictionaryKey("CFBundleShortVersionString");
    auto build = bundle->objectForInfoDictionaryKey("CFBundleVersion");
    if (!shortVersion || !shortVersion->asString() || !build || !build->asString()) return std::nullopt;
    return platform::format("v%@ %@", *shortVersion->asString(), *build->asString());
}

void QNBTesselPreferencesViewController::localizeChildViews() {
    for (const SwitchText& s : kSwitches) {
        if (auto button = (this->*s.button).lock()) button->setTitle(QNBLocalizedString(s.title));
        if (s.label)
            if (auto label = (this->*s.label).lock()) label->setStringValue(QNBLocalizedString(s.labelText));
    }
    if (auto button = checkNowButton.lock()) button->setTitle(QNBLocalizedString("Check Now"));
}

bool QNBTesselPreferencesViewController::switchStateForButton(const appkit::NSButton* button) const {
    return button && button->state() == appkit::NSControlStateValueOn;
}

// ---- Retina and HiDPI. Both store through the base setters and announce once, at the end.

void QNBTesselPreferencesViewController::useRetinaSwitchClicked(appkit::NSButton* sender) {
    auto retina = useRetinaSwitch.lock();
    const bool on = switchStateForButton(retina ? retina.get() : sender);
    m_preferences.baseSetRetinaResolutionsEnabled(on);
    if (!on) {
        m_preferences.baseSetEnableHiDPIResolutions(false);
        setState(useHiDPISwitch, false);
    }
    m_preferences.synchronizeWithNotification();
}

void QNBTesselPreferencesViewController::useHiDPISwitchClicked(appkit::NSActionTarget* sender) {
    auto hidpi = useHiDPISwitch.lock();
    auto* senderButton = dynamic_cast<appkit::NSButton*>(sender);
    const bool on = switchStateForButton(hidpi ? hidpi.get() : senderButton);
    const bool retinaBefore = m_preferences.retinaResolutionsEnabled();
    m_preferences.baseSetEnableHiDPIResolutions(on);
    if (on) {
        m_preferences.baseSetRetinaResolutionsEnabled(true);
        setState(useRetinaSwitch, true);
    }
    if (on && senderButton) {
        // The tools change the window server's setting from another process: read it afresh.
        m_preferences.synchronizeWindowServer();
        if (!m_preferences.displayResolutionEnabled()) askForLogout(retinaBefore);
    }
    m_preferences.synchronizeWithNotification();
}

void QNBTesselPreferencesViewController::askForLogout(bool retinaBefore) {
    auto alert = appkit::NSAlert::alertWithMessageText(
        QNBLocalizedString("Logout required"), QNBLocalizedString("Log Out Now"),
        QNBLocalizedString("Cancel"), QNBLocalizedString("Don't Log Out"),
        QNBLocalizedString("Changing the HiDPI setting requires you to logout before taking effect."));
    switch (alert->runModal()) {
    case appkit::NSAlertDefaultReturn:
        m_preferences.authenticatedSetEnableHiDPIResolutions(true, true);
        break;
    case appkit::NSAlertOtherReturn:
        m_preferences.authenticatedSetEnableHiDPIResolutions(true, false);
        break;
    case appkit::NSAlertAlternateReturn:
        // Cancel takes the whole click back: the switch and both stored values as they were,
        // so the screen server is never told of a HiDPI choice the user withdrew.
        setState(useHiDPISwitch, false);
        m_preferences.baseSetEnableHiDPIResolutions(false);
        m_preferences.baseSetRetinaResolutionsEnabled(retinaBefore);
        setState(useRetinaSwitch, retinaBefore);
        break;
    default:
        break;
    }
}

// ---- Updates.

void QNBTesselPreferencesViewController::checkForUpdatesSwitchClicked(appkit::NSActionTarget* sender) {
    auto* button = dynamic_cast<appkit::NSButton*>(sender);
    if (!button) return;
    const bool on = switchStateForButton(button);
    m_preferences.setAutoUpdateOption(on);
    if (auto application = appkit::NSApp())
        if (auto delegate = std::dynamic_pointer_cast<QNBAppDelegate>(application->delegate()))
            delegate->setAutomaticallyChecksForUpdates(on);
}

void QNBTesselPreferencesViewController::checkForUpdatesNow(appkit::NSActionTarget*) {
    if (auto updater = TSEUpdater::updater()) updater->checkForUpdates();
}

} // namespace host
