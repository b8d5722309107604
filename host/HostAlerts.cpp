#include "host/HostAlerts.h"

#include "platform/appkit/NSAlert.h"
#include "platform/appkit/NSApplication.h"

namespace host {

int64_t NSAlertHostAlerts::runModal(const std::string& message, const std::string& informativeText,
                                    const std::vector<std::string>& buttons) {
    auto alert = appkit::NSAlert::make();
    alert->setMessageText(message);
    alert->setInformativeText(informativeText);
    for (const auto& title : buttons)
        alert->addButtonWithTitle(title); // none: the alert shows its own "OK"
    return alert->runModal();
}

void NSAlertHostAlerts::activateIgnoringOtherApps() {
    appkit::NSApp()->activateIgnoringOtherApps(true);
}

} // namespace host
