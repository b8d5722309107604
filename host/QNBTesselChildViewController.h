// The popover's exchangeable content: the get-the-app view, the device listing (a collection view
// in a scroll view), and the two driver views with the allow-drivers dialog.
#pragma once

#include "host/QNBCollectionScrollView.h"
#include "host/QNBInterfaceRequests.h"
#include "host/QNBSupportViews.h"

#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSCollectionView.h"
#include "platform/appkit/NSImageView.h"
#include "platform/appkit/NSScrollView.h"
#include "platform/appkit/NSTextField.h"
#include "platform/appkit/NSViewController.h"
#include "platform/appkit/NSWindow.h"
#include "platform/foundation/Id.h"

#include <optional>

#include <memory>
#include <string>

namespace host {

class QNBViewManager;

inline constexpr char kQNBTesselChildViewControllerNibName[] = "QNBTesselChildViewController";

class QNBTesselChildViewController final : public appkit::NSViewController {
  public:
    static constexpr char kSecurityPreferencePane[] = "/System/Library/PreferencePanes/Security.prefpane";

    explicit QNBTesselChildViewController(std::shared_ptr<const QNBInterfaceRequests> requests);

    static const appkit::NSActionTable& classActions();
    const appkit::NSActionTable& actionTable() const override { return classActions(); }

    void awakeFromNib() override;
    // The listing follows the view manager's array controller; the scroll view reports the row
    // under the mouse to the view manager.
    void createBindingsWithViewManager(QNBViewManager& viewManager);
    void postDisplayInitializationWithViewManager(QNBViewManager& viewManager) {
        createBindingsWithViewManager(viewManager);
    }
    void localizeChildViews() {}

    // The given view takes the place of the current one.
    void exchangeView(const std::shared_ptr<appkit::NSView>& view);
    void showGetTesselView();
    void showDisplayCollectionView();
    void showInstallDriversView();
    void showAllowDriversView();

    void configureViewForWindow();
    void formatTextField(const std::shared_ptr<appkit::NSTextField>& field, const std::string& text,
                         const std::string& boldText);

    // ---- Driver actions.
    void getInstallerRequest(appkit::NSActionTarget* sender);
    void openSecurityPrefs(appkit::NSActionTarget* sender);
    void displayAllowDriversDialog(appkit::NSActionTarget* sender);
    void disimissAllowDriversDialog(appkit::NSActionTarget* sender);
    bool holdsModalSession() const { return m_currentModalSession != nullptr; }
    // A list of the controller's own, made on first use; the listing shows the array
    // controller's objects instead, so nothing fills it.
    ns::IdArray& displayArray() {
        if (!m_displayArray) m_displayArray.emplace();
        return *m_displayArray;
    }

    // ---- Outlets.
    std::weak_ptr<appkit::NSImageView> getTesselImageView;
    std::weak_ptr<appkit::NSCollectionView> displayCollectionView;
    std::weak_ptr<appkit::NSTextField> installDriversMessageField, launchTesselField;
    std::shared_ptr<QNBGradientView> getTesselView;
    std::shared_ptr<appkit::NSView> installDriversView, allowDriversView;
    std::shared_ptr<QNBCollectionScrollView> collectionViewContainer;
    std::shared_ptr<appkit::NSWindow> allowDriversWindow;

  private:
    std::shared_ptr<const QNBInterfaceRequests> m_requests;
    appkit::NSModalSession m_currentModalSession;
    std::optional<ns::IdArray> m_displayArray;
};

} // namespace host
