// The General pane of the preferences window: switches bound to the shared preferences, so each
// change lands in the shared domain and reaches the screen server through the preference-change
// notifications. Retina and HiDPI are coupled and store through their actions: turning HiDPI on
// first asks whether to log out, and nothing is announced before that answer.
#pragma once

#include "platform/appkit/NSButton.h"
#include "platform/appkit/NSTextField.h"
#include "platform/appkit/NSViewController.h"

#include <memory>
#include <optional>
#include <string>

namespace foundation {
class QNBPreferences;
}

namespace host {

inline constexpr double kQNBGeneralPaneWidth = 480;
inline constexpr double kQNBGeneralPaneHeight = 320;

class QNBTesselPreferencesViewController : public appkit::NSViewController {
  public:
    explicit QNBTesselPreferencesViewController(foundation::QNBPreferences& preferences);

    static const appkit::NSActionTable& classActions();
    const appkit::NSActionTable& actionTable() const override { return classActions(); }

    // The pane's view comes with the preferences window's nib: its start runs when that wakes.
    void awakeFromNib() override;
    // The switches bound, the defaults stored, the version label set.
    void doInitializations();
    // Titles and labels in the user's language.
    void localizeChildViews();
    // "v<short version> <build>", or nothing when the bundle lacks either.
    static std::optional<std::string> versionText();

    bool switchStateForButton(const appkit::NSButton* button) const;

    // ---- Actions the nib wires.
    void useRetinaSwitchClicked(appkit::NSButton* sender);
    void useHiDPISwitchClicked(appkit::NSActionTarget* sender);
    void checkForUpdatesSwitchClicked(appkit::NSActionTarget* sender);
    void checkForUpdatesNow(appkit::NSActionTarget* sender);

    // ---- Outlets.
    std::weak_ptr<appkit::NSButton> presentationModeSwitch;
    std::weak_ptr<appkit::NSTextField> presentationModeLabel;
    std::weak_ptr<appkit::NSButton> useRetinaSwitch;
    std::weak_ptr<appkit::NSTextField> useRetinaLabel;
    std::weak_ptr<appkit::NSButton> useHiDPISwitch;
    std::weak_ptr<appkit::NSTextField> useHiDPILabel;
    std::weak_ptr<appkit::NSButton> startAtLoginSwitch;
    std::weak_ptr<appkit::NSTextField> startAtLoginLabel;
    std::weak_ptr<appkit::NSButton> localClientWindowSwitch;
    std::weak_ptr<appkit::NSTextField> localClientWindowLabel;
    std::weak_ptr<appkit::NSTextField> versionNumberLabel;
    std::weak_ptr<appkit::NSButton> checkForUpdatesSwitch;
    std::weak_ptr<appkit::NSButton> checkNowButton;

  private:
    // The log-out alert's answer for turning HiDPI on; restores Retina as it was on Cancel.
    void askForLogout(bool retinaBefore);

    foundation::QNBPreferences& m_preferences;
};

} // namespace host
