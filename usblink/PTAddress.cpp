#include "usblink/PTAddress.h"

#include "platform/core/Format.h"

namespace usblink {

std::optional<std::string> PTAddress::name() const {
    if (!m_address.isPresent()) return std::nullopt;
    std::string text = m_address.numericHost();
    if (text.empty()) return std::nullopt;
    return text;
}

std::string PTAddress::description() const {
    auto n = name();
    return n ? platform::format("%@:%u", *n, port()) : "(?)";
}

} // namespace usblink
