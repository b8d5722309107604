#include "foundation/QNBDisplayQuery.h"

#include "foundation/Vocabulary.h"

#include "platform/core/Format.h"
#include "platform/core/Log.h"

namespace foundation {

namespace {

constexpr char kServiceKeyField[] = "serviceKey";
constexpr char kHostNameField[] = "hostName";
constexpr char kDisplayNameField[] = "displayName";
constexpr char kDeviceIdentifierField[] = "deviceIdentifier";
constexpr char kAddressIdentifierField[] = "addressIdentifier";
constexpr char kHostedField[] = "hosted";
constexpr char kConnectedField[] = "connected";
constexpr char kUpdatingField[] = "updating"; // the background flag, under its older name
constexpr char kHasUSBMechanismField[] = "hasUSBMechanism";

QNBDisplayQuery::Text textField(const cf::Value& dictionary, const char* key) {
    const cf::Value* value = dictionary.find(key);
    if (!value || !value->isString()) return std::nullopt;
    return *value->asString();
}

// The record travels between processes, so a flag of an unexpected kind (a collection, data,
// a date) is read as NO rather than guessed at.
bool flagField(const cf::Value& dictionary, const char* key) {
    const cf::Value* value = dictionary.find(key);
    if (!value || !(value->isString() || value->isNumber() || value->isBoolean())) return false;
    return value->boolValue();
}

std::string yesNo(bool flag) { return flag ? "YES" : "NO"; }

} // namespace

QNBDisplayQuery::Text QNBDisplayQuery::serviceKeyWithDictionary(const cf::Value& d) { return textField(d, kServiceKeyField); }
QNBDisplayQuery::Text QNBDisplayQuery::hostNameWithDictionary(const cf::Value& d) { return textField(d, kHostNameField); }
QNBDisplayQuery::Text QNBDisplayQuery::displayNameWithDictionary(const cf::Value& d) {
    return textField(d, kDisplayNameField);
}
QNBDisplayQuery::Text QNBDisplayQuery::deviceIdentifierWithDictionary(const cf::Value& d) {
    return textField(d, kDeviceIdentifierField);
}
QNBDisplayQuery::Text QNBDisplayQuery::addressIdentifierWithDictionary(const cf::Value& d) {
    return textField(d, kAddressIdentifierField);
}
bool QNBDisplayQuery::hostedWithDictionary(const cf::Value& d) { return flagField(d, kHostedField); }
bool QNBDisplayQuery::connectedWithDictionary(const cf::Value& d) { return flagField(d, kConnectedField); }
bool QNBDisplayQuery::updatingWithDictionary(const cf::Value& d) { return flagField(d, kUpdatingField); }
bool QNBDisplayQuery::hasUSBMechanismWithDictionary(const cf::Value& d) { return flagField(d, kHasUSBMechanismField); }

std::shared_ptr<QNBDisplayQuery> QNBDisplayQuery::queryWithDictionary(const std::optional<cf::Value>& dictionary) {
    if (!dictionary || !dictionary->isDictionary()) return nullptr;
    const cf::Value& d = *dictionary;
    Text serviceKey = serviceKeyWithDictionary(d), hostName = hostNameWithDictionary(d),
         displayName = displayNameWithDictionary(d), deviceIdentifier = deviceIdentifierWithDictionary(d),
         addressIdentifier = addressIdentifierWithDictionary(d);
    if (!serviceKey || !hostName || !displayName || !deviceIdentifier || !addressIdentifier) return nullptr;

    auto query = std::make_shared<QNBDisplayQuery>();
    query->setServiceKey(std::move(serviceKey));
    query->setHostName(std::move(hostName));
    query->setDisplayName(std::move(displayName));
    query->setDeviceIdentifier(std::move(deviceIdentifier));
    query->setAddressIdentifier(std::move(addressIdentifier));
    query->setHosted(hostedWithDictionary(d));
    query->setConnected(connectedWithDictionary(d));
    query->setBackground(updatingWithDictionary(d));
    query->setHasUSBMechanism(hasUSBMechanismWithDictionary(d));
    return query;
}

std::optional<std::vector<std::shared_ptr<QNBDisplayQuery>>>
QNBDisplayQuery::queryArrayWithDictionary(const std::optional<cf::Value>& message) {
    const cf::Value* entries = message ? message->find(kDisplayHostingQueryArrayKey) : nullptr;
    if (!entries || !entries->isArray()) {
        platform::log("QNBDisplayQuery: refusing a hosting response without an array of records");
        return std::nullopt;
    }
    std::vector<std::shared_ptr<QNBDisplayQuery>> queries;
    for (const cf::Value& entry : *entries->asArray()) {
        if (auto query = queryWithDictionary(entry)) queries.push_back(std::move(query));
        else platform::log("QNBDisplayQuery: skipping an incomplete hosting record");
    }
    if (queries.empty()) return std::nullopt;
    return queries;
}

cf::Value QNBDisplayQuery::dictionaryWithQueries(const std::vector<std::shared_ptr<QNBDisplayQuery>>& queries) {
    cf::Array records;
    for (const auto& query : queries)
        if (query) records.push_back(query->propertyListDictionary());
    return cf::Dictionary{{kDisplayHostingQueryArrayKey, cf::Value(std::move(records))}};
}

cf::Value QNBDisplayQuery::propertyListDictionary() const {
    return cf::Dictionary{
        {kServiceKeyField, cf::Value(m_serviceKey.value_or(""))},
        {kHostNameField, cf::Value(m_hostName.value_or(""))},
        {kDisplayNameField, cf::Value(m_displayName.value_or(""))},
        {kDeviceIdentifierField, cf::Value(m_deviceIdentifier.value_or(""))},
        {kAddressIdentifierField, cf::Value(m_addressIdentifier.value_or(""))},
        {kHostedField, cf::Value(yesNo(m_hosted))},
        {kConnectedField, cf::Value(yesNo(m_connected))},
        {kUpdatingField, cf::Value(yesNo(m_background))},
        {kHasUSBMechanismField, cf::Value(yesNo(m_hasUSBMechanism))},
    };
}

std::string QNBDisplayQuery::description() const {
    std::string inherited = platform::format("<QNBDisplayQuery: %p>", static_cast<const void*>(this));
    return platform::format("%@\nserviceKey: %@\nhostName: %@\ndisplayName: %@\nhosted: %@\nbackground: "
                            "%@\nhasUSBMechanism: %@\ndeviceIdentifier: %@\naddressIdentifier: %@\n",
                            inherited, m_serviceKey, m_hostName, m_displayName, yesNo(m_hosted), yesNo(m_background),
                            yesNo(m_hasUSBMechanism), m_deviceIdentifier, m_addressIdentifier);
}

} // namespace foundation
