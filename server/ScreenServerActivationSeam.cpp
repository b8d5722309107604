// Display activation's seam in the session. Until activation lands, a handshake asks for
// nothing. (Compiled only until activation lists its own sources.)
#include "server/ScreenServer.h"

namespace server {

void ScreenServer::activateOrChangeDisplayOnGlobalQueue(const net::QNClientHandshake&, bool) {}

} // namespace server
