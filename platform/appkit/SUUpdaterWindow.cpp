#include "platform/appkit/SUUpdaterWindow.h"

#include "platform/appkit/NSAlert.h"
#include "platform/core/Format.h"

namespace appkit {

std::pair<std::string, std::string> SUUpdaterWindowTexts(const ns::SUUpdateCheckResult& result) {
    const std::string& name = result.applicationName;
    if (!result.error.empty())
        return {"Update Error!",
                "An error occurred in retrieving update information. Please try again later."};
    if (result.update)
        return {platform::format("A new version of %@ is available!", name),
                platform::format("%@ %@ is now available\u2014you have %@.", name,
                                 result.update->displayVersionString, result.currentVersion)};
    return {"You\u2019re up-to-date!", platform::format("%@ %@ is currently the newest version available.",
                                                        name, result.currentVersion)};
}

void SUUpdaterInstallWindow() {
    ns::SUUpdater::setUserDriver([](const ns::SUUpdateCheckResult& result) {
        auto [message, informative] = SUUpdaterWindowTexts(result);
        auto alert = NSAlert::make();
        alert->setMessageText(message);
        alert->setInformativeText(informative);
        alert->setAlertStyle(result.error.empty() ? NSAlertStyleInformational : NSAlertStyleWarning);
        alert->addButtonWithTitle("OK");
        // A menu-bar program is not active when its menu is closed: the window comes to the front.
        if (auto app = NSApp()) app->activateIgnoringOtherApps(true);
        alert->runModal();
    });
}

} // namespace appkit
