#include "platform/kernel/OSValueConversion.h"

#include "platform/kernel/OSArray.h"
#include "platform/kernel/OSBoolean.h"
#include "platform/kernel/OSData.h"
#include "platform/kernel/OSDictionary.h"
#include "platform/kernel/OSNumber.h"
#include "platform/kernel/OSString.h"

#include <limits>

namespace kernel {

namespace {

OSPtr<OSObject> numberFromValue(const cf::Value& value) {
    auto integer = value.storedInteger();
    if (!integer) return {};
    bool fits32 =
        *integer >= std::numeric_limits<int32_t>::min() && *integer <= std::numeric_limits<uint32_t>::max();
    return adoptRetained<OSObject>(OSNumber::withNumber(static_cast<uint64_t>(*integer), fits32 ? 32 : 64));
}

OSPtr<OSObject> arrayFromValue(const cf::Array& items) {
    auto array = adoptRetained(OSArray::withCapacity(static_cast<unsigned>(items.size())));
    for (const auto& item : items) {
        if (auto object = OSObjectFromValue(item)) array->setObject(object.get());
    }
    return OSPtr<OSObject>(std::move(array));
}

OSPtr<OSObject> dictionaryFromValue(const cf::Dictionary& entries) {
    auto dictionary = adoptRetained(OSDictionary::withCapacity(static_cast<unsigned>(entries.size())));
    for (const auto& [key, item] : entries) {
        if (auto object = OSObjectFromValue(item)) dictionary->setObject(key, object.get());
    }
    return OSPtr<OSObject>(std::move(dictionary));
}

cf::Value valueFromNumber(const OSNumber* n) {
    switch (n->numberOfBits()) {
    case 8:
        return cf::Value::number(cf::kCFNumberSInt8Type,
                                 static_cast<int64_t>(static_cast<int8_t>(n->unsigned8BitValue())));
    case 16:
        return cf::Value::number(cf::kCFNumberSInt16Type,
                                 static_cast<int64_t>(static_cast<int16_t>(n->unsigned16BitValue())));
    case 32:
        return cf::Value::number(cf::kCFNumberSInt32Type,
                                 static_cast<int64_t>(static_cast<int32_t>(n->unsigned32BitValue())));
    default:
        return cf::Value::number(cf::kCFNumberSInt64Type, static_cast<int64_t>(n->unsigned64BitValue()));
    }
}

} // namespace

OSPtr<OSObject> OSObjectFromValue(const cf::Value& value) {
    switch (value.kind()) {
    case cf::Value::Kind::String:
        return adoptRetained<OSObject>(OSString::withString(*value.asString()));
    case cf::Value::Kind::Boolean:
        return makeRetained<OSObject>(OSBoolean::withBoolean(*value.asBool()));
    case cf::Value::Kind::Number:
        return numberFromValue(value);
    case cf::Value::Kind::Data: {
        const auto& bytes = *value.asData();
        return adoptRetained<OSObject>(OSData::withBytes(bytes.data(), bytes.size()));
    }
    case cf::Value::Kind::Array:
        return arrayFromValue(*value.asArray());
    case cf::Value::Kind::Dictionary:
        return dictionaryFromValue(*value.asDictionary());
    default:
        return {};
    }
}

std::optional<cf::Value> valueFromOSObject(const OSObject* object) {
    if (!object) return std::nullopt;
    if (auto* s = OSDynamicCast(OSString, object)) return cf::Value(s->string());
    if (auto* b = OSDynamicCast(OSBoolean, object)) return cf::Value(b->isTrue());
    if (auto* n = OSDynamicCast(OSNumber, object)) return valueFromNumber(n);
    if (auto* d = OSDynamicCast(OSData, object)) return cf::Value(cf::Bytes(d->bytes()));
    if (auto* a = OSDynamicCast(OSArray, object)) {
        cf::Array items;
        for (unsigned i = 0; i < a->getCount(); ++i) {
            if (auto item = valueFromOSObject(a->getObject(i))) items.push_back(*item);
        }
        return cf::Value(std::move(items));
    }
    if (auto* d = OSDynamicCast(OSDictionary, object)) {
        cf::Dictionary entries;
        for (const auto& [key, item] : d->entries()) {
            if (auto v = valueFromOSObject(item)) entries.insert_or_assign(key, *v);
        }
        return cf::Value(std::move(entries));
    }
    return std::nullopt;
}

} // namespace kernel
