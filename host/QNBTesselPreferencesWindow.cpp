// The preferences window's nib: the panel, the toolbar and the General pane. The toolbar lies over
// the top of the content area, so each pane keeps its controls below it.
#include "host/QNBTesselPreferencesWindow.h"

#include "host/QNBPreferencesManager.h"
#include "host/QNBScrivetPreferencesViewController.h"
#include "host/QNBTesselPreferencesViewController.h"

#include "platform/appkit/NSFont.h"

namespace host {

namespace {

using Pane = QNBTesselPreferencesViewController;

constexpr double kMargin = 40;
constexpr double kRowHeight = 42;
constexpr double kFirstRowY = 246;

std::shared_ptr<appkit::NSButton> makeSwitch(appkit::NSNib& nib, double y, const std::string& action,
                                             const std::shared_ptr<appkit::NSActionTarget>& target) {
    auto button = nib.make<appkit::NSButton>(cg::CGRectMake(kMargin, y, 320, 20));
    button->setButtonType(appkit::NSButtonTypeSwitch);
    if (!action.empty()) {
        button->setTarget(target);
        button->setAction(action);
    }
    return button;
}

std::shared_ptr<appkit::NSTextField> makeLabel(appkit::NSNib& nib, cg::CGRect frame, double fontSize) {
    auto label = nib.make<appkit::NSTextField>(frame);
    label->setEditable(false);
    label->setBezeled(false);
    label->setDrawsBackground(false);
    label->setFont(appkit::NSFont::systemFontOfSize(fontSize));
    return label;
}

// One switch with its label below it; outlets named after the pane's members.
void addSwitchRow(appkit::NSNib& nib, const std::shared_ptr<appkit::NSView>& view,
                  const std::shared_ptr<Pane>& pane, double y, const char* switchOutlet,
                  std::weak_ptr<appkit::NSButton>& switchSlot, const char* labelOutlet,
                  std::weak_ptr<appkit::NSTextField>* labelSlot, const std::string& action) {
    auto button = makeSwitch(nib, y, action, pane);
    nib.outlet(switchOutlet, switchSlot, button);
    view->addSubview(button);
    if (!labelSlot) return;
    auto label = makeLabel(nib, cg::CGRectMake(kMargin + 18, y - 18, 400, 16), 11);
    nib.outlet(labelOutlet, *labelSlot, label);
    view->addSubview(label);
}

std::shared_ptr<appkit::NSView> buildGeneralPane(appkit::NSNib& nib, const std::shared_ptr<Pane>& pane) {
    auto view = nib.make<appkit::NSView>(cg::CGRectMake(0, 0, kQNBGeneralPaneWidth, kQNBGeneralPaneHeight));
    double y = kFirstRowY;
    addSwitchRow(nib, view, pane, y, "presentationModeSwitch", pane->presentationModeSwitch,
                 "presentationModeLabel", &pane->presentationModeLabel, {});
    y -= kRowHeight;
    addSwitchRow(nib, view, pane, y, "useRetinaSwitch", pane->useRetinaSwitch, "useRetinaLabel",
                 &pane->useRetinaLabel, "useRetinaSwitchClicked:");
    y -= kRowHeight;
    addSwitchRow(nib, view, pane, y, "useHiDPISwitch", pane->useHiDPISwitch, "useHiDPILabel",
                 &pane->useHiDPILabel, "useHiDPISwitchClicked:");
    y -= kRowHeight;
    addSwitchRow(nib, view, pane, y, "localClientWindowSwitch", pane->localClientWindowSwitch,
                 "localClientWindowLabel", &pane->localClientWindowLabel, {});
    y -= kRowHeight;
    addSwitchRow(nib, view, pane, y, "startAtLoginSwitch", pane->startAtLoginSwitch, "startAtLoginLabel",
                 &pane->startAtLoginLabel, {});
    y -= kRowHeight;
    addSwitchRow(nib, view, pane, y, "checkForUpdatesSwitch", pane->checkForUpdatesSwitch, {}, nullptr,
                 "checkForUpdatesSwitchClicked:");

    // Beside the switch's row, clear of it.
    auto checkNow = nib.make<appkit::NSButton>(cg::CGRectMake(kMargin + 324, y - 4, 100, 28));
    checkNow->setTarget(pane);
    checkNow->setAction("checkForUpdatesNow:");
    nib.outlet("checkNowButton", pane->checkNowButton, checkNow);
    view->addSubview(checkNow);

    auto version = makeLabel(nib, cg::CGRectMake(20, 8, 240, 16), 10);
    nib.outlet("versionNumberLabel", pane->versionNumberLabel, version);
    view->addSubview(version);
    pane->setView(view);
    return view;
}

std::shared_ptr<appkit::NSToolbarItem> makeItem(appkit::NSNib& nib, const char* identifier,
                                                const std::shared_ptr<appkit::NSActionTarget>& target) {
    auto item = nib.make<appkit::NSToolbarItem>(identifier);
    item->setTarget(target);
    item->setAction("toolbarItemPressed:");
    return item;
}

} // namespace

bool buildQNBTesselPreferencesWindow(appkit::NSNib& nib) {
    auto* owner = nib.owner<QNBPreferencesManager>();
    if (!owner) return false;
    auto target = nib.ownerTarget();
    auto manager = std::dynamic_pointer_cast<QNBPreferencesManager>(target);
    if (!manager) return false;

    auto panel =
        nib.make<QNBPreferencesPanel>(cg::CGRectMake(0, 0, kQNBGeneralPaneWidth, kQNBGeneralPaneHeight),
                                      appkit::NSWindowStyleMaskTitled | appkit::NSWindowStyleMaskClosable);
    nib.outlet("preferencesPanel", owner->preferencesPanel, panel);

    auto general = nib.make<QNBTesselPreferencesViewController>(owner->preferences());
    nib.outlet("tesselPreferencesViewController", owner->tesselPreferencesViewController, general);
    buildGeneralPane(nib, general);
    auto stylus = nib.make<QNBScrivetPreferencesViewController>(owner->preferences());
    nib.outlet("scrivetPreferencesViewController", owner->scrivetPreferencesViewController, stylus);
    buildScrivetPreferencesPane(nib, stylus);

    // The items first: the toolbar asks its delegate for them as it joins the panel.
    nib.outlet("tesselPreferencesItem", owner->tesselPreferencesItem,
               makeItem(nib, kQNBGeneralPreferencesItemIdentifier, target));
    nib.outlet("scrivetPreferencesItem", owner->scrivetPreferencesItem,
               makeItem(nib, kQNBStylusPreferencesItemIdentifier, target));
    auto toolbar = nib.make<appkit::NSToolbar>("QNBPreferencesToolbar");
    nib.outlet("preferencesToolbar", owner->preferencesToolbar, toolbar);
    toolbar->setDelegate(manager);
    panel->setToolbar(toolbar);

    nib.addTopLevelObject(panel);
    return true;
}

} // namespace host
