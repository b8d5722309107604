// The host's face: the status item, the popover with the device listing, and the sorted array
// controller through which the listing sees the display models. The rest of the host reaches the
// interface through it. It keeps the program's log lines of what the popover shows
// ("view manager: <operation>" and "listing: ...").
#pragma once

#include "host/QNBCollectionScrollView.h"
#include "host/QNBConnectToOtherPanelController.h"
#include "host/QNBInterfaceRequests.h"
#include "host/QNBViewManagerInterface.h"

#include "platform/appkit/NSArrayController.h"
#include "platform/appkit/NSCollectionView.h"
#include "platform/appkit/NSPopover.h"
#include "platform/appkit/NSScrollView.h"
#include "platform/appkit/NSStatusBar.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/NSRange.h"

#include <cstdint>
#include <memory>

namespace host {

class QNBDisplayModelManager;
class QNBHeadlessViewManager;
class QNBMenuletViewController;
class QNBTesselCollectionViewItem;

enum QNBAppState : int64_t {
    QNBAppStateNormal = 1,
    QNBAppStateError = 2,
};

class QNBViewManager final : public QNBViewManagerInterface,
                             public QNBCollectionScrollViewDelegateProtocol,
                             public QNBWindowCentering,
                             public ns::NSObject,
                             public appkit::NSActionTarget {
  public:
    static constexpr char kStatusBarImageName[] = "TesselHost_StatusBar";
    static constexpr char kErrorImageName[] = "TSE_Error.tiff";

    // The program's, over the shared display-model manager, made on first use.
    static std::shared_ptr<QNBViewManager> sharedInstance();
    // A view manager following the models' list, with its status item and popover.
    static std::shared_ptr<QNBViewManager> create(const std::shared_ptr<QNBDisplayModelManager>& models,
                                                  std::shared_ptr<const QNBInterfaceRequests> requests);
    QNBViewManager(std::shared_ptr<QNBDisplayModelManager> models,
                   std::shared_ptr<const QNBInterfaceRequests> requests);
    ~QNBViewManager() override;

    static const appkit::NSActionTable& classActions();
    const appkit::NSActionTable& actionTable() const override { return classActions(); }

    // ---- What the rest of the host asks.
    void showAllowDriversView() override;
    void showInstallDriversView() override;
    void activateMenuletPopover() override;
    void closeMenuletPopover() override;
    void removeStatusItem() override;
    void rearrangeDisplayArray() override;
    void updateListingStateForDisplayModel(foundation::QNBDisplayModel& model) override;
    void assertConnectingStateForDisplayModel(foundation::QNBDisplayModel& model) override;
    void hostWillDisconnectAll() override;
    void disconnectAllComplete() override;

    // ---- Status item and popover.
    int64_t currentAppState() const { return m_currentAppState; }
    void setCurrentAppState(int64_t state);
    void menuletClicked(appkit::NSActionTarget* sender);
    void showPopoverWithAnchorView(const std::shared_ptr<appkit::NSView>& anchor, bool activate);
    void showPopover();
    const std::shared_ptr<appkit::NSStatusItem>& statusItem() const { return m_statusItem; }
    const std::shared_ptr<appkit::NSPopover>& menuletPopover() const { return m_menuletPopover; }
    const std::shared_ptr<QNBMenuletViewController>& menuletViewController() const {
        return m_menuletViewController;
    }

    // ---- The listing.
    const std::shared_ptr<appkit::NSArrayController>& displayArrayController() const {
        return m_displayArrayController;
    }
    std::shared_ptr<QNBTesselCollectionViewItem>
    collectionViewItemForDisplayModel(const foundation::QNBDisplayModel& model) const;
    std::shared_ptr<appkit::NSCollectionView> displayCollectionView() const;
    std::shared_ptr<appkit::NSScrollView> displayScrollView() const { return nullptr; }
    void showGetTesselView();
    void showDisplayCollectionView();
    bool showInstallDrivers() const { return m_showInstallDrivers; }
    void localizeChildViews();
    void replaceDisplayArrayObjects(const ns::IdArray& objects);
    void replaceArrangedObjects(const ns::IdArray& objects, appkit::NSArrayController& controller);
    void removeArrangedObjectsFromArrayController(appkit::NSArrayController& controller);
    void frameDidChangeNotification() {}

    // Where a window of that size stands centred on the popover.
    cg::CGPoint centeringPointForWindowSize(cg::CGSize size) override;

    // ---- The row under the mouse (from the listing's scroll view).
    void focusForCollectionViewItemIndex(uint64_t index) override { m_currentFocusItemIndex = index; }
    void focusEnded() override { m_currentFocusItemIndex = ns::NSNotFound; }
    ns::NSUInteger currentFocusItemIndex() const { return m_currentFocusItemIndex; }

    void observeValueForKeyPath(const std::string& keyPath, ns::NSObject* object,
                                const ns::NSKeyValueChangeInfo& change, void* context) override;

  private:
    void start();
    void createMenulet();
    void createPopover();
    void updateDisconnectAllEnabling();
    void scrollListingToTop();

    std::weak_ptr<QNBDisplayModelManager> m_models;
    std::shared_ptr<const QNBInterfaceRequests> m_requests;
    std::shared_ptr<QNBHeadlessViewManager> m_log;
    std::shared_ptr<QNBMenuletViewController> m_menuletViewController;
    std::shared_ptr<appkit::NSStatusItem> m_statusItem;
    std::shared_ptr<appkit::NSPopover> m_menuletPopover;
    int64_t m_currentAppState = 0;
    std::shared_ptr<appkit::NSArrayController> m_displayArrayController;
    ns::NSUInteger m_currentFocusItemIndex = ns::NSNotFound;
    bool m_showInstallDrivers = false;
};

} // namespace host
