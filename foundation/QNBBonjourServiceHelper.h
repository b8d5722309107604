// Service keys: how both programs name a client device. A device found by Bonjour is
// "domain~type~name" of its service; one typed in by address is "qnbAddressStringKey~address".
// Parts are joined as they are, never escaped.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace ns {
class NSNetService;
} // namespace ns

namespace foundation {

class QNBBonjourServiceHelper {
  public:
    using Text = std::optional<std::string>;

    // Nothing when any part is missing.
    static Text serviceKeyWithDomain(const Text& domain, const Text& type, const Text& name);
    static std::string serviceKeyForAddressString(std::string_view address);
    // The key of the service's domain, type and name.
    static Text serviceKeyForService(const ns::NSNetService& service);
    // A helper holding the service, its domain, type, name, key and host name; null without a
    // service or when its type or name is empty (a service's domain is never empty).
    static std::shared_ptr<QNBBonjourServiceHelper>
    serviceHelperWithService(std::shared_ptr<ns::NSNetService> service);

    // Sets serviceKey from the helper's own domain, type and name.
    void generateServiceKey();
    // Whether the helper's key and the service's key are the same text; NO when either has none
    // (or there is no service).
    bool isEqualToService(const std::shared_ptr<ns::NSNetService>& service) const;

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
    const std::shared_ptr<ns::NSNetService>& service() const { return m_service; }
    void setService(std::shared_ptr<ns::NSNetService> value) { m_service = std::move(value); }

  private:
    Text m_domain;
    Text m_type;
    Text m_name;
    Text m_serviceKey;
    Text m_hostName;
    std::shared_ptr<ns::NSNetService> m_service;
};

} // namespace foundation
