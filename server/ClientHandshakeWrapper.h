// One display activation request on its way to a global queue: the handshake it was asked
// with, whether the Mac side asked for it, and the client connection it was asked for.
#pragma once

#include "server/net/QNClientHandshake.h"

#include <memory>

namespace server {

class QNNetSocketProtocol;

class ClientHandshakeWrapper {
  public:
    ClientHandshakeWrapper(const QNClientHandshake& handshake, bool hostInitiated,
                           std::shared_ptr<QNNetSocketProtocol> socket)
        : handshakeUnion(handshake), isHostInitiated(hostInitiated), clientSocket(socket),
          hadClientSocket(socket != nullptr) {}

    QNClientHandshake handshakeUnion;
    bool isHostInitiated = false;
    // The client socket of the session when the request was made; the activation serves it only.
    std::weak_ptr<QNNetSocketProtocol> clientSocket;
    bool hadClientSocket = false;
};

} // namespace server
