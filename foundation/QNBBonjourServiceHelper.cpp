#include "foundation/QNBBonjourServiceHelper.h"

#include "platform/core/Format.h"

namespace foundation {

namespace {
constexpr std::string_view kAddressStringKeyWord = "qnbAddressStringKey";
} // namespace

QNBBonjourServiceHelper::Text QNBBonjourServiceHelper::serviceKeyWithDomain(const Text& domain, const Text& type,
                                                                            const Text& name) {
    if (!domain || !type || !name) return std::nullopt;
    return platform::format("%@~%@~%@", *domain, *type, *name);
}

std::string QNBBonjourServiceHelper::serviceKeyForAddressString(std::string_view address) {
    return platform::format("%@~%@", kAddressStringKeyWord, address);
}

void QNBBonjourServiceHelper::generateServiceKey() { m_serviceKey = serviceKeyWithDomain(m_domain, m_type, m_name); }

} // namespace foundation
