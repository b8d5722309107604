// The program's view manager while the host has no interface of its own: it logs what it is
// asked to show ("view manager: <operation>" for the driver views and disconnect-all) and the
// device listing ("listing: "<name>" <state>; ..." or "listing: empty") whenever that text
// changes, so a person or a test reading the host's log sees the popover's content.
#pragma once

#include "host/QNBViewManagerInterface.h"

#include "platform/foundation/NSObject.h"

#include <memory>
#include <string>

namespace host {

class QNBDisplayModelManager;

class QNBHeadlessViewManager final : public QNBViewManagerInterface, public ns::NSObject {
  public:
    // Follows the manager's live list from the start.
    static std::shared_ptr<QNBHeadlessViewManager>
    create(const std::shared_ptr<QNBDisplayModelManager>& models);
    explicit QNBHeadlessViewManager(std::weak_ptr<QNBDisplayModelManager> models);
    ~QNBHeadlessViewManager() override;

    void showAllowDriversView() override;
    void showInstallDriversView() override;
    void activateMenuletPopover() override {}
    void closeMenuletPopover() override {}
    void removeStatusItem() override {}
    void rearrangeDisplayArray() override { logListingIfChanged(); }
    void updateListingStateForDisplayModel(foundation::QNBDisplayModel&) override { logListingIfChanged(); }
    void assertConnectingStateForDisplayModel(foundation::QNBDisplayModel&) override {
        logListingIfChanged();
    }
    void hostWillDisconnectAll() override;
    void disconnectAllComplete() override;

    void observeValueForKeyPath(const std::string& keyPath, ns::NSObject* object,
                                const ns::NSKeyValueChangeInfo& change, void* context) override;

    // "listing: ..." for the manager's live list now.
    std::string listingText() const;

  private:
    void logListingIfChanged();

    std::weak_ptr<QNBDisplayModelManager> m_models;
    std::string m_lastListing;
};

} // namespace host
