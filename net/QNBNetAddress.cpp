#include "net/QNBNetAddress.h"

#include <arpa/inet.h>

namespace net {

std::shared_ptr<QNBNetAddress> QNBNetAddress::addressFromTokenString(const std::string& token, uint16_t port,
                                                                     platform::Error* error) {
    (void)error; // a token that does not parse is simply no address
    in_addr parsed{};
    if (inet_pton(AF_INET, token.c_str(), &parsed) != 1) return nullptr;
    auto result = std::make_shared<QNBNetAddress>();
    result->m_address = SocketAddress::ipv4(parsed, port);
    return result;
}

std::optional<std::string> QNBNetAddress::tokenStringFromAddress(const QNBNetAddress* address) {
    if (!address || !address->m_address.isPresent()) return std::nullopt;
    return address->m_address.numericHost();
}

} // namespace net
