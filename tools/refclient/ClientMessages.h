// The device's own main-stream messages besides the handshake.
#pragma once

#include "tools/refclient/Bytes.h"

namespace refclient {

// The update request: the type byte alone.
Bytes updateRequestMessage();
// The client heartbeat: its type byte and 8 bytes the server ignores (zero here).
Bytes clientHeartbeatMessage();
// The answer to a busy message: the client id alone, no type byte.
Bytes busyAnswerMessage(uint64_t clientId);

} // namespace refclient
