#include "net/DisplayChangeRequest.h"

namespace net {

std::shared_ptr<DisplayChangeRequest>
DisplayChangeRequest::displayChangeRequestWithHandshakeUnion(const QNClientHandshake& handshake) {
    auto request = std::make_shared<DisplayChangeRequest>();
    request->m_displayMode = handshake.legacyDisplayMode;
    if (handshakeSpeaksProtocolVersion(1, 1, 0, handshake)) request->m_capabilities = handshake.capabilities;
    if (handshakeSpeaksProtocolVersion(1, 1, 2, handshake)) {
        request->m_nominalWidth = handshake.nominalWidth;
        request->m_nominalHeight = handshake.nominalHeight;
    }
    if (handshakeSpeaksProtocolVersion(2, 0, 0, handshake))
        request->m_numberOfDisplayRequests = handshake.numberOfDisplayRequests;
    return request;
}

} // namespace net
