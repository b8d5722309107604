#include "foundation/QNBDisplayModel.h"

#include "foundation/StringAdditions.h"
#include "platform/core/Clock.h"
#include "platform/core/Format.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSRange.h"
#include "platform/foundation/NSString.h"

#include <array>

namespace foundation {

namespace {

constexpr char kUnknownName[] = "unknown/invalid";
// 1970-01-01 00:00:00 UTC in seconds since 2001-01-01: "never" for the attempt dates.
constexpr double kReferenceDate1970 = -978307200.0;

template <size_t N> std::string nameIn(const std::array<const char*, N>& names, uint64_t value) {
    return value < N && names[value] ? names[value] : kUnknownName;
}

std::string localized(const char* key) {
    return ns::NSBundle::mainBundle()->localizedStringForKey(key, std::string_view(), std::nullopt);
}

bool platformContains(const QNBDisplayModel::Text& platform, std::string_view needle) {
    return platform && containsInsensitiveString(*platform, needle);
}

} // namespace

std::string NSStringFromQNBTesselType(uint64_t type) {
    static constexpr std::array<const char*, 5> names = {"QNBUnknownType", "QNBiPhoneDisplayType",
                                                         "QNBiPadDisplayType", "QNBMonitorDisplayType",
                                                         "QNBiPadStylusDisplayType"};
    return nameIn(names, type);
}

std::string NSStringFromQNBDisplayModelStateType(uint64_t state) {
    static constexpr std::array<const char*, 4> names = {
        "QNBTesselListingConnectedType", "QNBTesselListingInactiveType", "QNBTesselListingUnavailableType",
        "QNBTesselListingIdleType"};
    return nameIn(names, state);
}

std::string NSStringFromQNBTesselMechanism(uint64_t mechanism) {
    // The network-connection and USB mechanisms have no names of their own.
    static constexpr std::array<const char*, 6> names = {"QNBUnknownMechanism",
                                                         "QNBBonjourDiscoveryMechanism",
                                                         "QNBNetworkAddressMechanism",
                                                         nullptr,
                                                         nullptr,
                                                         "QNBBonjourServiceVanished"};
    return nameIn(names, mechanism);
}

std::string NSStringFromQNBDisplayModelConnectingState(uint64_t state) {
    static constexpr std::array<const char*, 3> names = {
        "QNBDisplayModelConnectingNo", "QNBDisplayModelConnecting", "QNBDisplayModelDisconnecting"};
    return nameIn(names, state);
}

std::string NSStringFromQNBCurrentIdentifierType(int64_t type) {
    switch (type) {
    case QNBAddressIdentifier:
        return "QNBAddressIdentifier";
    case QNBServiceKey:
        return "QNBServiceKey";
    case QNBDeviceIdentifier:
        return "QNBDeviceIdentifier";
    default:
        return "QNBUninitialized";
    }
}

std::shared_ptr<QNBDisplayModel> QNBDisplayModel::create() {
    return std::make_shared<QNBDisplayModel>();
}

QNBDisplayModel::QNBDisplayModel() {
    registerArchiveClass();
    doInitializations();
}

void QNBDisplayModel::doInitializations() {
    auto build = ns::NSBundle::mainBundle()->objectForInfoDictionaryKey("CFBundleVersion");
    const std::string* buildText = build ? build->asString() : nullptr;
    m_objectVersion = platform::format("QNBDisplayModel; Version; %lu; Build; %@", kCurrentVersion,
                                       buildText ? *buildText : std::string("(null)"));
    m_availableText.clear();
    m_unavailableText = localized("unavailable");
    m_inactiveText = localized("inactive");
    m_usbConnectionText = localized("USB connection");
    m_wifiConnectionText = localized("WiFi connection");
    m_hostName.reset();
    setDisplayName(std::string());
    setAvailabilityString(std::string());
    setAvailability(false);
    setInBackground(false);
    setPresentationMode(false);
    setAutoConnectMode(false);
    setConnected(false);
    setLocalConnection(false);
    setRequestedDeferredConnection(false);
    setFailedToResolve(false);
    setConnectionAttemptDate(kReferenceDate1970);
    setDisconnectionAttemptDate(kReferenceDate1970);
    setStateChangeDate(platform::wallNow());
    setDisplayMechanism(QNBUnknownMechanism);
    setClientMajorVersion(1);
    setClientMinorVersion(0);
    setClientSubVersion(0);
    setLastConnectionLocalHint(false);
    setCurrentIdentifierType(QNBUninitialized);
}

const ns::KeyTable& QNBDisplayModel::classKeys() {
    using M = QNBDisplayModel;
    static const ns::KeyTable table =
        ns::KeyTable(kClassName, &NSObject::classKeys())
            .property("objectVersion", &M::objectVersion, &M::setObjectVersion)
            .property("serviceKey", &M::serviceKey, &M::setServiceKey)
            .property("deviceIdentifier", &M::deviceIdentifier, &M::setDeviceIdentifier)
            .property("addressIdentifier", &M::addressIdentifier, &M::setAddressIdentifier)
            .property("uniqueIdentifier", &M::uniqueIdentifier, &M::setUniqueIdentifier)
            .property("currentIdentifierType", &M::currentIdentifierType, &M::setCurrentIdentifierType)
            .property("hostName", &M::hostName, &M::setHostName)
            .property("displayName", &M::displayName, &M::setDisplayName)
            .property("platformName", &M::platformName, &M::setPlatformName)
            .property("displayType", &M::displayType)
            .affecting("displayType", {"platformName"})
            .property("displayMechanism", &M::displayMechanism, &M::setDisplayMechanism)
            .property("stateType", &M::stateType, &M::setStateType)
            .property("stateTypeNumber", &M::stateTypeNumber)
            .affecting("stateTypeNumber", {"stateType"})
            .property("connectingState", &M::connectingState, &M::setConnectingState)
            .property("connected", &M::connected, &M::setConnected)
            .property("localConnection", &M::localConnection, &M::setLocalConnection)
            .property("inBackground", &M::inBackground, &M::setInBackground)
            .property("availability", &M::availability, &M::setAvailability)
            .property("availabilityString", &M::availabilityString, &M::setAvailabilityString)
            .property("useBatteryLevel", &M::useBatteryLevel, &M::setUseBatteryLevel)
            .property("batteryLevel", &M::batteryLevel, &M::setBatteryLevel)
            .property("stylusSupported", &M::stylusSupported, &M::setStylusSupported)
            .property("autoConnectMode", &M::autoConnectMode, &M::setAutoConnectMode)
            .property("presentationMode", &M::presentationMode, &M::setPresentationMode)
            .property("requestedDeferredConnection", &M::requestedDeferredConnection,
                      &M::setRequestedDeferredConnection)
            .property("failedToResolve", &M::failedToResolve, &M::setFailedToResolve)
            .property("lastConnectionLocalHint", &M::lastConnectionLocalHint, &M::setLastConnectionLocalHint)
            .property("clientMajorVersion", &M::clientMajorVersion, &M::setClientMajorVersion)
            .property("clientMinorVersion", &M::clientMinorVersion, &M::setClientMinorVersion)
            .property("clientSubVersion", &M::clientSubVersion, &M::setClientSubVersion);
    return table;
}

// Setters.

void QNBDisplayModel::changeIdentifier(const char* key, Text& field, Text value) {
    if (value && value->empty()) value.reset();
    change(key, field, std::move(value));
}

void QNBDisplayModel::setObjectVersion(Text value) {
    change("objectVersion", m_objectVersion, std::move(value));
}
void QNBDisplayModel::setServiceKey(Text value) {
    changeIdentifier("serviceKey", m_serviceKey, std::move(value));
}
void QNBDisplayModel::setDeviceIdentifier(Text value) {
    changeIdentifier("deviceIdentifier", m_deviceIdentifier, std::move(value));
}
void QNBDisplayModel::setAddressIdentifier(Text value) {
    changeIdentifier("addressIdentifier", m_addressIdentifier, std::move(value));
}
void QNBDisplayModel::setUniqueIdentifier(Text value) {
    changeIdentifier("uniqueIdentifier", m_uniqueIdentifier, std::move(value));
}
void QNBDisplayModel::setCurrentIdentifierType(int64_t value) {
    change("currentIdentifierType", m_currentIdentifierType, value);
}

const QNBDisplayModel::Text& QNBDisplayModel::identifierOfType(int64_t type) const {
    static const Text none;
    switch (type) {
    case QNBAddressIdentifier:
        return m_addressIdentifier;
    case QNBServiceKey:
        return m_serviceKey;
    case QNBDeviceIdentifier:
        return m_deviceIdentifier;
    default:
        return none;
    }
}

void QNBDisplayModel::identifyByFirstIdentifier() {
    for (int64_t type : {QNBDeviceIdentifier, QNBServiceKey, QNBAddressIdentifier}) {
        if (identifierOfType(type)) {
            setUniqueIdentifier(identifierOfType(type));
            setCurrentIdentifierType(type);
            return;
        }
    }
}

void QNBDisplayModel::setHostName(Text value) {
    willChangeValueForKey("hostName");
    if (value) m_hostName = std::move(value);
    didChangeValueForKey("hostName");
}
void QNBDisplayModel::setDisplayName(Text value) {
    change("displayName", m_displayName, std::move(value));
}

void QNBDisplayModel::setPlatformName(Text value) {
    willChangeValueForKey("platformName");
    willChangeValueForKey("displayType");
    m_platformName = std::move(value);
    didChangeValueForKey("displayType");
    didChangeValueForKey("platformName");
}

void QNBDisplayModel::setDisplayMechanism(uint64_t value) {
    change("displayMechanism", m_displayMechanism, value);
    updateAvailabilityString();
}
void QNBDisplayModel::setStateType(uint64_t value) {
    change("stateType", m_stateType, value);
}
void QNBDisplayModel::setConnectingState(uint64_t value) {
    change("connectingState", m_connectingState, value);
}

void QNBDisplayModel::setConnected(bool value) {
    willChangeValueForKey("connected");
    m_connected = value;
    updateAllState();
    didChangeValueForKey("connected");
}

void QNBDisplayModel::setLocalConnection(bool value) {
    willChangeValueForKey("localConnection");
    m_localConnection = value;
    if (value) setLastConnectionLocalHint(true);
    updateAllState();
    didChangeValueForKey("localConnection");
}

void QNBDisplayModel::setInBackground(bool value) {
    willChangeValueForKey("inBackground");
    m_inBackground = value;
    updateStateType();
    updateAvailabilityString();
    didChangeValueForKey("inBackground");
}

void QNBDisplayModel::setAvailability(bool value) {
    willChangeValueForKey("availability");
    m_availability = value;
    updateStateType();
    updateAvailabilityString();
    didChangeValueForKey("availability");
}

void QNBDisplayModel::setAvailabilityString(std::string value) {
    change("availabilityString", m_availabilityString, std::move(value));
}
void QNBDisplayModel::setUseBatteryLevel(bool value) {
    change("useBatteryLevel", m_useBatteryLevel, value);
}
void QNBDisplayModel::setBatteryLevel(double value) {
    change("batteryLevel", m_batteryLevel, value);
}
void QNBDisplayModel::setStylusSupported(bool value) {
    change("stylusSupported", m_stylusSupported, value);
}
void QNBDisplayModel::setAutoConnectMode(bool value) {
    change("autoConnectMode", m_autoConnectMode, value);
}
void QNBDisplayModel::setPresentationMode(bool value) {
    change("presentationMode", m_presentationMode, value);
}
void QNBDisplayModel::setRequestedDeferredConnection(bool value) {
    change("requestedDeferredConnection", m_requestedDeferredConnection, value);
}
void QNBDisplayModel::setFailedToResolve(bool value) {
    change("failedToResolve", m_failedToResolve, value);
}
void QNBDisplayModel::setLastConnectionLocalHint(bool value) {
    change("lastConnectionLocalHint", m_lastConnectionLocalHint, value);
}
void QNBDisplayModel::setConnectionAttemptDate(Date value) {
    change("connectionAttemptDate", m_connectionAttemptDate, value);
}
void QNBDisplayModel::setDisconnectionAttemptDate(Date value) {
    change("disconnectionAttemptDate", m_disconnectionAttemptDate, value);
}
void QNBDisplayModel::setStateChangeDate(Date value) {
    change("stateChangeDate", m_stateChangeDate, value);
}
void QNBDisplayModel::setClientMajorVersion(uint64_t value) {
    change("clientMajorVersion", m_clientMajorVersion, value);
}
void QNBDisplayModel::setClientMinorVersion(uint64_t value) {
    change("clientMinorVersion", m_clientMinorVersion, value);
}
void QNBDisplayModel::setClientSubVersion(uint64_t value) {
    change("clientSubVersion", m_clientSubVersion, value);
}

// The state chain.

void QNBDisplayModel::updateAllState() {
    updateAvailability();
}

void QNBDisplayModel::updateAvailability() {
    // A device on this Mac's cable is served by the screen server as soon as it is attached: idle
    // it offers nothing to connect, but once connected it is this Mac's display like any other,
    // listed connected, and the person can end it.
    bool available;
    if (m_connected)
        available = m_localConnection;
    else
        available = m_displayMechanism != QNBUSBConnectionMechanism;
    setAvailability(available);
}

void QNBDisplayModel::updateStateType() {
    uint64_t state;
    if (!m_connected)
        state = QNBTesselListingIdleType;
    else if (m_inBackground)
        state = QNBTesselListingInactiveType;
    else
        state = m_availability ? QNBTesselListingConnectedType : QNBTesselListingUnavailableType;
    if (state != m_stateType) {
        setStateType(state);
        if (auto delegate = m_delegate.lock()) {
            delegate->stateTypeUpdateForDisplayModel(*this);
            setStateChangeDate(platform::wallNow());
        }
    }
    updateAvailabilityString();
}

void QNBDisplayModel::updateAvailabilityString() {
    std::string text;
    if (m_stateType == QNBTesselListingInactiveType)
        text = m_inactiveText;
    else if (m_stateType == QNBTesselListingUnavailableType)
        text = m_unavailableText;
    else
        text = m_availableText;
    if (m_displayMechanism == QNBUSBConnectionMechanism) text = m_usbConnectionText;
    if (text != m_availabilityString) setAvailabilityString(std::move(text));
}

void QNBDisplayModel::resetDeferredConnectionState() {
    setRequestedDeferredConnection(false);
    setFailedToResolve(false);
}

// Platform and predicates.

uint64_t QNBDisplayModel::displayType() const {
    const Text& p = m_platformName;
    if (platformContains(p, "MacOSX")) return QNBMonitorDisplayType;
    if (platformContains(p, "iPhone") || platformContains(p, "iPod")) return QNBiPhoneDisplayType;
    if (platformContains(p, "iPad_Stylus")) return QNBiPadStylusDisplayType;
    if (platformContains(p, "iPad")) return QNBiPadDisplayType;
    if (platformContains(p, "Android_phone")) return QNBiPhoneDisplayType;
    if (platformContains(p, "Android_tablet") || platformContains(p, "Surface")) return QNBiPadDisplayType;
    if (platformContains(p, "Windows")) return QNBMonitorDisplayType;
    return QNBiPadDisplayType;
}

bool QNBDisplayModel::isMacClient() const {
    return platformContains(m_platformName, "MacOSX");
}
bool QNBDisplayModel::isWinClient() const {
    return platformContains(m_platformName, "Windows") || platformContains(m_platformName, "Surface");
}
bool QNBDisplayModel::isAndroidClient() const {
    return platformContains(m_platformName, "Android");
}
bool QNBDisplayModel::isiOSClient() const {
    return platformContains(m_platformName, "iPhone") || platformContains(m_platformName, "iPod") ||
           platformContains(m_platformName, "iPad");
}
bool QNBDisplayModel::alwaysAllowMultipleConnections() const {
    if (isiOSClient()) return false;
    return m_platformName.has_value();
}
bool QNBDisplayModel::isExilable() const {
    if (m_clientMajorVersion > 1) return false;
    return !alwaysAllowMultipleConnections();
}
bool QNBDisplayModel::isDisconnectable() const {
    return m_connected && m_localConnection && !m_autoConnectMode;
}
bool QNBDisplayModel::allowedToAutoConnect() const {
    return m_displayMechanism != QNBNetworkAddressMechanism;
}
bool QNBDisplayModel::hasActiveConnection() const {
    return m_localConnection && m_connected && !m_inBackground;
}
bool QNBDisplayModel::hasBackgroundConnection() const {
    return m_localConnection && m_inBackground;
}
bool QNBDisplayModel::hasUSBMechanism() const {
    return m_displayMechanism == QNBUSBConnectionMechanism;
}

// Versions.

std::optional<cf::Value> QNBDisplayModel::versionDictionary() const {
    if (!m_objectVersion) return std::nullopt;
    std::vector<std::string> parts;
    std::string_view rest = *m_objectVersion;
    for (;;) {
        size_t at = rest.find("; ");
        parts.emplace_back(rest.substr(0, at));
        if (at == std::string_view::npos) break;
        rest.remove_prefix(at + 2);
    }
    if (parts.size() < 5) return std::nullopt;
    cf::Dictionary d;
    d.insert_or_assign("class", cf::Value(parts[0]));
    d.insert_or_assign("version", cf::Value(parts[2]));
    d.insert_or_assign("build", cf::Value(parts[4]));
    return cf::Value(std::move(d));
}

uint64_t QNBDisplayModel::version() const {
    auto dictionary = versionDictionary();
    if (!dictionary) return ns::NSNotFound;
    const cf::Value* text = dictionary->find("version");
    auto number = text && text->asString() ? ns::numberFromString(*text->asString()) : std::nullopt;
    if (!number) return ns::NSNotFound;
    return number->unsignedIntegerValue();
}

bool QNBDisplayModel::objectVersionAtLeast(uint64_t wanted) const {
    uint64_t v = version();
    if (v == ns::NSNotFound) return wanted == 1;
    return v >= wanted;
}

std::shared_ptr<QNBDisplayModel> QNBDisplayModel::copy() const {
    auto other = create();
    other->setObjectVersion(m_objectVersion);
    other->setServiceKey(m_serviceKey);
    other->setAddressIdentifier(m_addressIdentifier);
    other->setDeviceIdentifier(m_deviceIdentifier);
    other->setUniqueIdentifier(m_uniqueIdentifier);
    other->setCurrentIdentifierType(m_currentIdentifierType);
    other->setHostName(m_hostName);
    other->setDisplayName(m_displayName);
    other->setClientMajorVersion(m_clientMajorVersion);
    other->setClientMinorVersion(m_clientMinorVersion);
    other->setClientSubVersion(m_clientSubVersion);
    other->setAutoConnectMode(m_autoConnectMode);
    return other;
}

std::string QNBDisplayModel::description() const {
    return platform::format(
        "<%@: %p> name = %@, type = %@ state = %@, version = %lu.%lu.%lu, autoconnect = %@, "
        "uniqueIdentifier = %@, currentIdentifierType = %@",
        className(), static_cast<const void*>(this), m_displayName.value_or("(null)"),
        NSStringFromQNBTesselType(displayType()), NSStringFromQNBDisplayModelStateType(m_stateType),
        m_clientMajorVersion, m_clientMinorVersion, m_clientSubVersion, m_autoConnectMode ? "YES" : "NO",
        m_uniqueIdentifier.value_or("(null)"), NSStringFromQNBCurrentIdentifierType(m_currentIdentifierType));
}

} // namespace foundation
