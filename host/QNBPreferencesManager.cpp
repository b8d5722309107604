#include "host/QNBPreferencesManager.h"

#include "host/QNBScrivetPreferencesViewController.h"
#include "host/QNBTesselPreferencesViewController.h"
#include "host/QNBTesselPreferencesWindow.h"

#include "foundation/QNBPreferences.h"

#include "platform/appkit/NSNib.h"
#include "platform/core/Log.h"
#include "platform/foundation/NSBundle.h"

#include <strings.h>

namespace host {

namespace {

constexpr uint64_t kGeneralIndex = 0;
constexpr uint64_t kStylusIndex = 1;
constexpr int64_t kAlertPanelAnimationBehavior = 5;

const appkit::NSNibRegistrar preferencesWindowNib(kQNBTesselPreferencesWindowNibName,
                                                  buildQNBTesselPreferencesWindow);

bool equalIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

} // namespace

std::string QNBLocalizedString(const std::string& key) {
    auto bundle = ns::NSBundle::mainBundle();
    return bundle ? bundle->localizedStringForKey(key, "", std::nullopt) : key;
}

std::shared_ptr<QNBPreferencesManager> QNBPreferencesManager::sharedInstance() {
    static const std::shared_ptr<QNBPreferencesManager> shared =
        make(foundation::QNBPreferences::sharedAppPrefs());
    return shared;
}

std::shared_ptr<QNBPreferencesManager> QNBPreferencesManager::make(foundation::QNBPreferences& preferences) {
    auto manager = std::make_shared<QNBPreferencesManager>(preferences);
    // The nib's objects hold the manager weakly as their target, so it loads once it is shared.
    manager->loadPanel();
    return manager;
}

QNBPreferencesManager::QNBPreferencesManager(foundation::QNBPreferences& preferences)
    : NSWindowController(kQNBTesselPreferencesWindowNibName), m_preferences(preferences) {}

QNBPreferencesManager::~QNBPreferencesManager() = default;

const appkit::NSActionTable& QNBPreferencesManager::classActions() {
    using M = QNBPreferencesManager;
    static const appkit::NSActionTable table =
        appkit::NSActionTable(&appkit::NSActionTarget::classActions())
            .action("togglePreferencesPanelDisplay:", &M::togglePreferencesPanelDisplay)
            .action("displayPreferencesPanel:", &M::displayPreferencesPanel)
            .action("closePreferencesPanel:", &M::closePreferencesPanel)
            .action("closePanels:", &M::closePanels)
            .action("activatePanels:", &M::activatePanels)
            .action("toolbarItemPressed:", &M::toolbarItemPressed);
    return table;
}

void QNBPreferencesManager::loadPanel() {
    if (!appkit::NSNib::loadNibNamed(kQNBTesselPreferencesWindowNibName, this)) {
        platform::log("Error opening nib file: %@", std::string(kQNBTesselPreferencesWindowNibName));
        return;
    }
    if (!preferencesPanel) return;
    setWindow(preferencesPanel);
    preferencesPanel->setTitle(QNBLocalizedString("Preferences"));
    preferencesPanel->setHidesOnDeactivate(false);
    preferencesPanel->setAnimationBehavior(kAlertPanelAnimationBehavior);
    preferencesPanel->setLevel(appkit::NSModalPanelWindowLevel);
    if (tesselPreferencesItem) tesselPreferencesItem->setLabel(QNBLocalizedString("General"));
    if (scrivetPreferencesItem) scrivetPreferencesItem->setLabel(QNBLocalizedString("Stylus"));
    setSelectedPreferenceItemIndex(kGeneralIndex);
}

// ---- Showing the panel.

void QNBPreferencesManager::togglePreferencesPanelDisplay(appkit::NSActionTarget* sender) {
    if (!preferencesPanel) return;
    if (preferencesPanel->isVisible())
        closePreferencesPanel(sender);
    else
        displayPreferencesPanel(sender);
}

void QNBPreferencesManager::displayPreferencesPanel(appkit::NSActionTarget*) {
    if (!preferencesPanel) return;
    preferencesPanel->center();
    preferencesPanel->makeKeyAndOrderFront();
}

void QNBPreferencesManager::closePreferencesPanel(appkit::NSActionTarget*) {
    if (preferencesPanel) preferencesPanel->close();
}

void QNBPreferencesManager::closePanels(appkit::NSActionTarget* sender) {
    closePreferencesPanel(sender);
}

void QNBPreferencesManager::activatePanels(appkit::NSActionTarget*) {
    if (preferencesPanel && preferencesPanel->isVisible()) preferencesPanel->orderFront();
}

// ---- Panes.

void QNBPreferencesManager::setSelectedPreferenceItemIndex(uint64_t index) {
    // Only two panes exist: any other index shows, and is stored as, General.
    if (index > kStylusIndex) index = kGeneralIndex;
    if (!preferencesPanel) return;
    auto content = preferencesPanel->contentView();
    if (!content) return;
    if (index == m_selectedPreferenceItemIndex && !content->subviews().empty()) return;

    m_selectedPreferenceItemIndex = index;
    const auto shown = content->subviews();
    for (const auto& view : shown)
        view->removeFromSuperview();

    std::shared_ptr<appkit::NSView> view;
    if (index == kStylusIndex) {
        if (scrivetPreferencesViewController) view = scrivetPreferencesViewController->view();
    } else if (tesselPreferencesViewController) {
        view = tesselPreferencesViewController->view();
    }
    if (preferencesToolbar && index < preferencesToolbar->items().size())
        preferencesToolbar->setSelectedItemIdentifier(preferencesToolbar->items()[index]->itemIdentifier());
    if (!view) return;
    resizeWindowForContentSize(view->frame().size);
    content->addSubview(view);
}

void QNBPreferencesManager::toolbarItemPressed(appkit::NSToolbarItem* sender) {
    const bool stylus = sender && scrivetPreferencesItem && sender == scrivetPreferencesItem.get();
    setSelectedPreferenceItemIndex(stylus ? kStylusIndex : kGeneralIndex);
}

void QNBPreferencesManager::resizeWindowForContentSize(cg::CGSize size) {
    if (!preferencesPanel) return;
    const cg::CGRect content = preferencesPanel->contentRectForFrameRect(preferencesPanel->frame());
    const cg::CGRect resized = cg::CGRectMake(
        content.origin.x, content.origin.y + content.size.height - size.height, size.width, size.height);
    // Frames apply at once here; a visible panel would animate to the same end.
    preferencesPanel->setFrame(preferencesPanel->frameRectForContentRect(resized), true);
}

// ---- Toolbar delegate.

std::vector<std::string> QNBPreferencesManager::itemIdentifiers(const appkit::NSToolbar& toolbar) const {
    if (&toolbar != preferencesToolbar.get() || !tesselPreferencesItem || !scrivetPreferencesItem) return {};
    return {tesselPreferencesItem->itemIdentifier(), scrivetPreferencesItem->itemIdentifier()};
}

std::vector<std::string> QNBPreferencesManager::toolbarAllowedItemIdentifiers(appkit::NSToolbar& toolbar) {
    return itemIdentifiers(toolbar);
}

std::vector<std::string> QNBPreferencesManager::toolbarDefaultItemIdentifiers(appkit::NSToolbar& toolbar) {
    return itemIdentifiers(toolbar);
}

std::vector<std::string> QNBPreferencesManager::toolbarSelectableItemIdentifiers(appkit::NSToolbar& toolbar) {
    return itemIdentifiers(toolbar);
}

std::shared_ptr<appkit::NSToolbarItem>
QNBPreferencesManager::toolbarItemForItemIdentifier(appkit::NSToolbar& toolbar, const std::string& identifier,
                                                    bool) {
    if (&toolbar != preferencesToolbar.get()) return nullptr;
    for (const auto& item : {tesselPreferencesItem, scrivetPreferencesItem})
        if (item && equalIgnoringCase(item->itemIdentifier(), identifier)) return item;
    return nullptr;
}

} // namespace host
