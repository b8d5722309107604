#include "host/QNBTesselCollectionViewItem.h"

#include "host/QNBLocalized.h"

#include "foundation/QNBDisplayModel.h"
#include "foundation/QNBSystemInformation.h"
#include "platform/appkit/NSNib.h"
#include "platform/core/Clock.h"
#include "platform/core/Log.h"

namespace host {

namespace {

constexpr char kNilModel[] = "QNBTesselCollectionViewItem represented object is nil";

// The keys a row follows on its model, in the order they are bound.
constexpr const char* kMirroredKeys[] = {"connected",          "autoConnectMode",    "displayType",
                                         "stateType",          "displayMechanism",   "stylusSupported",
                                         "displayName",        "availabilityString", "clientMajorVersion",
                                         "clientMinorVersion", "clientSubVersion"};

} // namespace

QNBTesselCollectionViewItem::QNBTesselCollectionViewItem(std::shared_ptr<const QNBInterfaceRequests> requests)
    : appkit::NSCollectionViewItem(kQNBTesselCollectionViewItemNibName), m_requests(std::move(requests)) {}

const ns::KeyTable& QNBTesselCollectionViewItem::classKeys() {
    using I = QNBTesselCollectionViewItem;
    static const ns::KeyTable table =
        ns::KeyTable("QNBTesselCollectionViewItem", &appkit::NSCollectionViewItem::classKeys())
            .property("connected", &I::connected, &I::setConnected)
            .property("autoConnectMode", &I::autoConnectMode, &I::setAutoConnectMode)
            .manualNotification("autoConnectMode")
            .property("displayType", &I::displayType, &I::setDisplayType)
            .property("stateType", &I::stateType, &I::setStateType)
            .property("displayMechanism", &I::displayMechanism, &I::setDisplayMechanism)
            .property("stylusSupported", &I::stylusSupported, &I::setStylusSupported)
            .property("displayName", &I::displayNameValue, &I::setDisplayName)
            .property("availabilityString", &I::availabilityStringValue, &I::setAvailabilityString)
            .property("clientMajorVersion", &I::clientMajorVersion, &I::setClientMajorVersion)
            .property("clientMinorVersion", &I::clientMinorVersion, &I::setClientMinorVersion)
            .property("clientSubVersion", &I::clientSubVersion, &I::setClientSubVersion)
            .property("mouseEntered", &I::mouseEntered);
    return table;
}

const appkit::NSActionTable& QNBTesselCollectionViewItem::classActions() {
    using I = QNBTesselCollectionViewItem;
    static const appkit::NSActionTable table =
        appkit::NSActionTable(&appkit::NSCollectionViewItem::classActions())
            .action("connectButtonRequest:", &I::connectButtonRequest)
            .action("autoConnectRequest:", &I::autoConnectRequest)
            .action("closeButtonRequest:", &I::closeButtonRequest)
            .action("returnButtonRequest:", &I::returnButtonRequest);
    return table;
}

std::shared_ptr<foundation::QNBDisplayModel> QNBTesselCollectionViewItem::model() const {
    return representedObject().objectAs<foundation::QNBDisplayModel>();
}

// ---- Life ----------------------------------------------------------------------------------------

void QNBTesselCollectionViewItem::awakeFromNib() {
    m_mouseEntered = false;
    m_stylusSupported = false;
    applyStylusLook();
    if (listingView) {
        listingView->loadMainView();
        listingView->setNeedsDisplay(true);
    }
    if (auto m = model()) {
        copyFromModel(*m, false);
        setAvailabilityString(m->availabilityString());
    }
    if (autoConnectSwitch) autoConnectSwitch->setTitle(localizedText("Auto-connect"));
}

void QNBTesselCollectionViewItem::copyFromModel(const foundation::QNBDisplayModel& m, bool withAutoConnect) {
    setConnected(m.connected());
    setDisplayType(m.displayType());
    setStateType(m.stateType());
    setDisplayMechanism(m.displayMechanism());
    setStylusSupported(m.stylusSupported());
    setDisplayName(m.displayName());
    if (withAutoConnect) setAutoConnectMode(m.autoConnectMode());
}

void QNBTesselCollectionViewItem::setRepresentedObject(const ns::Id& object) {
    appkit::NSCollectionViewItem::setRepresentedObject(object);
    auto m = model();
    if (!m) return;
    copyFromModel(*m, true);
    for (const char* key : kMirroredKeys)
        bind(key, m, key);
}

// ---- Mirrored properties -------------------------------------------------------------------------

void QNBTesselCollectionViewItem::setConnected(bool connected) {
    m_connected = connected;
    if (connectButton) connectButton->setConnected(connected);
}

void QNBTesselCollectionViewItem::setDisplayType(uint64_t type) {
    m_displayType = type;
    if (displayImageView) displayImageView->setDisplayType(type);
}

void QNBTesselCollectionViewItem::setStateType(uint64_t state) {
    m_stateType = state;
    if (displayImageView) displayImageView->setStateType(state);
    if (displayNameLabel) displayNameLabel->setStateType(state);
}

void QNBTesselCollectionViewItem::setDisplayMechanism(uint64_t mechanism) {
    m_displayMechanism = mechanism;
    if (displayImageView) displayImageView->setDisplayMechanism(mechanism);
}

void QNBTesselCollectionViewItem::setStylusSupported(bool supported) {
    m_stylusSupported = supported;
    applyStylusLook();
}

void QNBTesselCollectionViewItem::setDisplayName(std::optional<std::string> name) {
    if (!name) return;
    m_displayName = std::move(*name);
    if (displayNameLabel) displayNameLabel->setStringValue(m_displayName);
}

void QNBTesselCollectionViewItem::setAvailabilityString(std::optional<std::string> text) {
    if (!text) return;
    m_availabilityString = std::move(*text);
    if (availabilityLabel) availabilityLabel->setStringValue(m_availabilityString);
}

void QNBTesselCollectionViewItem::setAutoConnectMode(bool mode) {
    willChangeValueForKey("autoConnectMode");
    m_autoConnectMode = mode;
    // The model hears only a real change: a value that came from it goes no further.
    if (auto m = model(); m && m->autoConnectMode() != mode) m->setAutoConnectMode(mode);
    if (autoConnectSwitch)
        autoConnectSwitch->setState(mode ? appkit::NSControlStateValueOn : appkit::NSControlStateValueOff);
    didChangeValueForKey("autoConnectMode");
}

void QNBTesselCollectionViewItem::setClientMajorVersion(int64_t version) {
    m_clientMajorVersion = version;
    applyStylusLook();
}

void QNBTesselCollectionViewItem::setClientMinorVersion(int64_t version) {
    m_clientMinorVersion = version;
    applyStylusLook();
}

void QNBTesselCollectionViewItem::setClientSubVersion(int64_t version) {
    m_clientSubVersion = version;
    applyStylusLook();
}

void QNBTesselCollectionViewItem::applyStylusLook() {
    // Clients of protocol 3 and later draw their own stylus affordances.
    const bool look = m_stylusSupported && m_clientMajorVersion <= 2;
    if (displayImageView) displayImageView->setStylusSupported(look);
    const bool yosemiteOrLater = foundation::QNBSystemInformation::majorSystemVersionNumber() > 10 ||
                                 foundation::QNBSystemInformation::minorSystemVersionNumber() > 9;
    if (yosemiteOrLater)
        m_frontPanelColor = look ? appkit::NSColor::colorWithCalibratedRed(0.388, 0.969, 0.0, 0.15)
                                 : appkit::NSColor::colorWithCalibratedRed(0.0, 0.388, 0.969, 0.15);
    else
        m_frontPanelColor = look ? appkit::NSColor::colorWithCalibratedRed(0.966, 1.0, 0.956, 0.9)
                                 : appkit::NSColor::colorWithCalibratedRed(0.937, 0.975, 0.995, 0.9);
    applyFrontPanelColor();
}

// ---- Actions -------------------------------------------------------------------------------------

void QNBTesselCollectionViewItem::connectButtonRequest(appkit::NSActionTarget* sender) {
    if (representedObject().isNil()) {
        platform::log(kNilModel);
        return;
    }
    auto* button = dynamic_cast<QNBConnectButton*>(sender);
    auto m = model();
    if (!button || !m) return;
    if (button->connected()) {
        assertDisconnectingState();
        if (m_requests) QNBInterfaceRequests::call(m_requests->disconnectVirtualScreenWith, m);
    } else {
        assertConnectingState();
        if (m_requests) QNBInterfaceRequests::call(m_requests->connectToVirtualScreenWith, m);
    }
    button->setLastRequestDate(platform::wallNow());
}

void QNBTesselCollectionViewItem::autoConnectRequest(appkit::NSActionTarget* sender) {
    if (representedObject().isNil()) {
        platform::log(kNilModel);
        return;
    }
    auto* button = dynamic_cast<appkit::NSButton*>(sender);
    auto m = model();
    if (!button || !m) return;
    const bool on = button->state() == appkit::NSControlStateValueOn;
    if (listingView) listingView->setConnectButtonVisible(!on, true);
    if (on && !m->connected() && m_requests)
        QNBInterfaceRequests::call(m_requests->connectToVirtualScreenWith, m);
}

void QNBTesselCollectionViewItem::closeButtonRequest(appkit::NSActionTarget*) {
    if (listingView) listingView->presentAuxillaryView();
}

void QNBTesselCollectionViewItem::returnButtonRequest(appkit::NSActionTarget*) {
    if (listingView) listingView->presentMainView();
}

void QNBTesselCollectionViewItem::mouseEnteredView() {
    m_mouseEntered = true;
    auto m = model();
    if (listingView && m && (m->availability() || m->inBackground()))
        listingView->setControlsVisible(true, true);
}

void QNBTesselCollectionViewItem::mouseExitedView() {
    m_mouseEntered = false;
    if (listingView) listingView->setControlsVisible(false, true);
}

void QNBTesselCollectionViewItem::assertConnectingState() {
    if (connectButton) connectButton->setConnectingState(QNBConnectingStateConnecting);
}

void QNBTesselCollectionViewItem::assertDisconnectingState() {
    if (connectButton) connectButton->setConnectingState(QNBConnectingStateDisconnecting);
}

} // namespace host

namespace host {

void QNBTesselCollectionViewItem::applyFrontPanelColor() {
    if (!mainListingView) return;
    mainListingView->setBackgroundColor(m_frontPanelColor);
    mainListingView->setNeedsDisplay(true);
}

// ---- The row's nib -------------------------------------------------------------------------------

namespace {

const appkit::NSNibRegistrar rowNib(kQNBTesselCollectionViewItemNibName, [](appkit::NSNib& nib) {
    auto* owner = nib.owner<QNBTesselCollectionViewItem>();
    if (!owner) return false;
    auto target = nib.ownerTarget();
    auto listing = nib.make<QNBTesselListingView>(cg::CGRectMake(0, 0, 320, 72));
    listing->setCollectionItem(owner);
    auto front = nib.make<QNBTesselSubListingView>(cg::CGRectMake(0, 0, 320, 72));
    auto back = nib.make<QNBTesselSubListingView>(cg::CGRectMake(0, 0, 320, 72));

    auto image = nib.make<QNBTesselImageView>(cg::CGRectMake(12, 12, 48, 48));
    auto name = nib.make<QNBTesselDeviceNameLabel>(cg::CGRectMake(72, 38, 150, 20));
    auto availability = nib.make<appkit::NSTextField>(cg::CGRectMake(72, 16, 150, 18));
    for (const auto& label : {std::static_pointer_cast<appkit::NSTextField>(name), availability}) {
        label->setEditable(false);
        label->setBezeled(false);
        label->setDrawsBackground(false);
    }
    auto autoConnect = nib.make<appkit::NSButton>(cg::CGRectMake(72, 14, 120, 18));
    autoConnect->setButtonType(appkit::NSButtonTypeSwitch);
    autoConnect->setTitle("Auto-connect");
    autoConnect->setTarget(target);
    autoConnect->setAction("autoConnectRequest:");
    auto connect = nib.make<QNBConnectButton>(cg::CGRectMake(226, 22, 84, 28));
    connect->setTitle("Connect");
    connect->setTarget(target);
    connect->setAction("connectButtonRequest:");
    auto close = nib.make<appkit::NSButton>(cg::CGRectMake(298, 52, 16, 16));
    close->setTitle("i");
    close->setTarget(target);
    close->setAction("closeButtonRequest:");
    for (const auto& view :
         std::vector<std::shared_ptr<appkit::NSView>>{image, name, availability, autoConnect, connect, close})
        front->addSubview(view);

    auto presentation = nib.make<appkit::NSButton>(cg::CGRectMake(12, 27, 200, 18));
    presentation->setButtonType(appkit::NSButtonTypeSwitch);
    presentation->setTitle("Presentation Mode");
    auto ret = nib.make<appkit::NSButton>(cg::CGRectMake(226, 22, 84, 28));
    ret->setTitle("Done");
    ret->setTarget(target);
    ret->setAction("returnButtonRequest:");
    back->addSubview(presentation);
    back->addSubview(ret);

    nib.outlet("listingView", owner->listingView, listing);
    nib.outlet("mainListingView", owner->mainListingView, front);
    nib.outlet("auxillaryListingView", owner->auxillaryListingView, back);
    nib.outlet("displayImageView", owner->displayImageView, image);
    nib.outlet("displayNameLabel", owner->displayNameLabel, name);
    nib.outlet("availabilityLabel", owner->availabilityLabel, availability);
    nib.outlet("autoConnectSwitch", owner->autoConnectSwitch, autoConnect);
    nib.outlet("connectButton", owner->connectButton, connect);
    nib.outlet("closeButton", owner->closeButton, close);
    nib.outlet("presentationSwitch", owner->presentationSwitch, presentation);
    nib.outlet("returnButton", owner->returnButton, ret);
    owner->setView(listing);
    // The switch follows the row's auto-connect mode, and a click writes it back.
    autoConnect->bind("value", std::static_pointer_cast<ns::NSObject>(owner->shared_from_this()),
                      "autoConnectMode");
    return true;
});

} // namespace

} // namespace host
