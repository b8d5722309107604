// A peer's socket address as a framed channel reports it.
#pragma once

#include "net/SocketAddress.h"

#include <optional>
#include <string>

namespace usblink {

class PTAddress {
  public:
    explicit PTAddress(net::SocketAddress address) : m_address(std::move(address)) {}

    const net::SocketAddress& address() const { return m_address; }
    // Numeric text of the address; nullopt without one.
    std::optional<std::string> name() const;
    uint16_t port() const { return m_address.port(); }
    // "127.0.0.1:6004", or "(?)" without an address.
    std::string description() const;

  private:
    net::SocketAddress m_address;
};

} // namespace usblink
