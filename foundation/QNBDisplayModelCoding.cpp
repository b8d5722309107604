// A model's keyed-archive form: twelve keys, the identifiers only from version 2 on. Archives
// come from disk and may be damaged or hostile: a key of another kind than written reads as
// absent (one log line), an identifier type outside the known ones as none.
#include "foundation/QNBDisplayModel.h"
#include "platform/core/Log.h"
#include "platform/foundation/NSKeyedArchiver.h"

#include <mutex>

namespace foundation {

namespace {

constexpr char kObjectVersionKey[] = "objectVersion";
constexpr char kServiceKeyKey[] = "serviceKey";
constexpr char kHostNameKey[] = "hostName";
constexpr char kDisplayNameKey[] = "displayName";
constexpr char kAutoConnectModeKey[] = "autoConnectMode";
constexpr char kClientMajorVersionKey[] = "clientMajorVersion";
constexpr char kClientMinorVersionKey[] = "clientMinorVersion";
constexpr char kClientSubVersionKey[] = "clientSubVersion";
constexpr char kAddressIdentifierKey[] = "addressIdentifier";
constexpr char kDeviceIdentifierKey[] = "deviceIdentifier";
constexpr char kUniqueIdentifierKey[] = "uniqueIdentifier";
constexpr char kCurrentIdentifierTypeKey[] = "currentIdentifierType";

ns::ArchivedObject textObject(const QNBDisplayModel::Text& text) {
    return text ? ns::ArchivedObject(cf::Value(*text)) : ns::ArchivedObject();
}

void logWrongKind(std::string_view key, std::string_view expected) {
    platform::log("QNBDisplayModel: archived \"%@\" is not %@; read as absent", key, expected);
}

QNBDisplayModel::Text decodeText(ns::NSKeyedUnarchiver& coder, std::string_view key) {
    ns::ArchivedObject object = coder.decodeObject(key);
    if (object.isNil()) return std::nullopt;
    if (object.value() && object.value()->asString()) return *object.value()->asString();
    logWrongKind(key, "a text");
    return std::nullopt;
}

// A non-negative integer; 0 when absent, of another kind or negative.
uint64_t decodeCount(ns::NSKeyedUnarchiver& coder, std::string_view key) {
    if (!coder.containsValueForKey(key)) return 0;
    auto number = coder.decodeNumber(key);
    if (!number) {
        logWrongKind(key, "a number");
        return 0;
    }
    int64_t value = number->integerValue();
    if (value < 0) {
        logWrongKind(key, "a count");
        return 0;
    }
    return static_cast<uint64_t>(value);
}

} // namespace

void QNBDisplayModel::registerArchiveClass() {
    static std::once_flag once;
    std::call_once(once, [] {
        ns::registerArchiveClass<QNBDisplayModel>(
            kClassName,
            [](const QNBDisplayModel& model, ns::NSKeyedArchiver& coder) { model.encodeWithCoder(coder); },
            [](ns::NSKeyedUnarchiver& coder) { return initWithCoder(coder); });
    });
}

void QNBDisplayModel::encodeWithCoder(ns::NSKeyedArchiver& coder) const {
    coder.encodeObject(textObject(m_objectVersion), kObjectVersionKey);
    coder.encodeObject(textObject(m_serviceKey), kServiceKeyKey);
    coder.encodeObject(textObject(m_hostName), kHostNameKey);
    coder.encodeObject(textObject(m_displayName), kDisplayNameKey);
    coder.encodeBool(m_autoConnectMode, kAutoConnectModeKey);
    coder.encodeInteger(static_cast<int64_t>(m_clientMajorVersion), kClientMajorVersionKey);
    coder.encodeInteger(static_cast<int64_t>(m_clientMinorVersion), kClientMinorVersionKey);
    coder.encodeInteger(static_cast<int64_t>(m_clientSubVersion), kClientSubVersionKey);
    coder.encodeObject(textObject(m_addressIdentifier), kAddressIdentifierKey);
    coder.encodeObject(textObject(m_deviceIdentifier), kDeviceIdentifierKey);
    coder.encodeObject(textObject(m_uniqueIdentifier), kUniqueIdentifierKey);
    coder.encodeInteger(m_currentIdentifierType, kCurrentIdentifierTypeKey);
}

std::shared_ptr<QNBDisplayModel> QNBDisplayModel::initWithCoder(ns::NSKeyedUnarchiver& coder) {
    auto model = create();
    model->setObjectVersion(decodeText(coder, kObjectVersionKey));
    model->setServiceKey(decodeText(coder, kServiceKeyKey));
    model->setHostName(decodeText(coder, kHostNameKey));
    model->setDisplayName(decodeText(coder, kDisplayNameKey));
    model->setAutoConnectMode(coder.decodeBool(kAutoConnectModeKey));
    model->setClientMajorVersion(decodeCount(coder, kClientMajorVersionKey));
    model->setClientMinorVersion(decodeCount(coder, kClientMinorVersionKey));
    model->setClientSubVersion(decodeCount(coder, kClientSubVersionKey));
    if (!model->objectVersionAtLeast(2)) return model;
    model->setAddressIdentifier(decodeText(coder, kAddressIdentifierKey));
    model->setDeviceIdentifier(decodeText(coder, kDeviceIdentifierKey));
    model->setUniqueIdentifier(decodeText(coder, kUniqueIdentifierKey));
    uint64_t type = decodeCount(coder, kCurrentIdentifierTypeKey);
    if (type > QNBDeviceIdentifier) {
        platform::log("QNBDisplayModel: archived \"%@\" %lu is no identifier type; read as none",
                      kCurrentIdentifierTypeKey, type);
        type = QNBUninitialized;
    }
    model->setCurrentIdentifierType(static_cast<int64_t>(type));
    return model;
}

} // namespace foundation
