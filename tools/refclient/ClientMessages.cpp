#include "tools/refclient/ClientMessages.h"

#include "tools/refclient/Wire.h"

namespace refclient {

Bytes updateRequestMessage() { return Bytes{kMessageScreenUpdate}; }

Bytes clientHeartbeatMessage() {
    ByteWriter w;
    w.u8(kMessageClientHeartbeat).zeros(8);
    return w.take();
}

Bytes busyAnswerMessage(uint64_t clientId) {
    ByteWriter w;
    w.u64(clientId);
    return w.take();
}

} // namespace refclient
