#include "host/QNBTesselChildViewController.h"

#include "host/QNBHostImages.h"

#include "host/QNBLocalized.h"
#include "host/QNBTesselCollectionViewItem.h"
#include "host/QNBViewManager.h"

#include "platform/appkit/NSAnimationContext.h"
#include "platform/appkit/NSArrayController.h"
#include "platform/appkit/NSButton.h"
#include "platform/appkit/NSFont.h"
#include "platform/appkit/NSNib.h"
#include "platform/services/NSWorkspace.h"

namespace host {

QNBTesselChildViewController::QNBTesselChildViewController(
    std::shared_ptr<const QNBInterfaceRequests> requests)
    : appkit::NSViewController(kQNBTesselChildViewControllerNibName), m_requests(std::move(requests)) {}

const appkit::NSActionTable& QNBTesselChildViewController::classActions() {
    using C = QNBTesselChildViewController;
    static const appkit::NSActionTable table =
        appkit::NSActionTable(&appkit::NSViewController::classActions())
            .action("getInstallerRequest:", &C::getInstallerRequest)
            .action("openSecurityPrefs:", &C::openSecurityPrefs)
            .action("displayAllowDriversDialog:", &C::displayAllowDriversDialog)
            .action("disimissAllowDriversDialog:", &C::disimissAllowDriversDialog);
    return table;
}

void QNBTesselChildViewController::awakeFromNib() {
    if (getTesselView) {
        getTesselView->setStartColor(appkit::NSColor::colorWithDeviceRed(0, 0.349, 0.776, 0.27));
        getTesselView->setEndColor(appkit::NSColor::colorWithDeviceRed(0.153, 0.753, 0.914, 0.27));
    }
    showGetTesselView();
}

void QNBTesselChildViewController::createBindingsWithViewManager(QNBViewManager& viewManager) {
    auto collection = displayCollectionView.lock();
    const auto& controller = viewManager.displayArrayController();
    if (!collection || !controller) return;
    auto requests = m_requests;
    collection->setItemPrototype(
        [requests] { return std::make_shared<QNBTesselCollectionViewItem>(requests); });
    collection->bind("content", controller, "arrangedObjects");
    collection->bind("selectionIndexes", controller, "selectionIndexes");
    if (collectionViewContainer)
        collectionViewContainer->setDelegate(
            std::dynamic_pointer_cast<QNBCollectionScrollViewDelegateProtocol>(
                viewManager.shared_from_this()));
}

// ---- Exchanging views ----------------------------------------------------------------------------

void QNBTesselChildViewController::exchangeView(const std::shared_ptr<appkit::NSView>& view) {
    if (!view) return;
    auto current = isViewLoaded() ? this->view() : nullptr;
    auto superview = current ? current->superview() : nullptr;
    appkit::NSAnimationContext::runAnimationGroup(
        [&](appkit::NSAnimationContext&) {
            if (superview && current != view) {
                current->animator().removeFromSuperview();
                superview->animator().addSubview(view);
            }
            view->setNeedsDisplay(true);
        },
        nullptr);
    setView(view);
}

void QNBTesselChildViewController::showGetTesselView() {
    // The artwork follows the popover's appearance.
    if (auto imageView = getTesselImageView.lock(); imageView && imageView->image())
        imageView->image()->setTemplate(true);
    exchangeView(getTesselView);
}

void QNBTesselChildViewController::showDisplayCollectionView() {
    exchangeView(collectionViewContainer);
}

void QNBTesselChildViewController::showInstallDriversView() {
    exchangeView(installDriversView);
}

void QNBTesselChildViewController::showAllowDriversView() {
    exchangeView(allowDriversView);
}

// ---- Texts ---------------------------------------------------------------------------------------

void QNBTesselChildViewController::configureViewForWindow() {
    const std::string product = localizedText("Tessel");
    formatTextField(launchTesselField.lock(), localizedText("Launch Tessel on your device"), product);
    formatTextField(installDriversMessageField.lock(),
                    localizedText("Could not locate video drivers for Tessel"), product);
}

void QNBTesselChildViewController::formatTextField(const std::shared_ptr<appkit::NSTextField>& field,
                                                   const std::string& text, const std::string& boldText) {
    if (!field || !field->window()) return;
    auto regular = appkit::NSFont::fontWithName("OpenSans-Semibold", 16);
    auto bold = appkit::NSFont::fontWithName("OpenSans-Bold", 16);
    auto paragraph = std::make_shared<appkit::NSParagraphStyle>();
    paragraph->alignment = appkit::NSTextAlignmentCenter;
    paragraph->lineSpacing = 0;
    paragraph->minimumLineHeight = 20;
    paragraph->maximumLineHeight = 20;
    field->setFont(regular);
    const size_t at = boldText.empty() ? std::string::npos : text.find(boldText);
    if (at == std::string::npos) return;
    appkit::NSAttributedString value(text, {regular, appkit::NSColor::whiteColor(), paragraph});
    value.addAttributes({bold, nullptr, nullptr}, at, boldText.size());
    field->setAttributedStringValue(value);
}

// ---- The driver dialog ---------------------------------------------------------------------------

void QNBTesselChildViewController::displayAllowDriversDialog(appkit::NSActionTarget*) {
    if (!allowDriversWindow || m_currentModalSession) return;
    m_currentModalSession = appkit::NSApp()->beginModalSessionForWindow(allowDriversWindow);
}

void QNBTesselChildViewController::disimissAllowDriversDialog(appkit::NSActionTarget*) {
    // Only a session this controller began is ended, and only once.
    if (!m_currentModalSession) return;
    appkit::NSApp()->endModalSession(m_currentModalSession);
    m_currentModalSession = nullptr;
    if (allowDriversWindow) allowDriversWindow->orderOut();
}

void QNBTesselChildViewController::getInstallerRequest(appkit::NSActionTarget* sender) {
    disimissAllowDriversDialog(sender);
    if (m_requests) QNBInterfaceRequests::call(m_requests->openGetInstallerURL);
}

void QNBTesselChildViewController::openSecurityPrefs(appkit::NSActionTarget*) {
    ns::NSWorkspace::sharedWorkspace().openFile(kSecurityPreferencePane);
}

// ---- The nib -------------------------------------------------------------------------------------

namespace {

std::shared_ptr<appkit::NSTextField> messageField(appkit::NSNib& nib, cg::CGRect frame) {
    auto field = nib.make<appkit::NSTextField>(frame);
    field->setEditable(false);
    field->setBezeled(false);
    field->setDrawsBackground(false);
    field->setAlignment(appkit::NSTextAlignmentCenter);
    return field;
}

std::shared_ptr<appkit::NSButton> actionButton(appkit::NSNib& nib, cg::CGRect frame, const std::string& title,
                                               std::string action) {
    auto button = nib.make<appkit::NSButton>(frame);
    button->setTitle(title);
    button->setTarget(nib.ownerTarget());
    button->setAction(std::move(action));
    return button;
}

const appkit::NSNibRegistrar childNib(kQNBTesselChildViewControllerNibName, [](appkit::NSNib& nib) {
    auto* owner = nib.owner<QNBTesselChildViewController>();
    if (!owner) return false;
    const cg::CGRect area = cg::CGRectMake(0, 0, 320, 318);

    auto getTessel = nib.make<QNBGradientView>(area);
    auto getTesselImage = nib.make<appkit::NSImageView>(cg::CGRectMake(110, 150, 100, 100));
    getTesselImage->setImage(hostImageNamed("ipad_inactive")); // the listing's tablet
    auto launchField = messageField(nib, cg::CGRectMake(20, 80, 280, 44));
    launchField->setStringValue("Launch Tessel on your device");
    getTessel->addSubview(getTesselImage);
    getTessel->addSubview(launchField);

    auto container = nib.make<QNBCollectionScrollView>(area);
    auto collection = nib.make<appkit::NSCollectionView>(area);
    collection->setAutoresizingMask(appkit::NSViewWidthSizable);
    container->setDocumentView(collection);

    auto installDrivers = nib.make<appkit::NSView>(area);
    auto installMessage = messageField(nib, cg::CGRectMake(20, 150, 280, 44));
    installMessage->setStringValue("Could not locate video drivers for Tessel");
    installDrivers->addSubview(installMessage);
    installDrivers->addSubview(
        actionButton(nib, cg::CGRectMake(90, 90, 140, 32), "Get Installer", "getInstallerRequest:"));

    auto allowDrivers = nib.make<appkit::NSView>(area);
    auto allowMessage = messageField(nib, cg::CGRectMake(20, 150, 280, 44));
    allowMessage->setStringValue("Tessel's video drivers need your permission");
    allowDrivers->addSubview(allowMessage);
    allowDrivers->addSubview(
        actionButton(nib, cg::CGRectMake(90, 90, 140, 32), "Allow Drivers...", "displayAllowDriversDialog:"));

    auto dialog = nib.make<appkit::NSPanel>(cg::CGRectMake(0, 0, 420, 160), appkit::NSWindowStyleMaskTitled);
    dialog->setTitle("Allow Tessel's drivers");
    if (auto content = dialog->contentView()) {
        content->addSubview(messageField(nib, cg::CGRectMake(20, 80, 380, 60)));
        content->addSubview(
            actionButton(nib, cg::CGRectMake(20, 20, 120, 32), "Open Security", "openSecurityPrefs:"));
        content->addSubview(
            actionButton(nib, cg::CGRectMake(150, 20, 120, 32), "Get Installer", "getInstallerRequest:"));
        content->addSubview(
            actionButton(nib, cg::CGRectMake(280, 20, 120, 32), "Close", "disimissAllowDriversDialog:"));
    }

    nib.outlet("getTesselView", owner->getTesselView, getTessel);
    nib.outlet("getTesselImageView", owner->getTesselImageView, getTesselImage);
    nib.outlet("launchTesselField", owner->launchTesselField, launchField);
    nib.outlet("collectionViewContainer", owner->collectionViewContainer, container);
    nib.outlet("displayCollectionView", owner->displayCollectionView, collection);
    nib.outlet("installDriversView", owner->installDriversView, installDrivers);
    nib.outlet("installDriversMessageField", owner->installDriversMessageField, installMessage);
    nib.outlet("allowDriversView", owner->allowDriversView, allowDrivers);
    nib.outlet("allowDriversWindow", owner->allowDriversWindow, dialog);
    owner->setView(getTessel);
    return true;
});

} // namespace

} // namespace host
