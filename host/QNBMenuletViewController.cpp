#include "host/QNBMenuletViewController.h"

#include "host/QNBLocalized.h"
#include "host/QNBSupportViews.h"
#include "host/QNBViewManager.h"

#include "platform/appkit/NSNib.h"
#include "platform/core/Log.h"
#include "platform/foundation/NSAppleScript.h"

namespace host {

std::shared_ptr<QNBMenuletViewController>
QNBMenuletViewController::make(std::shared_ptr<const QNBInterfaceRequests> requests) {
    auto controller = std::make_shared<QNBMenuletViewController>(std::move(requests));
    controller->initialize();
    return controller;
}

QNBMenuletViewController::QNBMenuletViewController(std::shared_ptr<const QNBInterfaceRequests> requests)
    : appkit::NSViewController(kQNBMenuletViewControllerNibName), m_requests(std::move(requests)) {}

const ns::KeyTable& QNBMenuletViewController::classKeys() {
    using M = QNBMenuletViewController;
    static const ns::KeyTable table =
        ns::KeyTable("QNBMenuletViewController", &appkit::NSViewController::classKeys())
            .property("aboutTesselString", &M::aboutTesselString)
            .property("preferencesString", &M::preferencesString)
            .property("displayArrangementString", &M::displayArrangementString)
            .property("connectToOtherString", &M::connectToOtherString)
            .property("disconnectAllString", &M::disconnectAllString)
            .property("checkForUpdatesString", &M::checkForUpdatesString)
            .property("quitString", &M::quitString)
            .property("canDisconnectAll", &M::canDisconnectAll, &M::setCanDisconnectAll);
    return table;
}

const appkit::NSActionTable& QNBMenuletViewController::classActions() {
    using M = QNBMenuletViewController;
    static const appkit::NSActionTable table =
        appkit::NSActionTable(&appkit::NSViewController::classActions())
            .action("menuRequest:", &M::menuRequest)
            .action("settingsRequest:", &M::settingsRequest)
            .action("helpRequest:", &M::helpRequest)
            .action("displayArrangementsRequest:", &M::displayArrangementsRequest)
            .action("showConnectToOtherPanel:", &M::showConnectToOtherPanel)
            .action("disconnectAllRequest:", &M::disconnectAllRequest)
            .action("checkForUpdatesRequest:", &M::checkForUpdatesRequest)
            .action("quitRequest:", &M::quitRequest)
            .action("closePanels:", &M::closePanels);
    return table;
}

std::string QNBMenuletViewController::aboutTesselString() const {
    return localizedText("About Tessel...");
}
std::string QNBMenuletViewController::preferencesString() const {
    return localizedText("Preferences...");
}
std::string QNBMenuletViewController::displayArrangementString() const {
    return localizedText("Display Arrangement...");
}
std::string QNBMenuletViewController::connectToOtherString() const {
    return localizedText("Connect To Other...");
}
std::string QNBMenuletViewController::disconnectAllString() const {
    return localizedText("Disconnect All");
}
std::string QNBMenuletViewController::checkForUpdatesString() const {
    return localizedText("Check For Updates...");
}
std::string QNBMenuletViewController::quitString() const {
    return localizedText("Quit");
}

void QNBMenuletViewController::initialize() {
    if (!view()) {
        platform::log("Error opening nib file: %@", kQNBMenuletViewControllerNibName);
        platform::log("Could not initialize view for popover");
        return;
    }
    m_tesselViewController = QNBTesselViewController::make(m_requests);
    auto tesselView = m_tesselViewController->view();
    if (tesselView && contentView) contentView->addSubview(tesselView);
    // The main view's two buttons ask this controller for the panel and for disconnecting all.
    auto self = std::dynamic_pointer_cast<appkit::NSActionTarget>(shared_from_this());
    if (auto other = m_tesselViewController->otherConnectButton.lock()) other->setTarget(self);
    if (auto all = m_tesselViewController->disconnectAllButton.lock()) all->setTarget(self);
}

// ---- Actions -------------------------------------------------------------------------------------

void QNBMenuletViewController::menuRequest(appkit::NSActionTarget* sender) {
    auto* view = dynamic_cast<appkit::NSView*>(sender);
    if (!popupMenu || !view) return;
    popupMenu->popUpMenuPositioningItem(popupMenu->itemAtIndex(0), cg::CGPointMake(0, 0),
                                        view->shared_from_this());
}

void QNBMenuletViewController::settingsRequest(appkit::NSActionTarget*) {
    if (m_requests) QNBInterfaceRequests::call(m_requests->togglePreferencesPanelDisplay);
}

void QNBMenuletViewController::helpRequest(appkit::NSActionTarget*) {
    if (m_requests) QNBInterfaceRequests::call(m_requests->openHelpURL);
}

void QNBMenuletViewController::displayArrangementsRequest(appkit::NSActionTarget*) {
    // A failing script changes nothing the user would need to hear about.
    ns::NSAppleScript script(kDisplayArrangementScript);
    script.executeAndReturnError(nullptr);
}

const std::shared_ptr<QNBConnectToOtherPanelController>& QNBMenuletViewController::connectToOtherPanel() {
    if (!m_connectToOtherPanel)
        m_connectToOtherPanel = std::make_shared<QNBConnectToOtherPanelController>(m_centering);
    return m_connectToOtherPanel;
}

void QNBMenuletViewController::showConnectToOtherPanel(appkit::NSActionTarget* sender) {
    connectToOtherPanel()->showWindow(sender);
}

void QNBMenuletViewController::disconnectAllRequest(appkit::NSActionTarget*) {
    platform::log("Disconnect all displays request");
    if (m_requests) QNBInterfaceRequests::call(m_requests->disconnectAllConnectedDisplays);
}

void QNBMenuletViewController::checkForUpdatesRequest(appkit::NSActionTarget*) {
    if (m_requests) QNBInterfaceRequests::call(m_requests->checkForUpdates);
}

void QNBMenuletViewController::quitRequest(appkit::NSActionTarget*) {
    if (m_requests) QNBInterfaceRequests::call(m_requests->terminate);
}

void QNBMenuletViewController::closePanels(appkit::NSActionTarget*) {
    if (m_connectToOtherPanel) m_connectToOtherPanel->close();
}

// ---- Forwarding ----------------------------------------------------------------------------------

void QNBMenuletViewController::postDisplayInitializationWithViewManager(QNBViewManager& viewManager) {
    m_centering = std::dynamic_pointer_cast<QNBWindowCentering>(viewManager.shared_from_this());
    if (m_tesselViewController) m_tesselViewController->postDisplayInitializationWithViewManager(viewManager);
}

void QNBMenuletViewController::localizeChildViews() {
    if (m_tesselViewController) m_tesselViewController->localizeChildViews();
}

void QNBMenuletViewController::loadArtworkForDisplayScreen() {
    if (m_tesselViewController) m_tesselViewController->loadArtworkForDisplayScreen();
}

void QNBMenuletViewController::configureViewForWindow() {
    if (!m_tesselViewController) return;
    auto tesselView = m_tesselViewController->view();
    if (tesselView && contentView && tesselView->superview() == contentView)
        m_tesselViewController->configureViewForWindow();
}

void QNBMenuletViewController::showGetTesselView() {
    if (m_tesselViewController) m_tesselViewController->showGetTesselView();
}

void QNBMenuletViewController::showDisplayCollectionView() {
    if (m_tesselViewController) m_tesselViewController->showDisplayCollectionView();
}

void QNBMenuletViewController::showInstallDriversView() {
    if (m_tesselViewController) m_tesselViewController->showInstallDriversView();
}

void QNBMenuletViewController::showAllowDriversView() {
    if (m_tesselViewController) m_tesselViewController->showAllowDriversView();
}

void QNBMenuletViewController::hostWillDisconnectAll() {
    if (m_tesselViewController) m_tesselViewController->hostWillDisconnectAll();
}

void QNBMenuletViewController::disconnectAllComplete() {
    if (m_tesselViewController) m_tesselViewController->disconnectAllComplete();
}

// ---- The nib -------------------------------------------------------------------------------------

namespace {

const appkit::NSNibRegistrar menuletNib(kQNBMenuletViewControllerNibName, [](appkit::NSNib& nib) {
    auto* owner = nib.owner<QNBMenuletViewController>();
    if (!owner) return false;
    auto target = nib.ownerTarget();
    auto ownerObject = std::static_pointer_cast<ns::NSObject>(owner->shared_from_this());
    auto root = nib.make<appkit::NSView>(cg::CGRectMake(0, 0, 320, 400));
    auto background = nib.make<QNBBackgroundView>(cg::CGRectMake(0, 0, 320, 400));
    auto divider = nib.make<appkit::NSView>(cg::CGRectMake(0, 358, 320, 1));
    auto help = nib.make<appkit::NSButton>(cg::CGRectMake(8, 368, 24, 24));
    help->setTitle("?");
    help->setTarget(target);
    help->setAction("helpRequest:");
    auto prefs = nib.make<appkit::NSButton>(cg::CGRectMake(288, 368, 24, 24));
    prefs->setTitle("");
    prefs->setImage(appkit::NSImage::imageNamed(appkit::NSImageNameActionTemplate)); // a gear
    prefs->setTarget(target);
    prefs->setAction("menuRequest:");
    auto content = nib.make<appkit::NSView>(cg::CGRectMake(0, 0, 320, 358));
    for (const auto& view :
         std::vector<std::shared_ptr<appkit::NSView>>{background, divider, help, prefs, content})
        root->addSubview(view);

    auto menu = appkit::NSMenu::make();
    struct Entry {
        const char* titleKey;
        const char* action;
        bool toOwner;
    };
    static constexpr Entry entries[] = {
        {"aboutTesselString", "orderFrontStandardAboutPanel:", false},
        {"preferencesString", "settingsRequest:", true},
        {"displayArrangementString", "displayArrangementsRequest:", true},
        {"connectToOtherString", "showConnectToOtherPanel:", true},
        {"disconnectAllString", "disconnectAllRequest:", true},
        {"checkForUpdatesString", "checkForUpdatesRequest:", true},
        {"quitString", "quitRequest:", true},
    };
    for (const Entry& entry : entries) {
        auto item = appkit::NSMenuItem::make({}, entry.action);
        if (entry.toOwner) item->setTarget(target);
        item->bind("title", ownerObject, entry.titleKey);
        if (std::string_view(entry.action) == "disconnectAllRequest:")
            item->bind("enabled", ownerObject, "canDisconnectAll");
        menu->addItem(item);
    }

    nib.outlet("contentView", owner->contentView, content);
    nib.outlet("horizontalDivider", owner->horizontalDivider, divider);
    nib.outlet("backgroundView", owner->backgroundView, background);
    nib.outlet("helpButton", owner->helpButton, help);
    nib.outlet("prefsButton", owner->prefsButton, prefs);
    owner->popupMenu = menu;
    owner->setView(root);
    return true;
});

} // namespace

} // namespace host
