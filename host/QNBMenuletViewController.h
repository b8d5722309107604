// The popover's content controller: its toolbar (help and settings buttons), the host's menu and
// its commands, and the listing's main view controller embedded in its content view.
#pragma once

#include "host/QNBConnectToOtherPanelController.h"
#include "host/QNBInterfaceRequests.h"
#include "host/QNBTesselViewController.h"

#include "platform/appkit/NSMenu.h"

#include <memory>
#include <string>

namespace host {

inline constexpr char kQNBMenuletViewControllerNibName[] = "QNBMenuletViewController";

class QNBMenuletViewController final : public appkit::NSViewController {
  public:
    static constexpr char kDisplayArrangementScript[] =
        "tell application \"System Preferences\"\n"
        "\treveal anchor \"displaysArrangementTab\" of pane id \"com.apple.preference.displays\"\n"
        "\tactivate\n"
        "end tell";

    // Loads the nib and embeds the main view controller's view.
    static std::shared_ptr<QNBMenuletViewController>
    make(std::shared_ptr<const QNBInterfaceRequests> requests);
    explicit QNBMenuletViewController(std::shared_ptr<const QNBInterfaceRequests> requests);

    static const ns::KeyTable& classKeys();
    const ns::KeyTable& keyTable() const override { return classKeys(); }
    static const appkit::NSActionTable& classActions();
    const appkit::NSActionTable& actionTable() const override { return classActions(); }

    // ---- The menu's titles (the main bundle's texts) and Disconnect All's enabling.
    std::string aboutTesselString() const;
    std::string preferencesString() const;
    std::string displayArrangementString() const;
    std::string connectToOtherString() const;
    std::string disconnectAllString() const;
    std::string checkForUpdatesString() const;
    std::string quitString() const;
    bool canDisconnectAll() const { return m_canDisconnectAll; }
    void setCanDisconnectAll(bool can) { m_canDisconnectAll = can; }

    // ---- Actions.
    void menuRequest(appkit::NSActionTarget* sender);
    void settingsRequest(appkit::NSActionTarget* sender);
    void helpRequest(appkit::NSActionTarget* sender);
    void displayArrangementsRequest(appkit::NSActionTarget* sender);
    void showConnectToOtherPanel(appkit::NSActionTarget* sender);
    void disconnectAllRequest(appkit::NSActionTarget* sender);
    void checkForUpdatesRequest(appkit::NSActionTarget* sender);
    void quitRequest(appkit::NSActionTarget* sender);

    // ---- Forwarded to the main view controller.
    void postDisplayInitializationWithViewManager(QNBViewManager& viewManager);
    void localizeChildViews();
    void loadArtworkForDisplayScreen();
    // Only while the main view still stands in the content view.
    void configureViewForWindow();
    void showGetTesselView();
    void showDisplayCollectionView();
    void showInstallDriversView();
    void showAllowDriversView();
    void hostWillDisconnectAll();
    void disconnectAllComplete();
    void closePanels(appkit::NSActionTarget* sender);

    // The connect-to-other panel's controller, made on first use.
    const std::shared_ptr<QNBConnectToOtherPanelController>& connectToOtherPanel();
    const std::shared_ptr<QNBTesselViewController>& tesselViewController() const {
        return m_tesselViewController;
    }

    // ---- Outlets.
    std::shared_ptr<appkit::NSView> contentView;
    std::weak_ptr<appkit::NSView> horizontalDivider, backgroundView;
    std::weak_ptr<appkit::NSButton> helpButton, prefsButton;
    std::shared_ptr<appkit::NSMenu> popupMenu;

  private:
    void initialize();

    std::shared_ptr<const QNBInterfaceRequests> m_requests;
    std::shared_ptr<QNBTesselViewController> m_tesselViewController;
    bool m_canDisconnectAll = false;
    std::weak_ptr<QNBWindowCentering> m_centering;
    std::shared_ptr<QNBConnectToOtherPanelController> m_connectToOtherPanel;
};

} // namespace host
