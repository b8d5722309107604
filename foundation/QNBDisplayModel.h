// One client display device as the host lists and remembers it: how it is identified (Bonjour
// service key, typed-in address or the device's own identifier), how it was found, its listing
// state, whether this Mac may use it, its platform and client protocol version, and the user's
// choices for it. Key-value compliant: every setter announces its change, and a change of the
// listing state is also reported to the delegate.
//
// Identifiers: an empty identifier text is stored as absent, so a device the screen server
// reports with "" for "no identifier" is identified by the next identifier it does have.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/foundation/NSObject.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace appkit {
class NSImage;
} // namespace appkit

namespace ns {
class NSNetService;
class NSKeyedArchiver;
class NSKeyedUnarchiver;
} // namespace ns

namespace foundation {

enum QNBTesselType : uint64_t {
    QNBUnknownType = 0,
    QNBiPhoneDisplayType = 1,
    QNBiPadDisplayType = 2,
    QNBMonitorDisplayType = 3,
    QNBiPadStylusDisplayType = 4,
};

enum QNBDisplayModelStateType : uint64_t {
    QNBTesselListingConnectedType = 0,
    QNBTesselListingInactiveType = 1,
    QNBTesselListingUnavailableType = 2,
    QNBTesselListingIdleType = 3,
};

enum QNBTesselMechanism : uint64_t {
    QNBUnknownMechanism = 0,
    QNBBonjourDiscoveryMechanism = 1,
    QNBNetworkAddressMechanism = 2,
    QNBNetworkConnectionMechanism = 3, // a network connection the screen server reports
    QNBUSBConnectionMechanism = 4,
    QNBBonjourServiceVanished = 5,
};

enum QNBDisplayModelConnectingState : uint64_t {
    QNBDisplayModelConnectingNo = 0,
    QNBDisplayModelConnecting = 1,
    QNBDisplayModelDisconnecting = 2,
};

enum QNBCurrentIdentifierType : int64_t {
    QNBUninitialized = 0,
    QNBAddressIdentifier = 1,
    QNBServiceKey = 2,
    QNBDeviceIdentifier = 3,
};

std::string NSStringFromQNBTesselType(uint64_t type);
std::string NSStringFromQNBDisplayModelStateType(uint64_t state);
std::string NSStringFromQNBTesselMechanism(uint64_t mechanism);
std::string NSStringFromQNBDisplayModelConnectingState(uint64_t state);
std::string NSStringFromQNBCurrentIdentifierType(int64_t type);

class QNBDisplayModel;
class QNBDisplayQuery;

class QNBDisplayModelDelegateProtocol {
  public:
    virtual ~QNBDisplayModelDelegateProtocol() = default;
    virtual void stateTypeUpdateForDisplayModel(QNBDisplayModel& model) = 0;
};

class QNBDisplayModel : public ns::NSObject {
  public:
    using Text = std::optional<std::string>;
    // Seconds since 2001-01-01 UTC.
    using Date = double;

    static constexpr char kClassName[] = "QNBDisplayModel";
    static constexpr uint64_t kCurrentVersion = 3;

    // A fresh model in its initial state: available, idle, client version 1.0.0.
    static std::shared_ptr<QNBDisplayModel> create();
    QNBDisplayModel();

    // Factories; null where the device cannot be described.
    static std::shared_ptr<QNBDisplayModel>
    displayModelWithService(const std::shared_ptr<ns::NSNetService>& service);
    static std::shared_ptr<QNBDisplayModel>
    displayModelWithServiceAndTXTRecordData(const std::shared_ptr<ns::NSNetService>& service,
                                            const std::optional<cf::Bytes>& txtRecordData);
    static std::shared_ptr<QNBDisplayModel> displayModelWithAddressString(const std::string& address);
    // The userInfo of the screen server's server-connected-to-device notification.
    static std::shared_ptr<QNBDisplayModel>
    displayModelWithNotificationDictionary(const std::optional<cf::Value>& info);
    // A device a screen server reports hosting: null unless the query is hosted, has a device
    // identifier and a display name that is not empty. Identified by the device identifier,
    // with the query's host name and service key (not its display name); mechanism USB or
    // network connection; listing state idle, inactive (background) or connected.
    static std::shared_ptr<QNBDisplayModel>
    displayModelWithDisplayQuery(const std::shared_ptr<QNBDisplayQuery>& query);
    // One model for several of the same device: the first, filled from the others in order.
    static std::shared_ptr<QNBDisplayModel>
    mergeDuplicateDisplayModels(const std::vector<std::shared_ptr<QNBDisplayModel>>& models);

    // Parsing helpers. txtRecord: a dictionary of key to data.
    static bool connectionStateFromTxtRecord(const cf::Value& txtRecord);
    static Text deviceIdentifierFromService(const std::shared_ptr<ns::NSNetService>& service);
    static uint64_t mechanismFromNumberString(const Text& text);

    // Keyed archiving. The class registers itself with the archiver on first use of either.
    static void registerArchiveClass();
    void encodeWithCoder(ns::NSKeyedArchiver& coder) const;
    // Never null: a key of another kind reads as absent (logged).
    static std::shared_ptr<QNBDisplayModel> initWithCoder(ns::NSKeyedUnarchiver& coder);

    // The identity, names, client version and auto-connect mode; nothing else.
    std::shared_ptr<QNBDisplayModel> copy() const;
    std::string description() const override;

    static const ns::KeyTable& classKeys();
    const ns::KeyTable& keyTable() const override { return classKeys(); }

    // Taking the state of a newer model of the same device, or the user's choices of its
    // archived model.
    void updateStateWithDisplayModel(const QNBDisplayModel& newer);
    void updateArchivedStateWithDisplayModel(const QNBDisplayModel& archived);
    void updateAllState();
    void updateAvailability();
    void updateStateType();
    void updateAvailabilityString();
    void resetDeferredConnectionState();

    // "QNBDisplayModel; Version; 3; Build; <b>" as {"class", "version", "build"}; nothing when
    // the text has fewer than five parts.
    std::optional<cf::Value> versionDictionary() const;
    // ns::NSNotFound when there is no version number.
    uint64_t version() const;
    bool objectVersionAtLeast(uint64_t version) const;

    bool isDisconnectable() const;
    bool allowedToAutoConnect() const;
    bool hasActiveConnection() const;
    bool hasBackgroundConnection() const;
    bool hasUSBMechanism() const;
    bool isMacClient() const;
    bool isWinClient() const;
    bool isAndroidClient() const;
    bool isiOSClient() const;
    bool alwaysAllowMultipleConnections() const;
    bool isExilable() const;
    // A query of this model's host name, display name and service key; not hosted, not connected.
    std::shared_ptr<QNBDisplayQuery> displayQuery() const;
    // The same device: an equal device identifier, or an equal service key (empty ones never match).
    bool matchesDisplayQuery(const QNBDisplayQuery& query) const;
    int32_t stateTypeNumber() const { return static_cast<int32_t>(m_stateType); }

    // Properties.
    const Text& objectVersion() const { return m_objectVersion; }
    void setObjectVersion(Text value);
    std::shared_ptr<QNBDisplayModelDelegateProtocol> delegate() const { return m_delegate.lock(); }
    void setDelegate(std::weak_ptr<QNBDisplayModelDelegateProtocol> delegate) {
        m_delegate = std::move(delegate);
    }
    const Text& serviceKey() const { return m_serviceKey; }
    void setServiceKey(Text value);
    const Text& deviceIdentifier() const { return m_deviceIdentifier; }
    void setDeviceIdentifier(Text value);
    const Text& addressIdentifier() const { return m_addressIdentifier; }
    void setAddressIdentifier(Text value);
    const Text& uniqueIdentifier() const { return m_uniqueIdentifier; }
    void setUniqueIdentifier(Text value);
    int64_t currentIdentifierType() const { return m_currentIdentifierType; }
    void setCurrentIdentifierType(int64_t value);
    // The identifier of a kind (1 address, 2 service key, 3 device identifier); nothing for 0.
    const Text& identifierOfType(int64_t type) const;
    // Identifies the model by the first identifier it has: the device identifier, else the
    // service key, else the address identifier; without any, the identity stays as it is.
    void identifyByFirstIdentifier();
    const Text& hostName() const { return m_hostName; }
    // Nothing leaves the old host name (the change is announced anyway).
    void setHostName(Text value);
    const Text& displayName() const { return m_displayName; }
    void setDisplayName(Text value);
    const Text& platformName() const { return m_platformName; }
    void setPlatformName(Text value);
    uint64_t displayType() const;
    uint64_t displayMechanism() const { return m_displayMechanism; }
    void setDisplayMechanism(uint64_t value);
    uint64_t stateType() const { return m_stateType; }
    void setStateType(uint64_t value);
    uint64_t connectingState() const { return m_connectingState; }
    void setConnectingState(uint64_t value);
    bool connected() const { return m_connected; }
    void setConnected(bool value);
    bool localConnection() const { return m_localConnection; }
    void setLocalConnection(bool value);
    bool inBackground() const { return m_inBackground; }
    void setInBackground(bool value);
    bool availability() const { return m_availability; }
    void setAvailability(bool value);
    const std::string& availabilityString() const { return m_availabilityString; }
    void setAvailabilityString(std::string value);
    bool useBatteryLevel() const { return m_useBatteryLevel; }
    void setUseBatteryLevel(bool value);
    double batteryLevel() const { return m_batteryLevel; }
    void setBatteryLevel(double value);
    bool stylusSupported() const { return m_stylusSupported; }
    void setStylusSupported(bool value);
    bool autoConnectMode() const { return m_autoConnectMode; }
    void setAutoConnectMode(bool value);
    bool presentationMode() const { return m_presentationMode; }
    void setPresentationMode(bool value);
    bool requestedDeferredConnection() const { return m_requestedDeferredConnection; }
    void setRequestedDeferredConnection(bool value);
    bool failedToResolve() const { return m_failedToResolve; }
    void setFailedToResolve(bool value);
    bool lastConnectionLocalHint() const { return m_lastConnectionLocalHint; }
    void setLastConnectionLocalHint(bool value);
    std::shared_ptr<ns::NSNetService> netService() const { return m_netService.lock(); }
    void setNetService(const std::shared_ptr<ns::NSNetService>& service) { m_netService = service; }
    Date connectionAttemptDate() const { return m_connectionAttemptDate; }
    void setConnectionAttemptDate(Date value);
    Date disconnectionAttemptDate() const { return m_disconnectionAttemptDate; }
    void setDisconnectionAttemptDate(Date value);
    Date stateChangeDate() const { return m_stateChangeDate; }
    void setStateChangeDate(Date value);
    uint64_t clientMajorVersion() const { return m_clientMajorVersion; }
    void setClientMajorVersion(uint64_t value);
    uint64_t clientMinorVersion() const { return m_clientMinorVersion; }
    void setClientMinorVersion(uint64_t value);
    uint64_t clientSubVersion() const { return m_clientSubVersion; }
    void setClientSubVersion(uint64_t value);
    // The image the host shows for the device; not kept alive by the model.
    std::shared_ptr<appkit::NSImage> displayImage() const { return m_displayImage.lock(); }
    void setDisplayImage(const std::shared_ptr<appkit::NSImage>& image) { m_displayImage = image; }

  private:
    void doInitializations();
    // Stores value under the key's will/did-change bracket.
    template <typename T> void change(const char* key, T& field, T value) {
        willChangeValueForKey(key);
        field = std::move(value);
        didChangeValueForKey(key);
    }
    void changeIdentifier(const char* key, Text& field, Text value);

    Text m_objectVersion;
    std::weak_ptr<QNBDisplayModelDelegateProtocol> m_delegate;
    Text m_serviceKey;
    Text m_deviceIdentifier;
    Text m_addressIdentifier;
    Text m_uniqueIdentifier;
    int64_t m_currentIdentifierType = QNBUninitialized;
    Text m_hostName;
    Text m_displayName;
    Text m_platformName;
    uint64_t m_displayMechanism = QNBUnknownMechanism;
    uint64_t m_stateType = QNBTesselListingIdleType;
    uint64_t m_connectingState = QNBDisplayModelConnectingNo;
    bool m_connected = false;
    bool m_localConnection = false;
    bool m_inBackground = false;
    bool m_availability = false;
    std::string m_availabilityString;
    bool m_useBatteryLevel = false;
    double m_batteryLevel = 0;
    bool m_stylusSupported = false;
    bool m_autoConnectMode = false;
    bool m_presentationMode = false;
    bool m_requestedDeferredConnection = false;
    bool m_failedToResolve = false;
    bool m_lastConnectionLocalHint = false;
    std::weak_ptr<ns::NSNetService> m_netService;
    Date m_connectionAttemptDate = 0;
    Date m_disconnectionAttemptDate = 0;
    Date m_stateChangeDate = 0;
    uint64_t m_clientMajorVersion = 1;
    uint64_t m_clientMinorVersion = 0;
    uint64_t m_clientSubVersion = 0;
    std::weak_ptr<appkit::NSImage> m_displayImage;

    // The texts shown for the listing states, from the program's string tables.
    std::string m_availableText;
    std::string m_unavailableText;
    std::string m_inactiveText;
    std::string m_usbConnectionText;
    std::string m_wifiConnectionText;
};

} // namespace foundation
