#include "host/QNBViewManager.h"

#include "host/QNBDisplayModelManager.h"
#include "host/QNBHeadlessViewManager.h"
#include "host/QNBHostImages.h"
#include "host/QNBMenuletViewController.h"
#include "host/QNBTesselCollectionViewItem.h"
#include "host/QNBViewManagerLayout.h"

#include "foundation/QNBDisplayModel.h"
#include "platform/appkit/NSScreen.h"
#include "platform/core/Log.h"

#include <mutex>

namespace host {

namespace {

constexpr char kArrangedObjects[] = "arrangedObjects";
// Popover windows join every space and stay out of window cycling.
constexpr uint64_t kPopoverCollectionBehavior = 9;

} // namespace

std::shared_ptr<QNBViewManager> QNBViewManager::sharedInstance() {
    static std::once_flag once;
    static std::shared_ptr<QNBViewManager> instance;
    std::call_once(once, [] {
        instance = create(QNBDisplayModelManager::sharedInstance(), QNBInterfaceRequests::standard());
    });
    return instance;
}

std::shared_ptr<QNBViewManager> QNBViewManager::create(const std::shared_ptr<QNBDisplayModelManager>& models,
                                                       std::shared_ptr<const QNBInterfaceRequests> requests) {
    auto manager = std::make_shared<QNBViewManager>(models, std::move(requests));
    manager->start();
    return manager;
}

QNBViewManager::QNBViewManager(std::shared_ptr<QNBDisplayModelManager> models,
                               std::shared_ptr<const QNBInterfaceRequests> requests)
    : m_models(models), m_requests(std::move(requests)) {}

QNBViewManager::~QNBViewManager() {
    if (m_displayArrayController) {
        m_displayArrayController->removeObserver(this, kArrangedObjects);
        m_displayArrayController->unbind("contentArray");
    }
}

const appkit::NSActionTable& QNBViewManager::classActions() {
    static const appkit::NSActionTable table =
        appkit::NSActionTable(&appkit::NSActionTarget::classActions())
            .action("menuletClicked:", &QNBViewManager::menuletClicked);
    return table;
}

void QNBViewManager::start() {
    auto models = m_models.lock();
    m_log = QNBHeadlessViewManager::create(models);
    m_displayArrayController = std::make_shared<appkit::NSArrayController>();
    if (models)
        m_displayArrayController->bind("contentArray", models,
                                       QNBDisplayModelManager::displayModelArrayKeyPath);
    m_displayArrayController->addObserver(shared_from_this(), kArrangedObjects,
                                          ns::NSKeyValueObservingOptionNew);
    // Connected devices first, then inactive, unavailable and idle ones, each group by name. An
    // order by the latest state change, newest first, is defined beside them and not installed:
    // rows would jump as a state flickers.
    m_displayArrayController->setSortDescriptors(
        {ns::NSSortDescriptor("stateTypeNumber", true), ns::NSSortDescriptor("displayName", true)});
    [[maybe_unused]] const ns::NSSortDescriptor byStateChange("stateChangeDate", false);
    m_displayArrayController->setAutomaticallyRearrangesObjects(true);

    createMenulet();
    createPopover();
    localizeChildViews();
    if (m_menuletViewController) m_menuletViewController->postDisplayInitializationWithViewManager(*this);
    m_currentFocusItemIndex = ns::NSNotFound;
    m_showInstallDrivers = false;
    if (m_menuletViewController)
        if (auto view = m_menuletViewController->view()) view->setNeedsDisplay(true);
}

// ---- Status item ---------------------------------------------------------------------------------

void QNBViewManager::createMenulet() {
    m_statusItem =
        appkit::NSStatusBar::systemStatusBar()->statusItemWithLength(appkit::NSVariableStatusItemLength);
    if (!m_statusItem) return;
    m_statusItem->setEnabled(true);
    m_statusItem->setTarget(std::dynamic_pointer_cast<appkit::NSActionTarget>(shared_from_this()));
    m_statusItem->setAction("menuletClicked:");
    setCurrentAppState(QNBAppStateNormal);
}

void QNBViewManager::setCurrentAppState(int64_t state) {
    m_currentAppState = state;
    if (!m_statusItem) return;
    if (state == 0 || state == QNBAppStateNormal) {
        auto image = hostImageNamed(kStatusBarImageName);
        image->setTemplate(true);
        m_statusItem->setImage(image);
    } else if (state == QNBAppStateError) {
        auto image = hostImageNamed(kErrorImageName);
        image->setTemplate(false);
        m_statusItem->setImage(image);
    }
}

void QNBViewManager::removeStatusItem() {
    if (m_statusItem) appkit::NSStatusBar::systemStatusBar()->removeStatusItem(m_statusItem);
}

// ---- Popover -------------------------------------------------------------------------------------

void QNBViewManager::createPopover() {
    if (m_menuletPopover) return;
    m_menuletPopover = std::make_shared<appkit::NSPopover>();
    m_menuletPopover->setBehavior(appkit::NSPopoverBehaviorApplicationDefined);
    m_menuletPopover->setAnimates(false);
    m_menuletViewController = QNBMenuletViewController::make(m_requests);
    if (!m_menuletViewController) {
        platform::log("Could not create menulet view controller");
        return;
    }
    // Without its nib the controller has no view (it said so): the popover keeps it, with no
    // content, and never shows.
    m_menuletPopover->setContentViewController(m_menuletViewController);
    if (auto view = m_menuletViewController->view()) m_menuletPopover->setContentSize(view->frame().size);
}

void QNBViewManager::menuletClicked(appkit::NSActionTarget* sender) {
    if (m_menuletPopover && m_menuletPopover->isShown()) {
        m_menuletPopover->close();
        return;
    }
    auto* view = dynamic_cast<appkit::NSView*>(sender);
    if (view) showPopoverWithAnchorView(view->shared_from_this(), true);
}

void QNBViewManager::showPopover() {
    if (m_statusItem && m_statusItem->button()) showPopoverWithAnchorView(m_statusItem->button(), true);
}

void QNBViewManager::showPopoverWithAnchorView(const std::shared_ptr<appkit::NSView>& anchor, bool activate) {
    createPopover();
    if (!anchor || !m_menuletPopover->contentViewController()) return;
    if (activate) appkit::NSApp()->activateIgnoringOtherApps(true);
    m_menuletPopover->showRelativeToRect(anchor->bounds(), anchor, appkit::NSMinYEdge);
    if (auto window = m_menuletPopover->window()) {
        window->setLevel(appkit::NSNormalWindowLevel);
        window->setCollectionBehavior(kPopoverCollectionBehavior);
    }
    m_menuletViewController->loadArtworkForDisplayScreen();
    m_menuletViewController->configureViewForWindow();
}

void QNBViewManager::activateMenuletPopover() {
    if (m_requests) QNBInterfaceRequests::call(m_requests->activatePreferencesPanels);
}

void QNBViewManager::closeMenuletPopover() {
    if (m_menuletPopover) m_menuletPopover->close();
    if (m_menuletViewController) m_menuletViewController->closePanels(nullptr);
}

cg::CGPoint QNBViewManager::centeringPointForWindowSize(cg::CGSize size) {
    auto main = appkit::NSScreen::mainScreen();
    const cg::CGRect mainVisible = main ? main->visibleFrame() : cg::CGRectZero;
    auto window = m_menuletPopover ? m_menuletPopover->window() : nullptr;
    if (!window) return host::centeringPointForWindowSize(size, std::nullopt, mainVisible, mainVisible);
    auto screen = window->screen();
    return host::centeringPointForWindowSize(size, window->frame(),
                                             screen ? screen->visibleFrame() : mainVisible, mainVisible);
}

// ---- Views ---------------------------------------------------------------------------------------

void QNBViewManager::showGetTesselView() {
    if (m_showInstallDrivers || !m_menuletViewController) return;
    m_menuletViewController->showGetTesselView();
}

void QNBViewManager::showDisplayCollectionView() {
    if (m_showInstallDrivers || !m_menuletViewController) return;
    m_menuletViewController->showDisplayCollectionView();
}

void QNBViewManager::showInstallDriversView() {
    m_showInstallDrivers = true;
    m_log->showInstallDriversView();
    if (m_menuletViewController) m_menuletViewController->showInstallDriversView();
}

void QNBViewManager::showAllowDriversView() {
    m_showInstallDrivers = true;
    m_log->showAllowDriversView();
    if (m_menuletViewController) m_menuletViewController->showAllowDriversView();
}

void QNBViewManager::localizeChildViews() {
    if (m_menuletViewController) m_menuletViewController->localizeChildViews();
}

void QNBViewManager::hostWillDisconnectAll() {
    m_log->hostWillDisconnectAll();
    if (m_menuletViewController) m_menuletViewController->hostWillDisconnectAll();
}

void QNBViewManager::disconnectAllComplete() {
    m_log->disconnectAllComplete();
    if (m_menuletViewController) m_menuletViewController->disconnectAllComplete();
}

// ---- The listing ---------------------------------------------------------------------------------

std::shared_ptr<appkit::NSCollectionView> QNBViewManager::displayCollectionView() const {
    if (!m_menuletViewController || !m_menuletViewController->tesselViewController()) return nullptr;
    const auto& child = m_menuletViewController->tesselViewController()->childViewController();
    return child ? child->displayCollectionView.lock() : nullptr;
}

std::shared_ptr<QNBTesselCollectionViewItem>
QNBViewManager::collectionViewItemForDisplayModel(const foundation::QNBDisplayModel& model) const {
    std::vector<std::shared_ptr<foundation::QNBDisplayModel>> arranged;
    for (const auto& object : m_displayArrayController->arrangedObjects())
        arranged.push_back(object.objectAs<foundation::QNBDisplayModel>());
    auto index = listingIndexForDisplayModel(arranged, model);
    auto collection = displayCollectionView();
    if (!index || !collection) return nullptr;
    return std::dynamic_pointer_cast<QNBTesselCollectionViewItem>(collection->itemAtIndex(*index));
}

void QNBViewManager::rearrangeDisplayArray() {
    m_displayArrayController->rearrangeObjects();
    m_log->rearrangeDisplayArray();
}

void QNBViewManager::updateListingStateForDisplayModel(foundation::QNBDisplayModel& model) {
    if (auto item = collectionViewItemForDisplayModel(model); item && item->connectButton)
        item->connectButton->setConnected(model.connected());
    m_log->updateListingStateForDisplayModel(model);
}

void QNBViewManager::assertConnectingStateForDisplayModel(foundation::QNBDisplayModel& model) {
    if (auto item = collectionViewItemForDisplayModel(model)) item->assertConnectingState();
    m_log->assertConnectingStateForDisplayModel(model);
}

void QNBViewManager::replaceDisplayArrayObjects(const ns::IdArray& objects) {
    replaceArrangedObjects(objects, *m_displayArrayController);
}

void QNBViewManager::replaceArrangedObjects(const ns::IdArray& objects,
                                            appkit::NSArrayController& controller) {
    removeArrangedObjectsFromArrayController(controller);
    if (!objects.empty()) controller.addObjects(objects);
}

void QNBViewManager::removeArrangedObjectsFromArrayController(appkit::NSArrayController& controller) {
    ns::NSIndexSet all;
    for (ns::NSUInteger i = 0; i < controller.arrangedObjects().size(); ++i)
        all.insert(i);
    controller.removeObjectsAtArrangedObjectIndexes(all);
}

void QNBViewManager::updateDisconnectAllEnabling() {
    bool any = false;
    for (const auto& object : m_displayArrayController->arrangedObjects())
        if (auto model = object.objectAs<foundation::QNBDisplayModel>(); model && model->isDisconnectable()) {
            any = true;
            break;
        }
    if (m_menuletViewController) m_menuletViewController->setValueForKey(ns::Id(any), "canDisconnectAll");
}

void QNBViewManager::scrollListingToTop() {
    if (auto collection = displayCollectionView())
        collection->scrollRectToVisible(collection->frameForItemAtIndex(0));
}

void QNBViewManager::observeValueForKeyPath(const std::string& keyPath, ns::NSObject* object,
                                            const ns::NSKeyValueChangeInfo&, void*) {
    if (object != m_displayArrayController.get() || keyPath != kArrangedObjects) return;
    if (!m_displayArrayController->arrangedObjects().empty()) {
        showDisplayCollectionView();
        scrollListingToTop();
    } else {
        showGetTesselView();
    }
    updateDisconnectAllEnabling();
}

} // namespace host
