// One row of the device listing: it mirrors its display model through bindings (name,
// availability, artwork, connection, auto-connect, client version), asks the application
// delegate to connect or disconnect, and shows its controls while the mouse is over it.
#pragma once

#include "host/QNBCollectionScrollView.h"
#include "host/QNBConnectButton.h"
#include "host/QNBInterfaceRequests.h"
#include "host/QNBSupportViews.h"
#include "host/QNBTesselListingParts.h"

#include "platform/appkit/NSCollectionView.h"
#include "platform/appkit/NSColor.h"

#include <cstdint>
#include <memory>
#include <string>

namespace host {

inline constexpr char kQNBTesselCollectionViewItemNibName[] = "QNBTesselCollectionViewItem";

class QNBTesselCollectionViewItem final : public appkit::NSCollectionViewItem,
                                          public QNBCollectionScrollViewRow {
  public:
    explicit QNBTesselCollectionViewItem(std::shared_ptr<const QNBInterfaceRequests> requests = nullptr);

    static const ns::KeyTable& classKeys();
    const ns::KeyTable& keyTable() const override { return classKeys(); }
    static const appkit::NSActionTable& classActions();
    const appkit::NSActionTable& actionTable() const override { return classActions(); }

    void awakeFromNib() override;
    void setRepresentedObject(const ns::Id& object) override;

    // ---- Mirrored properties.
    bool connected() const { return m_connected; }
    void setConnected(bool connected);
    uint64_t displayType() const { return m_displayType; }
    void setDisplayType(uint64_t type);
    uint64_t stateType() const { return m_stateType; }
    void setStateType(uint64_t state);
    uint64_t displayMechanism() const { return m_displayMechanism; }
    void setDisplayMechanism(uint64_t mechanism);
    bool stylusSupported() const { return m_stylusSupported; }
    // The stylus look: the artwork's stylus flag and the front panel's colour.
    void setStylusSupported(bool supported);
    const std::string& displayName() const { return m_displayName; }
    std::optional<std::string> displayNameValue() const { return m_displayName; }
    void setDisplayName(std::optional<std::string> name);
    const std::string& availabilityString() const { return m_availabilityString; }
    std::optional<std::string> availabilityStringValue() const { return m_availabilityString; }
    void setAvailabilityString(std::optional<std::string> text);
    bool autoConnectMode() const { return m_autoConnectMode; }
    // To the model (only when it differs there) and to the switch.
    void setAutoConnectMode(bool mode);
    int64_t clientMajorVersion() const { return m_clientMajorVersion; }
    // Each re-applies the stylus look, which depends on the client's version.
    void setClientMajorVersion(int64_t version);
    int64_t clientMinorVersion() const { return m_clientMinorVersion; }
    void setClientMinorVersion(int64_t version);
    int64_t clientSubVersion() const { return m_clientSubVersion; }
    void setClientSubVersion(int64_t version);
    bool mouseEntered() const { return m_mouseEntered; }

    // The front panel's colour the stylus look chose.
    const std::shared_ptr<appkit::NSColor>& frontPanelColor() const { return m_frontPanelColor; }

    // ---- Actions.
    void connectButtonRequest(appkit::NSActionTarget* sender);
    void autoConnectRequest(appkit::NSActionTarget* sender);
    void closeButtonRequest(appkit::NSActionTarget* sender);
    void returnButtonRequest(appkit::NSActionTarget* sender);
    // From the listing's scroll view and the view manager.
    void mouseEnteredView() override;
    void mouseExitedView() override;
    void assertConnectingState();
    void assertDisconnectingState();

    // ---- Outlets.
    std::shared_ptr<QNBTesselListingView> listingView;
    std::shared_ptr<QNBTesselSubListingView> mainListingView, auxillaryListingView;
    std::shared_ptr<QNBConnectButton> connectButton;
    std::shared_ptr<appkit::NSButton> closeButton, returnButton, autoConnectSwitch, presentationSwitch;
    std::shared_ptr<QNBTesselDeviceNameLabel> displayNameLabel;
    std::shared_ptr<appkit::NSTextField> availabilityLabel;
    std::shared_ptr<QNBTesselImageView> displayImageView;

  private:
    std::shared_ptr<foundation::QNBDisplayModel> model() const;
    void applyStylusLook();
    void applyFrontPanelColor();
    void copyFromModel(const foundation::QNBDisplayModel& model, bool withAutoConnect);

    std::shared_ptr<const QNBInterfaceRequests> m_requests;
    bool m_connected = false, m_stylusSupported = false, m_autoConnectMode = false, m_mouseEntered = false;
    uint64_t m_displayType = 0, m_stateType = 0, m_displayMechanism = 0;
    std::string m_displayName, m_availabilityString;
    int64_t m_clientMajorVersion = 0, m_clientMinorVersion = 0, m_clientSubVersion = 0;
    std::shared_ptr<appkit::NSColor> m_frontPanelColor;
};

} // namespace host
