#include "platform/corefoundation/NSUserDefaults.h"

#include "platform/corefoundation/CFPreferences.h"

namespace ns {

std::shared_ptr<NSUserDefaults> NSUserDefaults::standardUserDefaults() {
    static const auto standard = std::make_shared<NSUserDefaults>();
    return standard;
}

NSUserDefaults::NSUserDefaults(std::string domain) : m_domain(std::move(domain)) {}

std::string NSUserDefaults::domain() const {
    return m_domain.empty() ? platform::currentApplicationDomain() : m_domain;
}

std::optional<cf::Value> NSUserDefaults::objectForKey(std::string_view key) const {
    if (auto value = cf::CFPreferencesCopyAppValue(key, domain())) return value;
    std::lock_guard lock(m_mutex);
    auto it = m_registration.find(key);
    if (it == m_registration.end()) return std::nullopt;
    return it->second;
}

bool NSUserDefaults::boolForKey(std::string_view key) const {
    auto value = objectForKey(key);
    return value && value->boolValue();
}

int64_t NSUserDefaults::integerForKey(std::string_view key) const {
    auto value = objectForKey(key);
    return value ? value->integerValue() : 0;
}

double NSUserDefaults::doubleForKey(std::string_view key) const {
    auto value = objectForKey(key);
    return value ? value->doubleValue() : 0;
}

float NSUserDefaults::floatForKey(std::string_view key) const {
    auto value = objectForKey(key);
    return value ? value->floatValue() : 0;
}

std::optional<std::string> NSUserDefaults::stringForKey(std::string_view key) const {
    auto value = objectForKey(key);
    if (!value) return std::nullopt;
    if (const auto* text = value->asString()) return *text;
    if (value->isNumber()) return value->description();
    return std::nullopt;
}

std::optional<cf::Array> NSUserDefaults::arrayForKey(std::string_view key) const {
    auto value = objectForKey(key);
    if (!value || !value->isArray()) return std::nullopt;
    return *value->asArray();
}

std::optional<cf::Dictionary> NSUserDefaults::dictionaryForKey(std::string_view key) const {
    auto value = objectForKey(key);
    if (!value || !value->isDictionary()) return std::nullopt;
    return *value->asDictionary();
}

void NSUserDefaults::setObject(const std::optional<cf::Value>& value, std::string_view key) {
    cf::CFPreferencesSetAppValue(key, value, domain());
}

void NSUserDefaults::setBool(bool value, std::string_view key) { setObject(cf::Value(value), key); }
void NSUserDefaults::setInteger(int64_t value, std::string_view key) { setObject(cf::Value(value), key); }
void NSUserDefaults::setDouble(double value, std::string_view key) { setObject(cf::Value(value), key); }
void NSUserDefaults::removeObjectForKey(std::string_view key) { setObject(std::nullopt, key); }

void NSUserDefaults::registerDefaults(const cf::Dictionary& defaults) {
    std::lock_guard lock(m_mutex);
    for (const auto& [key, value] : defaults) m_registration.insert_or_assign(key, value);
}

bool NSUserDefaults::synchronize() { return cf::CFPreferencesAppSynchronize(domain()); }

} // namespace ns
