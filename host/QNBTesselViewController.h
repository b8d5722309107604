// The popover's main view: the title artwork and product label, the Connect to Other and
// Disconnect All buttons, and the content view that holds the child controller's view. Requests
// to the content travel on to the child controller.
#pragma once

#include "host/QNBConnectButton.h"
#include "host/QNBTesselChildViewController.h"

#include <memory>

namespace host {

inline constexpr char kQNBTesselViewControllerNibName[] = "QNBTesselViewController";

class QNBTesselViewController final : public appkit::NSViewController {
  public:
    static constexpr double kFadeDuration = 0.5;

    // Loads the nib and embeds the child controller's view.
    static std::shared_ptr<QNBTesselViewController>
    make(std::shared_ptr<const QNBInterfaceRequests> requests);
    explicit QNBTesselViewController(std::shared_ptr<const QNBInterfaceRequests> requests);

    static const appkit::NSActionTable& classActions();
    const appkit::NSActionTable& actionTable() const override { return classActions(); }

    void postDisplayInitializationWithViewManager(QNBViewManager& viewManager);
    void localizeChildViews();
    void loadArtworkForDisplayScreen();
    void configureViewForWindow();
    void showGetTesselView();
    void showDisplayCollectionView();
    void showInstallDriversView();
    void showAllowDriversView();

    void showDisconnectAllButton(bool show);
    void showDisconnectAllButton() { showDisconnectAllButton(true); }
    void hideDisconnectAllButton() { showDisconnectAllButton(false); }
    void assertDisconnecting(bool disconnecting);
    void hostWillDisconnectAll() { assertDisconnecting(true); }
    void disconnectAllComplete() { assertDisconnecting(false); }
    // Fades the control in or out unless it is there already or *guard is set.
    void fadeControl(const std::shared_ptr<appkit::NSControl>& control, bool show, bool* guard);
    void alternateQuitRequest(appkit::NSActionTarget* sender);

    const std::shared_ptr<QNBTesselChildViewController>& childViewController() const {
        return m_childViewController;
    }

    // ---- Outlets.
    std::shared_ptr<appkit::NSView> tesselView;
    std::weak_ptr<appkit::NSView> backgroundView, contentView;
    std::weak_ptr<appkit::NSImageView> titleView, tesselIconImageView;
    std::weak_ptr<appkit::NSButton> otherConnectButton;
    std::weak_ptr<QNBDisconnectAllButton> disconnectAllButton;
    std::weak_ptr<appkit::NSTextField> tesselLabel;

  private:
    void initialize();

    std::shared_ptr<const QNBInterfaceRequests> m_requests;
    std::shared_ptr<QNBTesselChildViewController> m_childViewController;
    bool m_disconnectAllAnimating = false;
};

} // namespace host
