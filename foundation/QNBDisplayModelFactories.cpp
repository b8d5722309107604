// The ways a model comes to be: from a Bonjour service and its TXT record, a typed-in address,
// the screen server's report of a connection, or the merge of several models of one device; and
// how a listed model takes the state of a newer one.
#include "foundation/QNBBonjourServiceHelper.h"
#include "foundation/QNBDisplayModel.h"
#include "foundation/QNBDisplayQuery.h"
#include "foundation/StringAdditions.h"
#include "foundation/Vocabulary.h"
#include "platform/core/Log.h"
#include "platform/foundation/NSString.h"
#include "platform/services/NSNetService.h"

#include <algorithm>
#include <cmath>

namespace foundation {

namespace {

// The UTF-8 text under key of a TXT dictionary (key to data); nothing when absent, not data,
// empty (a key the device sends without a value names nothing) or not valid UTF-8.
std::optional<std::string> txtText(const cf::Value& txt, std::string_view key) {
    const cf::Value* value = txt.find(key);
    if (!value || !value->asData()) return std::nullopt;
    return stringWithData(*value->asData());
}

// A decimal formatter's reading of text as a non-negative whole number; nothing for no number,
// a negative one or one past the 64-bit range.
std::optional<uint64_t> unsignedFromText(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    auto number = ns::numberFromString(*text);
    if (!number) return std::nullopt;
    if (auto integer = number->storedInteger()) {
        if (*integer < 0) return std::nullopt;
        return static_cast<uint64_t>(*integer);
    }
    double real = number->doubleValue();
    if (!std::isfinite(real) || real < 0 || real >= 9.2e18) return std::nullopt;
    return static_cast<uint64_t>(real);
}

// A text of the notification's userInfo; nothing when absent or of another kind.
std::optional<std::string> infoText(const cf::Value& info, std::string_view key) {
    const cf::Value* value = info.find(key);
    if (!value || !value->asString()) return std::nullopt;
    return *value->asString();
}

} // namespace

bool QNBDisplayModel::connectionStateFromTxtRecord(const cf::Value& txtRecord) {
    if (txtRecord.find(kClientProtocolVersionMajorKey)) {
        auto major = unsignedFromText(txtText(txtRecord, kClientProtocolVersionMajorKey));
        if (major && *major >= 3) return false;
    }
    return txtText(txtRecord, kLimnerConnectionStateKey) == std::optional<std::string>("Connected");
}

QNBDisplayModel::Text
QNBDisplayModel::deviceIdentifierFromService(const std::shared_ptr<ns::NSNetService>& service) {
    if (!service) return std::nullopt;
    auto data = service->TXTRecordData();
    if (!data) return std::nullopt;
    auto txt = ns::NSNetService::dictionaryFromTXTRecordData(*data);
    if (!txt) return std::nullopt;
    return txtText(*txt, kDeviceIdentifierKey);
}

uint64_t QNBDisplayModel::mechanismFromNumberString(const Text& text) {
    auto value = unsignedFromText(text);
    if (!value || *value < QNBBonjourDiscoveryMechanism || *value > QNBBonjourServiceVanished) return 0;
    return *value;
}

std::shared_ptr<QNBDisplayModel>
QNBDisplayModel::displayModelWithService(const std::shared_ptr<ns::NSNetService>& service) {
    if (!service) return nullptr;
    return displayModelWithServiceAndTXTRecordData(service, service->TXTRecordData());
}

std::shared_ptr<QNBDisplayModel>
QNBDisplayModel::displayModelWithServiceAndTXTRecordData(const std::shared_ptr<ns::NSNetService>& service,
                                                         const std::optional<cf::Bytes>& txtRecordData) {
    if (!service) return nullptr;
    auto model = create();
    model->setDisplayMechanism(QNBBonjourDiscoveryMechanism);
    model->setNetService(service);
    model->setServiceKey(QNBBonjourServiceHelper::serviceKeyForService(*service));
    model->setHostName(service->hostName());
    model->setDisplayName(service->name());

    std::optional<cf::Value> txt;
    if (txtRecordData) txt = ns::NSNetService::dictionaryFromTXTRecordData(*txtRecordData);
    if (txt && txt->count() >= 2) {
        bool connected = connectionStateFromTxtRecord(*txt);
        model->setConnected(connected);
        model->setAvailability(!connected);
        model->setInBackground(false);

        // A level that reads as no finite number is no level at all.
        auto battery = txtText(*txt, kBatteryLevelKey);
        double level = battery ? ns::doubleValue(*battery) : NAN;
        if (std::isfinite(level)) {
            model->setBatteryLevel(std::clamp(level, 0.0, 1.0));
            model->setUseBatteryLevel(true);
        } else {
            model->setBatteryLevel(0);
            model->setUseBatteryLevel(false);
        }
        model->setPlatformName(txtText(*txt, kLimnerPlatformNameKey));
        if (txtText(*txt, kStylusSupportEnabled) == std::optional<std::string>("YES"))
            model->setStylusSupported(true);
        model->setDeviceIdentifier(txtText(*txt, kDeviceIdentifierKey));
        model->setClientMajorVersion(
            unsignedFromText(txtText(*txt, kClientProtocolVersionMajorKey)).value_or(0));
        model->setClientMinorVersion(
            unsignedFromText(txtText(*txt, kClientProtocolVersionMinorKey)).value_or(0));
        model->setClientSubVersion(unsignedFromText(txtText(*txt, kClientProtocolVersionSubKey)).value_or(0));
    }

    if (model->deviceIdentifier()) {
        model->setCurrentIdentifierType(QNBDeviceIdentifier);
        model->setUniqueIdentifier(model->deviceIdentifier());
    } else {
        model->setCurrentIdentifierType(QNBServiceKey);
        model->setUniqueIdentifier(model->serviceKey());
    }
    return model;
}

std::shared_ptr<QNBDisplayModel> QNBDisplayModel::displayModelWithAddressString(const std::string& address) {
    auto model = create();
    model->setDisplayMechanism(QNBNetworkAddressMechanism);
    model->setAddressIdentifier(QNBBonjourServiceHelper::serviceKeyForAddressString(address));
    model->setUniqueIdentifier(model->addressIdentifier());
    model->setCurrentIdentifierType(QNBAddressIdentifier);
    model->setHostName(address);
    model->setDisplayName(address);
    model->setConnected(false);
    model->setAvailability(true);
    model->setInBackground(false);
    model->setBatteryLevel(0);
    model->setUseBatteryLevel(false);
    return model;
}

std::shared_ptr<QNBDisplayModel>
QNBDisplayModel::displayModelWithNotificationDictionary(const std::optional<cf::Value>& info) {
    if (!info) return nullptr;
    if (!info->asDictionary()) {
        platform::log("QNBDisplayModel: a server-connected report that is no dictionary: %@", *info);
        return nullptr;
    }
    auto model = create();
    model->setDisplayMechanism(mechanismFromNumberString(infoText(*info, kConnectionMechanism)));
    // The setters store "" as absent: the screen server sends "" for a device without that
    // identifier, and the first identifier the device does have must identify it.
    model->setServiceKey(infoText(*info, kServiceKey));
    model->setAddressIdentifier(infoText(*info, kAddressIdentifier));
    model->setDeviceIdentifier(infoText(*info, kDeviceIdentifier));
    model->identifyByFirstIdentifier();
    auto name = infoText(*info, kDisplayNameKey);
    model->setHostName(name);
    model->setDisplayName(name);
    model->setConnected(true);
    model->setStateType(QNBTesselListingConnectedType);
    model->setAvailability(true);
    model->setInBackground(false);
    model->setBatteryLevel(0);
    model->setUseBatteryLevel(false);
    model->setPlatformName(infoText(*info, kLimnerPlatformNameKey));
    return model;
}

std::shared_ptr<QNBDisplayModel>
QNBDisplayModel::displayModelWithDisplayQuery(const std::shared_ptr<QNBDisplayQuery>& query) {
    if (!query || !query->hosted()) return nullptr;
    const Text& device = query->deviceIdentifier();
    const Text& name = query->displayName();
    // The model setters keep an empty identifier as none: such a model would have no identity.
    if (!device || device->empty() || !name || name->empty()) return nullptr;
    auto model = create();
    model->setDeviceIdentifier(device);
    model->setUniqueIdentifier(device);
    model->setCurrentIdentifierType(QNBDeviceIdentifier);
    model->setHostName(query->hostName());
    model->setServiceKey(query->serviceKey());
    model->setDisplayMechanism(query->hasUSBMechanism() ? QNBUSBConnectionMechanism
                                                        : QNBNetworkConnectionMechanism);
    model->setStateType(!query->connected()   ? QNBTesselListingIdleType
                        : query->background() ? QNBTesselListingInactiveType
                                              : QNBTesselListingConnectedType);
    return model;
}

std::shared_ptr<QNBDisplayQuery> QNBDisplayModel::displayQuery() const {
    auto query = std::make_shared<QNBDisplayQuery>();
    query->setHostName(hostName());
    query->setDisplayName(displayName());
    query->setServiceKey(serviceKey());
    query->setConnected(false);
    query->setHosted(false);
    return query;
}

bool QNBDisplayModel::matchesDisplayQuery(const QNBDisplayQuery& query) const {
    auto same = [](const Text& mine, const Text& theirs) { return mine && !mine->empty() && mine == theirs; };
    return same(deviceIdentifier(), query.deviceIdentifier()) || same(serviceKey(), query.serviceKey());
}

std::shared_ptr<QNBDisplayModel>
QNBDisplayModel::mergeDuplicateDisplayModels(const std::vector<std::shared_ptr<QNBDisplayModel>>& models) {
    std::shared_ptr<QNBDisplayModel> base;
    for (const auto& other : models) {
        if (!other) continue;
        if (!base) {
            base = other;
            continue;
        }
        if (other == base) continue;
        if (base->displayMechanism() == QNBUnknownMechanism)
            base->setDisplayMechanism(other->displayMechanism());
        if (!base->uniqueIdentifier() || base->currentIdentifierType() == QNBUninitialized) {
            base->setUniqueIdentifier(other->uniqueIdentifier());
            base->setCurrentIdentifierType(other->currentIdentifierType());
        }
        if (!base->deviceIdentifier()) base->setDeviceIdentifier(other->deviceIdentifier());
        if (!base->serviceKey()) base->setServiceKey(other->serviceKey());
        if (!base->addressIdentifier()) base->setAddressIdentifier(other->addressIdentifier());
        if (!base->hostName()) base->setHostName(other->hostName());
        if (!base->platformName()) base->setPlatformName(other->platformName());
        // Each number on its own: 2.5.0 merged with 3.0.0 gives 3.5.0.
        base->setClientMajorVersion(std::max(base->clientMajorVersion(), other->clientMajorVersion()));
        base->setClientMinorVersion(std::max(base->clientMinorVersion(), other->clientMinorVersion()));
        base->setClientSubVersion(std::max(base->clientSubVersion(), other->clientSubVersion()));
    }
    return base;
}

void QNBDisplayModel::updateStateWithDisplayModel(const QNBDisplayModel& newer) {
    if (newer.connected() != m_connected && newer.connected()) setLastConnectionLocalHint(false);
    if (newer.platformName() && !newer.platformName()->empty()) setPlatformName(newer.platformName());
    if (newer.displayName() && !newer.displayName()->empty()) setDisplayName(newer.displayName());
    setClientMajorVersion(newer.clientMajorVersion());
    setClientMinorVersion(newer.clientMinorVersion());
    setClientSubVersion(newer.clientSubVersion());
    setConnected(newer.connected());
    if (newer.currentIdentifierType() == QNBServiceKey) {
        setBatteryLevel(newer.batteryLevel());
        setHostName(newer.hostName());
    }
    // A newer model without any identifier leaves this one's identity as it is.
    if (newer.uniqueIdentifier()) {
        setUniqueIdentifier(newer.uniqueIdentifier());
        setCurrentIdentifierType(newer.currentIdentifierType());
        switch (newer.currentIdentifierType()) {
        case QNBAddressIdentifier:
            setAddressIdentifier(newer.addressIdentifier());
            break;
        case QNBDeviceIdentifier:
            setDeviceIdentifier(newer.deviceIdentifier());
            break;
        case QNBServiceKey:
            setServiceKey(newer.serviceKey());
            break;
        default:
            break;
        }
    }
    setStateType(newer.stateType());
    setDisplayMechanism(newer.displayMechanism());
    updateAllState();
}

void QNBDisplayModel::updateArchivedStateWithDisplayModel(const QNBDisplayModel& archived) {
    setAutoConnectMode(archived.autoConnectMode());
    setPresentationMode(archived.presentationMode());
}

} // namespace foundation
