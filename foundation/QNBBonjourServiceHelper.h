// Service keys: how both programs name a client device. A device found by Bonjour is
// "domain~type~name" of its service; one typed in by address is "qnbAddressStringKey~address".
// Parts are joined as they are, never escaped.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace foundation {

class QNBBonjourServiceHelper {
public:
    using Text = std::optional<std::string>;

    // Nothing when any part is missing.
    static Text serviceKeyWithDomain(const Text& domain, const Text& type, const Text& name);
    static std::string serviceKeyForAddressString(std::string_view address);

    // Sets serviceKey from the helper's own domain, type and name.
    void generateServiceKey();

    const Text& domain() const { return m_domain; }
    void setDomain(Text value) { m_domain = std::move(value); }
    const Text& type() const { return m_type; }
    void setType(Text value) { m_type = std::move(value); }
    const Text& name() const { return m_name; }
    void setName(Text value) { m_name = std::move(value); }
    const Text& serviceKey() const { return m_serviceKey; }
    void setServiceKey(Text value) { m_serviceKey = std::move(value); }
    const Text& hostName() const { return m_hostName; }
    void setHostName(Text value) { m_hostName = std::move(value); }

private:
    Text m_domain;
    Text m_type;
    Text m_name;
    Text m_serviceKey;
    Text m_hostName;
};

} // namespace foundation
