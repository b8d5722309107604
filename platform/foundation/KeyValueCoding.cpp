// Key tables and key-value coding of ns::NSObject.
#include "platform/core/Log.h"
#include "platform/foundation/NSObject.h"

#include <algorithm>

namespace ns {

namespace {

// NSCocoaErrorDomain's code for a key-value coding failure.
constexpr int64_t kKeyValueCodingError = 1024;

void unknownKey(const NSObject& object, std::string_view selector, std::string_view key,
                platform::Error* error) {
    std::string text =
        platform::format("[<%@ %p> %@]: this class is not key value coding-compliant for the key %@.",
                         object.className(), static_cast<const void*>(&object), selector, key);
    platform::log("%@", text);
    platform::setError(error, platform::NSCocoaErrorDomain, kKeyValueCodingError, text);
}

std::pair<std::string_view, std::string_view> splitKeyPath(std::string_view keyPath) {
    size_t dot = keyPath.find('.');
    if (dot == std::string_view::npos) return {keyPath, {}};
    return {keyPath.substr(0, dot), keyPath.substr(dot + 1)};
}

} // namespace

KeyTable::KeyTable(std::string className, const KeyTable* superclass)
    : m_className(std::move(className)), m_superclass(superclass) {}

KeyTable& KeyTable::add(std::string key, Entry entry) {
    m_entries.insert_or_assign(std::move(key), std::move(entry));
    return *this;
}

KeyTable& KeyTable::manualNotification(std::string_view key) {
    // A key of a superclass is copied down so the superclass's table stays as it is.
    if (m_entries.find(key) == m_entries.end())
        if (const Entry* inherited = entry(key)) m_entries.emplace(std::string(key), *inherited);
    if (auto it = m_entries.find(key); it != m_entries.end()) it->second.automaticNotify = false;
    return *this;
}

KeyTable& KeyTable::affecting(std::string key, std::vector<std::string> keys) {
    m_affecting.insert_or_assign(std::move(key), std::move(keys));
    return *this;
}

KeyTable& KeyTable::exposeBinding(std::string binding) {
    m_bindings.push_back(std::move(binding));
    return *this;
}

const KeyTable::Entry* KeyTable::entry(std::string_view key) const {
    for (const KeyTable* table = this; table; table = table->m_superclass)
        if (auto it = table->m_entries.find(key); it != table->m_entries.end()) return &it->second;
    return nullptr;
}

std::vector<std::string> KeyTable::keysAffectedBy(std::string_view key) const {
    std::vector<std::string> out;
    for (const KeyTable* table = this; table; table = table->m_superclass)
        for (const auto& [dependent, sources] : table->m_affecting)
            if (dependent != key && std::find(sources.begin(), sources.end(), key) != sources.end() &&
                std::find(out.begin(), out.end(), dependent) == out.end())
                out.push_back(dependent);
    return out;
}

std::vector<std::string> KeyTable::exposedBindings() const {
    std::vector<std::string> out;
    for (const KeyTable* table = this; table; table = table->m_superclass)
        for (const std::string& binding : table->m_bindings)
            if (std::find(out.begin(), out.end(), binding) == out.end()) out.push_back(binding);
    return out;
}

const KeyTable& NSObject::classKeys() {
    static const KeyTable table("NSObject");
    return table;
}

std::string NSObject::description() const {
    return platform::format("<%@: %p>", className(), static_cast<const void*>(this));
}

Id NSObject::rawValueForKey(std::string_view key) const {
    const KeyTable::Entry* entry = keyTable().entry(key);
    return entry ? entry->getter(*this) : Id();
}

Id NSObject::rawValueForKeyPath(std::string_view keyPath) const {
    auto [key, rest] = splitKeyPath(keyPath);
    Id value = rawValueForKey(key);
    if (rest.empty()) return value;
    auto object = value.object();
    return object ? object->rawValueForKeyPath(rest) : Id();
}

Id NSObject::valueForKey(std::string_view key, platform::Error* error) const {
    const KeyTable::Entry* entry = keyTable().entry(key);
    if (!entry) {
        unknownKey(*this, "valueForUndefinedKey:", key, error);
        return Id();
    }
    return entry->getter(*this);
}

Id NSObject::valueForKeyPath(std::string_view keyPath, platform::Error* error) const {
    auto [key, rest] = splitKeyPath(keyPath);
    Id value = valueForKey(key, error);
    if (rest.empty() || value.isNil()) return value;
    if (auto object = value.object()) return object->valueForKeyPath(rest, error);
    unknownKey(*this, "valueForKeyPath:", keyPath, error);
    return Id();
}

void NSObject::setValueForKey(const Id& value, std::string_view key, platform::Error* error) {
    const KeyTable::Entry* entry = keyTable().entry(key);
    if (!entry || !entry->setter) {
        unknownKey(*this, "setValue:forUndefinedKey:", key, error);
        return;
    }
    if (value.isNil() && entry->scalar) {
        platform::log("[<%@ %p> setNilValueForKey]: could not set nil as the value for the key %@.",
                      className(), static_cast<const void*>(this), key);
        return;
    }
    if (!entry->automaticNotify) return entry->setter(*this, value);
    std::string name(key);
    willChangeValueForKey(name);
    entry->setter(*this, value);
    didChangeValueForKey(name);
}

void NSObject::setValueForKeyPath(const Id& value, std::string_view keyPath, platform::Error* error) {
    auto [key, rest] = splitKeyPath(keyPath);
    if (rest.empty()) return setValueForKey(value, key, error);
    Id target = valueForKey(key, error);
    if (auto object = target.object()) return object->setValueForKeyPath(value, rest, error);
    if (!target.isNil()) unknownKey(*this, "setValue:forKeyPath:", keyPath, error);
}

} // namespace ns
