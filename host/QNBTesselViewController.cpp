#include "host/QNBTesselViewController.h"

#include "host/QNBHostImages.h"
#include "host/QNBLocalized.h"

#include "platform/appkit/NSAnimationContext.h"
#include "platform/appkit/NSNib.h"
#include "platform/core/Log.h"

namespace host {

std::shared_ptr<QNBTesselViewController>
QNBTesselViewController::make(std::shared_ptr<const QNBInterfaceRequests> requests) {
    auto controller = std::make_shared<QNBTesselViewController>(std::move(requests));
    controller->initialize();
    return controller;
}

QNBTesselViewController::QNBTesselViewController(std::shared_ptr<const QNBInterfaceRequests> requests)
    : appkit::NSViewController(kQNBTesselViewControllerNibName), m_requests(std::move(requests)) {}

const appkit::NSActionTable& QNBTesselViewController::classActions() {
    static const appkit::NSActionTable table =
        appkit::NSActionTable(&appkit::NSViewController::classActions())
            .action("alternateQuitRequest:", &QNBTesselViewController::alternateQuitRequest);
    return table;
}

void QNBTesselViewController::initialize() {
    if (view()) {
        if (auto button = disconnectAllButton.lock()) {
            button->setAlphaValue(0);
            button->setEnabled(false);
            button->setHidden(true);
        }
        if (auto title = titleView.lock()) {
            title->setImageAlignment(appkit::NSImageAlignCenter);
            title->setImageFrameStyle(appkit::NSImageFrameNone);
            title->setImageScaling(appkit::NSImageScaleNone);
        }
    } else {
        platform::log("Error opening nib file: %@", kQNBTesselViewControllerNibName);
        platform::log("Could not initialize tessel view");
    }
    m_childViewController = std::make_shared<QNBTesselChildViewController>(m_requests);
    auto childView = m_childViewController->view();
    if (!childView) {
        platform::log("Could not create Tessel child view controller");
    } else if (auto content = contentView.lock()) {
        childView->setFrame(content->bounds());
        content->addSubview(childView);
    }
    m_disconnectAllAnimating = false;
}

void QNBTesselViewController::postDisplayInitializationWithViewManager(QNBViewManager& viewManager) {
    if (m_childViewController) m_childViewController->postDisplayInitializationWithViewManager(viewManager);
}

void QNBTesselViewController::localizeChildViews() {
    if (auto button = otherConnectButton.lock()) button->setTitle(localizedText("Connect to Other..."));
    if (auto button = disconnectAllButton.lock()) button->setTitle(localizedText("Disconnect All"));
    if (auto label = tesselLabel.lock()) label->setStringValue(localizedText("Tessel"));
    if (m_childViewController) m_childViewController->localizeChildViews();
}

void QNBTesselViewController::loadArtworkForDisplayScreen() {
    if (!tesselView || !tesselView->window()) return;
    if (auto title = titleView.lock()) title->setImage(hostImageNamed("title-transparent-background"));
    if (auto icon = tesselIconImageView.lock()) {
        icon->setImage(hostImageNamed("tessel_icon"));
        icon->setImageFrameStyle(appkit::NSImageFrameNone);
        icon->setImageScaling(appkit::NSImageScaleNone);
        icon->setNeedsDisplay(true);
    }
}

void QNBTesselViewController::configureViewForWindow() {
    if (m_childViewController) m_childViewController->configureViewForWindow();
}

void QNBTesselViewController::showGetTesselView() {
    if (m_childViewController) m_childViewController->showGetTesselView();
}

void QNBTesselViewController::showDisplayCollectionView() {
    if (m_childViewController) m_childViewController->showDisplayCollectionView();
}

void QNBTesselViewController::showInstallDriversView() {
    if (m_childViewController) m_childViewController->showInstallDriversView();
}

void QNBTesselViewController::showAllowDriversView() {
    if (m_childViewController) m_childViewController->showAllowDriversView();
}

// ---- Disconnect All ------------------------------------------------------------------------------

void QNBTesselViewController::showDisconnectAllButton(bool show) {
    fadeControl(disconnectAllButton.lock(), show, &m_disconnectAllAnimating);
}

void QNBTesselViewController::assertDisconnecting(bool disconnecting) {
    if (auto button = disconnectAllButton.lock())
        button->setConnectingState(disconnecting ? QNBConnectingStateDisconnecting : QNBConnectingStateNone);
}

void QNBTesselViewController::fadeControl(const std::shared_ptr<appkit::NSControl>& control, bool show,
                                          bool* guard) {
    if (!control || !guard) return;
    const double target = show ? 1.0 : 0.0;
    if (control->alphaValue() == target || *guard) return;
    *guard = true;
    if (show) control->setHidden(false);
    // The guard lives in this controller: the completion runs only while it does.
    std::weak_ptr<ns::NSObject> weakSelf = weak_from_this();
    std::weak_ptr<appkit::NSControl> weakControl = control;
    appkit::NSAnimationContext::runAnimationGroup(
        [&](appkit::NSAnimationContext& context) {
            context.setDuration(kFadeDuration);
            control->animator().setAlphaValue(target);
        },
        [weakSelf, weakControl, show, guard] {
            auto self = weakSelf.lock();
            if (!self) return;
            if (auto c = weakControl.lock()) {
                c->setEnabled(show);
                c->setHidden(!show);
            }
            *guard = false;
        });
}

void QNBTesselViewController::alternateQuitRequest(appkit::NSActionTarget*) {
    if (m_requests) QNBInterfaceRequests::call(m_requests->terminate);
}

// ---- The nib -------------------------------------------------------------------------------------

namespace {

const appkit::NSNibRegistrar mainNib(kQNBTesselViewControllerNibName, [](appkit::NSNib& nib) {
    auto* owner = nib.owner<QNBTesselViewController>();
    if (!owner) return false;
    auto root = nib.make<appkit::NSView>(cg::CGRectMake(0, 0, 320, 358));
    auto title = nib.make<appkit::NSImageView>(cg::CGRectMake(0, 318, 320, 40));
    auto icon = nib.make<appkit::NSImageView>(cg::CGRectMake(10, 324, 28, 28));
    auto label = nib.make<appkit::NSTextField>(cg::CGRectMake(44, 328, 100, 20));
    label->setEditable(false);
    label->setBezeled(false);
    label->setDrawsBackground(false);
    label->setStringValue("Tessel");
    auto other = nib.make<appkit::NSButton>(cg::CGRectMake(150, 324, 130, 28));
    other->setTitle("Connect to Other...");
    other->setAction("showConnectToOtherPanel:");
    auto disconnectAll = nib.make<QNBDisconnectAllButton>(cg::CGRectMake(150, 324, 130, 28));
    disconnectAll->setTitle("Disconnect All");
    disconnectAll->setAction("disconnectAllRequest:");
    auto content = nib.make<appkit::NSView>(cg::CGRectMake(0, 0, 320, 318));
    for (const auto& view :
         std::vector<std::shared_ptr<appkit::NSView>>{title, icon, label, other, disconnectAll, content})
        root->addSubview(view);

    nib.outlet("tesselView", owner->tesselView, root);
    nib.outlet("titleView", owner->titleView, title);
    nib.outlet("tesselIconImageView", owner->tesselIconImageView, icon);
    nib.outlet("tesselLabel", owner->tesselLabel, label);
    nib.outlet("otherConnectButton", owner->otherConnectButton, other);
    nib.outlet("disconnectAllButton", owner->disconnectAllButton, disconnectAll);
    nib.outlet("contentView", owner->contentView, content);
    owner->setView(root);
    return true;
});

} // namespace

} // namespace host
