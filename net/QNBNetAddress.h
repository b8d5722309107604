// A socket address with its address-token text (the dotted IPv4 form a ticket carries).
#pragma once

#include "net/SocketAddress.h"

#include "platform/corefoundation/Error.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace net {

class QNBNetAddress {
  public:
    QNBNetAddress() = default;

    // A dotted IPv4 token at a port; null for any other text (the error is left unset).
    static std::shared_ptr<QNBNetAddress> addressFromTokenString(const std::string& token, uint16_t port,
                                                                 platform::Error* error);
    // The numeric text of the address (IPv4 or IPv6); nullopt for a null object or any
    // other family.
    static std::optional<std::string> tokenStringFromAddress(const QNBNetAddress* address);

    std::shared_ptr<QNBNetAddress> copy() const { return std::make_shared<QNBNetAddress>(*this); }

    const SocketAddress& address() const { return m_address; }
    void setAddress(const SocketAddress& address) { m_address = address; }
    const SocketAddress& netmask() const { return m_netmask; }
    void setNetmask(const SocketAddress& netmask) { m_netmask = netmask; }
    uint16_t port() const { return m_port; }
    void setPort(uint16_t port) { m_port = port; }
    bool externalAddress() const { return m_externalAddress; }
    void setExternalAddress(bool external) { m_externalAddress = external; }

  private:
    SocketAddress m_address;
    SocketAddress m_netmask;
    uint16_t m_port = 0;
    bool m_externalAddress = false;
};

} // namespace net
