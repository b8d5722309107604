// NSUserDefaults over the same per-file caches as CFPreferences, so the two agree at once.
#pragma once

#include "platform/corefoundation/Value.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace ns {

class NSUserDefaults {
public:
    // The process's defaults, for the current application domain (followed when it changes).
    static std::shared_ptr<NSUserDefaults> standardUserDefaults();
    // Defaults of a named domain (current user); an empty name follows the current
    // application domain.
    explicit NSUserDefaults(std::string domain = {});

    std::string domain() const;

    // Searched in order: the domain (current user, any host), global (current user), global
    // (any user), then the registration domain.
    std::optional<cf::Value> objectForKey(std::string_view key) const;
    // Boolean, non-zero number, text by boolValue; else NO.
    bool boolForKey(std::string_view key) const;
    // Number by value, boolean 0/1, text by integerValue; else 0.
    int64_t integerForKey(std::string_view key) const;
    double doubleForKey(std::string_view key) const;
    float floatForKey(std::string_view key) const;
    // A text, or a number's description; else nullopt.
    std::optional<std::string> stringForKey(std::string_view key) const;
    std::optional<cf::Array> arrayForKey(std::string_view key) const;
    std::optional<cf::Dictionary> dictionaryForKey(std::string_view key) const;

    // Written through at once to the domain's file (current user, any host); an empty value
    // removes the key.
    void setObject(const std::optional<cf::Value>& value, std::string_view key);
    void setBool(bool value, std::string_view key);
    void setInteger(int64_t value, std::string_view key);
    void setDouble(double value, std::string_view key);
    void removeObjectForKey(std::string_view key);

    // In-memory defaults asked last; later registrations replace earlier keys.
    void registerDefaults(const cf::Dictionary& defaults);
    // Rereads the domain's and the global files where they changed on disk (nothing to flush).
    bool synchronize();

private:
    std::string m_domain;
    mutable std::mutex m_mutex; // guards m_registration
    cf::Dictionary m_registration;
};

} // namespace ns
