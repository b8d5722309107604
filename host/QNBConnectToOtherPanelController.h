// The connect-to-other panel: one address field whose Connect button is enabled only while the
// text is an IPv4 or IPv6 address; Connect closes the panel and hands the text, unchanged, to the
// application delegate. The controller follows the field's text for its whole life, so the
// button is right whenever the panel shows again, and each showing re-validates the text.
#pragma once

#include "platform/appkit/NSButton.h"
#include "platform/appkit/NSTextField.h"
#include "platform/appkit/NSWindowController.h"
#include "platform/foundation/NSNotification.h"
#include "platform/foundation/NSNotificationCenter.h"

#include <memory>

namespace host {

inline constexpr char kConnectToOtherPanelNibName[] = "QNBConnectToOtherPanel";

// Where a window of a size stands centred over the popover (the view manager answers).
class QNBWindowCentering {
  public:
    virtual ~QNBWindowCentering() = default;
    virtual cg::CGPoint centeringPointForWindowSize(cg::CGSize size) = 0;
};

class QNBConnectToOtherPanelController : public appkit::NSWindowController {
  public:
    // Without a centering view manager the panel is centred on the main screen's visible frame.
    explicit QNBConnectToOtherPanelController(std::weak_ptr<QNBWindowCentering> viewManager = {});
    ~QNBConnectToOtherPanelController() override;

    static const appkit::NSActionTable& classActions(); // "connect:", "cancel:"
    const appkit::NSActionTable& actionTable() const override { return classActions(); }

    // ---- Outlets.
    std::shared_ptr<appkit::NSPanel> otherDevicePanel;
    std::weak_ptr<appkit::NSTextField> otherAddressTextField;
    std::weak_ptr<appkit::NSTextField> otherAddressLabel;
    std::weak_ptr<appkit::NSButton> otherOKButton;
    std::weak_ptr<appkit::NSButton> otherCancelButton;
    std::weak_ptr<appkit::NSTextField> otherHelpLabel;
    std::weak_ptr<appkit::NSButton> alternateQuitButton;

    // The nib "QNBConnectToOtherPanel" with this controller as owner.
    void loadWindow() override;
    // Texts, the field's observation, and the status window level (above the popover).
    void windowDidLoad() override;
    // Placed centred over the popover, re-validated, then shown.
    void showWindow(appkit::NSActionTarget* sender) override;

    // Closes the panel and connects the address; an invalid text does nothing.
    void connect(appkit::NSActionTarget* sender);
    void cancel(appkit::NSActionTarget* sender);
    void ipAddressTextDidChange(const ns::NSNotification& notification);
    // Connect titled again, and enabled exactly for a non-empty valid address.
    void validateAddressText();

  private:
    bool addressTextIsValid() const;

    std::weak_ptr<QNBWindowCentering> m_viewManager;
    ns::NSNotificationCenter::ObserverToken m_textObservation;
};

} // namespace host
