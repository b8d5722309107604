// Writes the session's own main-stream records (hello, busy, resolution, empty update,
// heartbeat, display count, application brackets, system information) on a client socket.
// Each message goes out whole under the socket's own lock, so it never interleaves with a
// frame written by another thread.
#pragma once

#include "net/QNProtocolVersionInfo.h"

#include <cstdint>
#include <span>
#include <string>

namespace net {

class QNNetSocketProtocol;

class QNSessionMessageWriter {
  public:
    explicit QNSessionMessageWriter(QNNetSocketProtocol& socket) : m_socket(socket) {}

    bool sendServerHello();
    bool sendBusy(uint64_t attachedClientId);
    // Clients below 1.1.2 get no resolution messages (answers true, nothing sent); the
    // request number goes out only to clients of 2.0.0 and later.
    bool sendResolution(uint16_t width, uint16_t height, uint16_t requestNumber,
                        const QNProtocolVersionInfo& client);
    bool sendEmptyUpdate(uint8_t clientMajor);
    bool sendHeartbeat();
    bool sendMultiDisplay(uint16_t displayCount);
    bool sendApplicationInfoBracket(bool end);
    // A document too long for the one-byte length goes out as an empty one (length 0),
    // which the client takes as "no document", never cut.
    bool sendSystemInformation(const std::string& document);

  private:
    bool send(std::span<const uint8_t> bytes);

    QNNetSocketProtocol& m_socket;
};

} // namespace net
