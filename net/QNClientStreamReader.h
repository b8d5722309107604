// The reader of the main stream from the client: one type byte, then the body that type
// implies, handed as a typed record to a handler (the session). Unknown type bytes are
// skipped one byte at a time.
#pragma once

#include "net/QNHandshakeReader.h"

#include <cstdint>

namespace net {

class QNNetSocketProtocol;

class QNClientMessageHandler {
  public:
    virtual ~QNClientMessageHandler() = default;
    virtual void processClientHandshakeMsg(const QNClientHandshakeRecord& handshake) = 0;
    virtual void processClientHeartBeatMsg() = 0;
    // Answers whether the read loop should stop.
    virtual bool processUpdateRequestMsg() = 0;
    virtual void unknownMessageType(uint8_t type) { (void)type; }
};

class QNClientStreamReader {
  public:
    enum class Outcome {
        Continue, // a message was handled
        Stop,     // the handler asked the loop to end
        Failed,   // a read failed (closed, timed out, cancelled) or a handshake was abandoned
    };

    explicit QNClientStreamReader(QNNetSocketProtocol& socket) : m_socket(socket) {}

    Outcome readMessage(QNClientMessageHandler& handler);

  private:
    QNNetSocketProtocol& m_socket;
};

} // namespace net
