#include "host/QNBInterfaceRequests.h"

#include "host/QNBAppDelegate.h"
#include "host/QNBPreferencesManager.h"
#include "host/TSEUpdater.h"

#include "platform/appkit/NSApplication.h"

namespace host {

namespace {

// The application delegate of the running program; null before it is made.
std::shared_ptr<QNBAppDelegate> appDelegate() {
    auto app = appkit::NSApp();
    return app ? std::dynamic_pointer_cast<QNBAppDelegate>(app->delegate()) : nullptr;
}

} // namespace

std::shared_ptr<const QNBInterfaceRequests> QNBInterfaceRequests::standard() {
    auto requests = std::make_shared<QNBInterfaceRequests>();
    requests->connectToVirtualScreenWith = [](const ModelPtr& model) {
        if (auto delegate = appDelegate()) delegate->connectToVirtualScreenWith(model);
    };
    requests->disconnectVirtualScreenWith = [](const ModelPtr& model) {
        if (auto delegate = appDelegate()) delegate->disconnectVirtualScreenWith(model);
    };
    requests->disconnectAllConnectedDisplays = [] {
        if (auto delegate = appDelegate()) delegate->disconnectAllConnectedDisplays();
    };
    requests->openHelpURL = [] {
        if (auto delegate = appDelegate()) delegate->openHelpURL();
    };
    requests->openGetInstallerURL = [] {
        if (auto delegate = appDelegate()) delegate->openGetInstallerURL();
    };
    requests->checkForUpdates = [] { TSEUpdater::attemptUpdate(); };
    requests->togglePreferencesPanelDisplay = [] {
        if (auto preferences = QNBPreferencesManager::sharedInstance())
            preferences->togglePreferencesPanelDisplay(nullptr);
    };
    requests->activatePreferencesPanels = [] {
        if (auto preferences = QNBPreferencesManager::sharedInstance()) preferences->activatePanels(nullptr);
    };
    requests->terminate = [] {
        if (auto app = appkit::NSApp()) app->terminate();
    };
    return requests;
}

} // namespace host
