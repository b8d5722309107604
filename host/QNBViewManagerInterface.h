// What the host's start-up, notifications and display-model list ask of the view manager (the
// status item, popover, device listing and driver views). The program's is the headless view
// manager; the interface's own view manager takes its place when it exists.
#pragma once

namespace foundation {
class QNBDisplayModel;
} // namespace foundation

namespace host {

class QNBViewManagerInterface {
  public:
    virtual ~QNBViewManagerInterface() = default;

    // Driver problems found at start-up.
    virtual void showAllowDriversView() = 0;
    virtual void showInstallDriversView() = 0;
    // Application activation and quitting.
    virtual void activateMenuletPopover() = 0;
    virtual void closeMenuletPopover() = 0;
    virtual void removeStatusItem() = 0;
    // The device listing.
    virtual void rearrangeDisplayArray() = 0;
    virtual void updateListingStateForDisplayModel(foundation::QNBDisplayModel& model) = 0;
    virtual void assertConnectingStateForDisplayModel(foundation::QNBDisplayModel& model) = 0;
    // Disconnect-all: begun, and every member's disconnection seen through.
    virtual void hostWillDisconnectAll() = 0;
    virtual void disconnectAllComplete() = 0;
};

} // namespace host
