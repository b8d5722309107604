// One display activation request on its way to a global queue: the handshake it was asked
// with, whether the Mac side asked for it, and the client connection it was asked for.
#pragma once

#include "net/QNClientHandshake.h"

#include <memory>

namespace net {
class QNNetSocketProtocol;
} // namespace net

namespace server {


class ClientHandshakeWrapper {
  public:
    ClientHandshakeWrapper(const net::QNClientHandshake& handshake, bool hostInitiated,
                           std::shared_ptr<net::QNNetSocketProtocol> socket)
        : handshakeUnion(handshake), isHostInitiated(hostInitiated), clientSocket(socket),
          hadClientSocket(socket != nullptr) {}

    net::QNClientHandshake handshakeUnion;
    bool isHostInitiated = false;
    // The client socket of the session when the request was made; the activation serves it only.
    std::weak_ptr<net::QNNetSocketProtocol> clientSocket;
    bool hadClientSocket = false;
};

} // namespace server
