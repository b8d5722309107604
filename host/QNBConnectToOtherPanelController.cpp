// The connect-to-other panel's controller and its nib "QNBConnectToOtherPanel".
#include "host/QNBConnectToOtherPanelController.h"

#include "host/QNBAppDelegate.h"
#include "host/QNBViewManagerLayout.h"

#include "foundation/StringAdditions.h"

#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSNib.h"
#include "platform/appkit/NSScreen.h"
#include "platform/foundation/NSBundle.h"

namespace host {

namespace {

constexpr double kPanelWidth = 360;
constexpr double kPanelHeight = 150;

std::shared_ptr<appkit::NSTextField> label(appkit::NSNib& nib, cg::CGRect frame) {
    auto field = nib.make<appkit::NSTextField>(frame);
    field->setEditable(false);
    field->setBezeled(false);
    field->setDrawsBackground(false);
    return field;
}

// A titled utility panel that floats over the popover: the address label, field and help
// line, then Quit (hidden), Cancel and Connect along the bottom.
const appkit::NSNibRegistrar panelNib(kConnectToOtherPanelNibName, [](appkit::NSNib& nib) {
    auto* owner = nib.owner<QNBConnectToOtherPanelController>();
    if (!owner) return false;
    auto target = nib.ownerTarget();
    auto panel =
        nib.make<appkit::NSPanel>(cg::CGRectMake(0, 0, kPanelWidth, kPanelHeight),
                                  appkit::NSWindowStyleMaskTitled | appkit::NSWindowStyleMaskClosable |
                                      appkit::NSWindowStyleMaskUtilityWindow);
    auto content = panel->contentView();

    auto addressLabel = label(nib, cg::CGRectMake(20, 118, 320, 18));
    auto field = nib.make<appkit::NSTextField>(cg::CGRectMake(20, 88, 320, 24));
    // Two lines: the help wraps.
    auto helpLabel = label(nib, cg::CGRectMake(20, 48, 320, 34));
    auto quit = nib.make<appkit::NSButton>(cg::CGRectMake(20, 12, 80, 32));
    quit->setHidden(true);
    auto cancel = nib.make<appkit::NSButton>(cg::CGRectMake(176, 12, 80, 32));
    cancel->setTarget(target);
    cancel->setAction("cancel:");
    auto ok = nib.make<appkit::NSButton>(cg::CGRectMake(260, 12, 80, 32));
    ok->setTarget(target);
    ok->setAction("connect:");
    ok->setEnabled(false);
    for (const std::shared_ptr<appkit::NSView>& view : std::initializer_list<std::shared_ptr<appkit::NSView>>{
             addressLabel, field, helpLabel, quit, cancel, ok})
        content->addSubview(view);

    nib.outlet(
        "otherDevicePanel",
        [owner](const std::shared_ptr<appkit::NSPanel>& p) {
            owner->otherDevicePanel = p;
            owner->setWindow(p);
        },
        panel);
    nib.outlet("otherAddressTextField", owner->otherAddressTextField, field);
    nib.outlet("otherAddressLabel", owner->otherAddressLabel, addressLabel);
    nib.outlet("otherOKButton", owner->otherOKButton, ok);
    nib.outlet("otherCancelButton", owner->otherCancelButton, cancel);
    nib.outlet("otherHelpLabel", owner->otherHelpLabel, helpLabel);
    nib.outlet("alternateQuitButton", owner->alternateQuitButton, quit);
    nib.addTopLevelObject(panel);
    return true;
});

} // namespace

QNBConnectToOtherPanelController::QNBConnectToOtherPanelController(
    std::weak_ptr<QNBWindowCentering> viewManager)
    : NSWindowController(kConnectToOtherPanelNibName), m_viewManager(std::move(viewManager)) {}

QNBConnectToOtherPanelController::~QNBConnectToOtherPanelController() {
    if (m_textObservation) ns::NSNotificationCenter::defaultCenter().removeObserver(m_textObservation);
}

const appkit::NSActionTable& QNBConnectToOtherPanelController::classActions() {
    static const appkit::NSActionTable table =
        appkit::NSActionTable(&appkit::NSActionTarget::classActions())
            .action("connect:", &QNBConnectToOtherPanelController::connect)
            .action("cancel:", &QNBConnectToOtherPanelController::cancel);
    return table;
}

void QNBConnectToOtherPanelController::loadWindow() {
    NSWindowController::loadWindow();
}

void QNBConnectToOtherPanelController::windowDidLoad() {
    NSWindowController::windowDidLoad();
    if (otherDevicePanel) otherDevicePanel->setTitle(ns::NSLocalizedString("Connect to Other Device"));
    auto field = otherAddressTextField.lock();
    // What to type, shown while the field is empty: never part of the address.
    if (field) field->setPlaceholderString(ns::NSLocalizedString("IP Address"));
    if (auto l = otherAddressLabel.lock())
        l->setStringValue(ns::NSLocalizedString("Enter your device’s IP Address:"));
    if (auto b = otherOKButton.lock()) b->setTitle(ns::NSLocalizedString("Connect"));
    if (auto b = otherCancelButton.lock()) b->setTitle(ns::NSLocalizedString("Cancel"));
    if (auto l = otherHelpLabel.lock())
        l->setStringValue(ns::NSLocalizedString("Launch the app on your device to find the IP address."));
    // Observed once, for the controller's life: a Cancel does not end it.
    if (field && !m_textObservation) {
        auto self = std::static_pointer_cast<QNBConnectToOtherPanelController>(shared_from_this());
        m_textObservation = ns::NSNotificationCenter::defaultCenter().addObserver(
            self, &QNBConnectToOtherPanelController::ipAddressTextDidChange,
            appkit::NSControlTextDidChangeNotification, field.get());
    }
    if (otherDevicePanel) otherDevicePanel->setLevel(appkit::NSStatusWindowLevel);
}

void QNBConnectToOtherPanelController::showWindow(appkit::NSActionTarget* sender) {
    auto panel = window();
    if (!panel) return; // no nib: nothing to show
    const cg::CGSize size = panel->frame().size;
    if (auto viewManager = m_viewManager.lock()) {
        panel->setFrameOrigin(viewManager->centeringPointForWindowSize(size));
    } else if (auto screen = appkit::NSScreen::mainScreen()) {
        const cg::CGRect visible = screen->visibleFrame();
        panel->setFrameOrigin(host::centeringPointForWindowSize(size, std::nullopt, visible, visible));
    }
    validateAddressText();
    NSWindowController::showWindow(sender);
}

bool QNBConnectToOtherPanelController::addressTextIsValid() const {
    auto field = otherAddressTextField.lock();
    if (!field) return false;
    const std::string text = field->stringValue();
    return !text.empty() && foundation::isValidIPAddress(text);
}

void QNBConnectToOtherPanelController::validateAddressText() {
    auto ok = otherOKButton.lock();
    if (!ok) return;
    ok->setTitle(ns::NSLocalizedString("Connect"));
    ok->setEnabled(addressTextIsValid());
}

void QNBConnectToOtherPanelController::ipAddressTextDidChange(const ns::NSNotification&) {
    validateAddressText();
}

void QNBConnectToOtherPanelController::connect(appkit::NSActionTarget*) {
    // The button follows the text, but an action can arrive from elsewhere: only an address
    // goes on.
    if (!addressTextIsValid()) return;
    const std::string address = otherAddressTextField.lock()->stringValue();
    close();
    auto application = appkit::NSApp();
    auto delegate =
        application ? std::dynamic_pointer_cast<QNBAppDelegate>(application->delegate()) : nullptr;
    if (delegate) delegate->connectVirtualScreenWithAddressString(address);
}

void QNBConnectToOtherPanelController::cancel(appkit::NSActionTarget*) {
    close();
}

} // namespace host
