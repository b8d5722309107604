#include "net/QNClientStreamReader.h"

#include "net/QNMessages.h"
#include "net/QNNetSocketProtocol.h"

#include <array>

namespace net {

QNClientStreamReader::Outcome QNClientStreamReader::readMessage(QNClientMessageHandler& handler) {
    uint8_t type = 0;
    if (!m_socket.getClientBytes(&type, 1)) return Outcome::Failed;
    switch (static_cast<QNMessageType>(type)) {
    case QNMessageType::Handshake: {
        auto record = QNHandshakeReader(m_socket).read();
        if (!record) return Outcome::Failed;
        handler.processClientHandshakeMsg(*record);
        return Outcome::Continue;
    }
    case QNMessageType::ClientHeartbeat: {
        std::array<uint8_t, QNClientHeartbeatMsg::kBodySize> ignored{};
        if (!m_socket.getClientBytes(ignored.data(), ignored.size())) return Outcome::Failed;
        handler.processClientHeartBeatMsg();
        return Outcome::Continue;
    }
    case QNMessageType::Update:
        return handler.processUpdateRequestMsg() ? Outcome::Stop : Outcome::Continue;
    default:
        handler.unknownMessageType(type);
        return Outcome::Continue;
    }
}

} // namespace net
