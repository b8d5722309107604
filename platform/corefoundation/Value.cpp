#include "platform/corefoundation/ValueNode.h"

#include "platform/corefoundation/TextValues.h"

#include <cmath>

namespace cf {

namespace {

std::shared_ptr<Value::Node> makeNode(Value::Kind kind) {
    auto node = std::make_shared<Value::Node>();
    node->kind = kind;
    return node;
}

template <typename T> const T* payloadOf(const Value::Node& node) { return std::get_if<T>(&node.payload); }

// Integer against real, by value: equal only when the real is that very integer.
bool integerEqualsReal(int64_t i, double d) {
    if (std::isnan(d) || std::trunc(d) != d) return false;
    auto c = detail::convertReal(d, kCFNumberSInt64Type);
    return c.exact && c.integer == i;
}

bool numbersEqual(const Value::Node& a, const Value::Node& b) {
    bool aFloat = detail::isFloatType(a.numberType);
    bool bFloat = detail::isFloatType(b.numberType);
    if (!aFloat && !bFloat) return a.integer == b.integer;
    if (aFloat && bFloat) return a.real == b.real || (std::isnan(a.real) && std::isnan(b.real));
    return aFloat ? integerEqualsReal(b.integer, a.real) : integerEqualsReal(a.integer, b.real);
}

} // namespace

Value::Value(bool b) {
    auto node = makeNode(Kind::Boolean);
    node->integer = b ? 1 : 0;
    m_node = std::move(node);
}

Value::Value(float f) : Value(number(kCFNumberFloat32Type, static_cast<double>(f))) {}
Value::Value(double d) : Value(number(kCFNumberFloat64Type, d)) {}
Value::Value(const char* s) : Value(std::string(s ? s : "")) {}
Value::Value(std::string_view s) : Value(std::string(s)) {}

Value::Value(std::string s) {
    auto node = makeNode(Kind::String);
    node->payload = std::move(s);
    m_node = std::move(node);
}

Value::Value(Bytes data) {
    auto node = makeNode(Kind::Data);
    node->payload = std::move(data);
    m_node = std::move(node);
}

Value::Value(Array array) {
    auto node = makeNode(Kind::Array);
    node->payload = std::move(array);
    m_node = std::move(node);
}

Value::Value(Dictionary dictionary) {
    auto node = makeNode(Kind::Dictionary);
    node->payload = std::move(dictionary);
    m_node = std::move(node);
}

Value::Value(UID uid) {
    auto node = makeNode(Kind::UID);
    node->integer = static_cast<int64_t>(uid.value);
    m_node = std::move(node);
}

Value Value::number(CFNumberType type, int64_t value) {
    CFNumberType canonical = canonicalNumberType(type);
    if (canonical == 0) canonical = kCFNumberSInt64Type;
    auto node = makeNode(Kind::Number);
    node->numberType = canonical;
    auto c = detail::convertInteger(value, canonical);
    node->integer = c.integer;
    node->real = c.real;
    return Value(std::shared_ptr<const Node>(std::move(node)));
}

Value Value::number(CFNumberType type, double value) {
    CFNumberType canonical = canonicalNumberType(type);
    if (canonical == 0) canonical = kCFNumberFloat64Type;
    auto node = makeNode(Kind::Number);
    node->numberType = canonical;
    auto c = detail::convertReal(value, canonical);
    node->integer = c.integer;
    node->real = c.real;
    return Value(std::shared_ptr<const Node>(std::move(node)));
}

Value Value::date(CFAbsoluteTime secondsSince2001) {
    auto node = makeNode(Kind::Date);
    node->real = secondsSince2001;
    return Value(std::shared_ptr<const Node>(std::move(node)));
}

Value Value::data(const void* bytes, size_t length) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    return Value(length == 0 || p == nullptr ? Bytes{} : Bytes(p, p + length));
}

Value Value::uid(uint64_t value) { return Value(UID{value}); }
Value Value::emptyDictionary() { return Value(Dictionary{}); }
Value Value::emptyArray() { return Value(Array{}); }

Value::Kind Value::kind() const { return m_node->kind; }

const std::string* Value::asString() const { return payloadOf<std::string>(*m_node); }
const Bytes* Value::asData() const { return payloadOf<Bytes>(*m_node); }
const Array* Value::asArray() const { return payloadOf<Array>(*m_node); }
const Dictionary* Value::asDictionary() const { return payloadOf<Dictionary>(*m_node); }

std::optional<bool> Value::asBool() const {
    if (!isBoolean()) return std::nullopt;
    return m_node->integer != 0;
}

std::optional<CFAbsoluteTime> Value::asDate() const {
    if (!isDate()) return std::nullopt;
    return m_node->real;
}

std::optional<uint64_t> Value::asUID() const {
    if (!isUID()) return std::nullopt;
    return static_cast<uint64_t>(m_node->integer);
}

std::optional<CFNumberType> Value::numberType() const {
    if (!isNumber()) return std::nullopt;
    return m_node->numberType;
}

bool Value::isFloatNumber() const { return isNumber() && detail::isFloatType(m_node->numberType); }

std::optional<int64_t> Value::storedInteger() const {
    if (!isNumber() || isFloatNumber()) return std::nullopt;
    return m_node->integer;
}

std::optional<double> Value::storedReal() const {
    if (!isFloatNumber()) return std::nullopt;
    return m_node->real;
}

int32_t Value::intValue() const {
    if (const auto* text = asString()) return textIntValue(*text);
    if (isNumber()) return static_cast<int32_t>(detail::convertNumber(*m_node, kCFNumberSInt32Type).integer);
    if (isBoolean()) return static_cast<int32_t>(m_node->integer);
    return 0;
}

int64_t Value::integerValue() const {
    if (const auto* text = asString()) return textIntegerValue(*text);
    if (isNumber()) return detail::convertNumber(*m_node, kCFNumberSInt64Type).integer;
    if (isBoolean()) return m_node->integer;
    return 0;
}

uint64_t Value::unsignedIntegerValue() const { return static_cast<uint64_t>(integerValue()); }

float Value::floatValue() const { return static_cast<float>(doubleValue()); }

double Value::doubleValue() const {
    if (const auto* text = asString()) return textDoubleValue(*text);
    if (isNumber()) return detail::convertNumber(*m_node, kCFNumberFloat64Type).real;
    if (isBoolean()) return static_cast<double>(m_node->integer);
    return 0;
}

bool Value::boolValue() const {
    if (const auto* text = asString()) return textBoolValue(*text);
    if (isFloatNumber()) return m_node->real != 0;
    if (isNumber() || isBoolean()) return m_node->integer != 0;
    return false;
}

const Value* Value::find(std::string_view key) const {
    const auto* dict = asDictionary();
    if (!dict) return nullptr;
    auto it = dict->find(key);
    return it == dict->end() ? nullptr : &it->second;
}

const Value* Value::at(size_t index) const {
    const auto* array = asArray();
    if (!array || index >= array->size()) return nullptr;
    return &(*array)[index];
}

std::optional<Value> Value::objectForKey(std::string_view key) const {
    const Value* found = find(key);
    if (!found) return std::nullopt;
    return *found;
}

size_t Value::count() const {
    if (const auto* array = asArray()) return array->size();
    if (const auto* dict = asDictionary()) return dict->size();
    if (const auto* data = asData()) return data->size();
    return 0;
}

Value Value::setting(std::string_view key, const std::optional<Value>& value) const {
    const auto* dict = asDictionary();
    Dictionary copy = dict ? *dict : Dictionary{};
    if (value) {
        copy.insert_or_assign(std::string(key), *value);
    } else if (auto it = copy.find(key); it != copy.end()) {
        copy.erase(it);
    }
    return Value(std::move(copy));
}

bool Value::operator==(const Value& other) const {
    if (m_node == other.m_node) return true;
    const Node& a = *m_node;
    const Node& b = *other.m_node;
    if (a.kind != b.kind) return false;
    switch (a.kind) {
    case Kind::Number: return numbersEqual(a, b);
    case Kind::Boolean:
    case Kind::UID: return a.integer == b.integer;
    case Kind::Date: return a.real == b.real;
    default: return a.payload == b.payload;
    }
}

namespace {
enum TypeIDs : CFTypeID { kString = 7, kNumber, kBoolean, kData, kDate, kArray, kDictionary, kUID };
}

CFTypeID CFStringGetTypeID() { return kString; }
CFTypeID CFNumberGetTypeID() { return kNumber; }
CFTypeID CFBooleanGetTypeID() { return kBoolean; }
CFTypeID CFDataGetTypeID() { return kData; }
CFTypeID CFDateGetTypeID() { return kDate; }
CFTypeID CFArrayGetTypeID() { return kArray; }
CFTypeID CFDictionaryGetTypeID() { return kDictionary; }
CFTypeID CFKeyedArchiverUIDGetTypeID() { return kUID; }

CFTypeID CFGetTypeID(const Value& value) {
    switch (value.kind()) {
    case Value::Kind::String: return kString;
    case Value::Kind::Number: return kNumber;
    case Value::Kind::Boolean: return kBoolean;
    case Value::Kind::Data: return kData;
    case Value::Kind::Date: return kDate;
    case Value::Kind::Array: return kArray;
    case Value::Kind::Dictionary: return kDictionary;
    case Value::Kind::UID: return kUID;
    }
    return 0;
}

bool CFEqual(const Value& a, const Value& b) { return a == b; }
bool CFEqual(const std::optional<Value>& a, const std::optional<Value>& b) { return a == b; }

bool CFBooleanGetValue(const Value& boolean) { return boolean.asBool().value_or(false); }

} // namespace cf
