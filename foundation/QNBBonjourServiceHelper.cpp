#include "foundation/QNBBonjourServiceHelper.h"

#include "platform/core/Format.h"
#include "platform/services/NSNetService.h"

namespace foundation {

namespace {
constexpr std::string_view kAddressStringKeyWord = "qnbAddressStringKey";
} // namespace

QNBBonjourServiceHelper::Text
QNBBonjourServiceHelper::serviceKeyWithDomain(const Text& domain, const Text& type, const Text& name) {
    if (!domain || !type || !name) return std::nullopt;
    return platform::format("%@~%@~%@", *domain, *type, *name);
}

std::string QNBBonjourServiceHelper::serviceKeyForAddressString(std::string_view address) {
    return platform::format("%@~%@", kAddressStringKeyWord, address);
}

QNBBonjourServiceHelper::Text QNBBonjourServiceHelper::serviceKeyForService(const ns::NSNetService& service) {
    return serviceKeyWithDomain(service.domain(), service.type(), service.name());
}

std::shared_ptr<QNBBonjourServiceHelper>
QNBBonjourServiceHelper::serviceHelperWithService(std::shared_ptr<ns::NSNetService> service) {
    if (!service || service->domain().empty() || service->type().empty() || service->name().empty())
        return nullptr;
    auto helper = std::make_shared<QNBBonjourServiceHelper>();
    helper->setDomain(service->domain());
    helper->setType(service->type());
    helper->setName(service->name());
    helper->generateServiceKey();
    helper->setHostName(service->hostName());
    helper->setService(std::move(service));
    return helper;
}

void QNBBonjourServiceHelper::generateServiceKey() {
    m_serviceKey = serviceKeyWithDomain(m_domain, m_type, m_name);
}

bool QNBBonjourServiceHelper::isEqualToService(const std::shared_ptr<ns::NSNetService>& service) const {
    if (!service || !m_serviceKey) return false;
    const Text key = serviceKeyForService(*service);
    return key && *key == *m_serviceKey;
}

} // namespace foundation
