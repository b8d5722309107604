#include "net/QNSessionMessageWriter.h"

#include "net/QNMessages.h"
#include "net/QNNetSocketProtocol.h"

#include "platform/core/Log.h"

#include <mutex>

namespace net {

bool QNSessionMessageWriter::send(std::span<const uint8_t> bytes) {
    std::lock_guard lock(m_socket);
    return m_socket.sendBytes(bytes.data(), bytes.size());
}

bool QNSessionMessageWriter::sendServerHello() {
    return send(serverHandShakeMessage());
}

bool QNSessionMessageWriter::sendBusy(uint64_t attachedClientId) {
    return send(QNBusyMsg{attachedClientId}.encode());
}

bool QNSessionMessageWriter::sendResolution(uint16_t width, uint16_t height, uint16_t requestNumber,
                                            const QNProtocolVersionInfo& client) {
    if (!clientReceivesResolution(client)) return true;
    QNResolutionMsg msg{width, height, std::nullopt};
    if (clientReceivesRequestNumber(client)) msg.requestNumber = requestNumber;
    return send(msg.encode());
}

bool QNSessionMessageWriter::sendEmptyUpdate(uint8_t clientMajor) {
    return send(emptyUpdateMessage(clientMajor));
}

bool QNSessionMessageWriter::sendHeartbeat() {
    return send(kServerHeartbeatMsg);
}

bool QNSessionMessageWriter::sendMultiDisplay(uint16_t displayCount) {
    return send(multiDisplayMessage(displayCount));
}

bool QNSessionMessageWriter::sendApplicationInfoBracket(bool end) {
    return send(applicationInfoBracketMessage(end));
}

bool QNSessionMessageWriter::sendSystemInformation(const std::string& document) {
    auto message = systemInformationMessage(document);
    if (!message) {
        platform::log("System information of %zu bytes does not fit its message; sending none",
                      document.size());
        message = systemInformationMessage("");
    }
    return send(*message);
}

} // namespace net
