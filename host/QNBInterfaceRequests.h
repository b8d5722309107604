// What the host's interface asks of the rest of the program: the application delegate's
// connect and disconnect requests, its web pages, the updater and the preferences window. The
// program's are the live objects; tests record the calls.
#pragma once

#include <functional>
#include <memory>

namespace foundation {
class QNBDisplayModel;
} // namespace foundation

namespace host {

struct QNBInterfaceRequests {
    using ModelPtr = std::shared_ptr<foundation::QNBDisplayModel>;

    std::function<void(const ModelPtr& model)> connectToVirtualScreenWith;
    std::function<void(const ModelPtr& model)> disconnectVirtualScreenWith;
    std::function<void()> disconnectAllConnectedDisplays;
    std::function<void()> openHelpURL;
    std::function<void()> openGetInstallerURL;
    std::function<void()> checkForUpdates;
    std::function<void()> terminate;
    // The preferences window: shown or hidden by the menu, its panels brought back when the
    // host becomes active.
    std::function<void()> togglePreferencesPanelDisplay;
    std::function<void()> activatePreferencesPanels;

    // The program's: the application delegate of NSApp, TSEUpdater, the workspace.
    static std::shared_ptr<const QNBInterfaceRequests> standard();

    template <typename... Args, typename F> static void call(const F& f, Args&&... args) {
        if (f) f(std::forward<Args>(args)...);
    }
};

} // namespace host
