// The frames piece's seams in the session: frame answers, the cursor and heartbeat loops,
// the display stream and screen refreshes. Until capture lands: no frame answer, the cursor
// loop only keeps its running mark, no stream, refreshes ignored. (Capture replaces this file.)
#include "server/ScreenServer.h"

namespace server {

bool ScreenServer::screenUpdate(bool*) {
    return false;
}

void ScreenServer::startMouseUpdates() {
    setMouseRunning(true);
}

void ScreenServer::stopMouseUpdates() {
    setMouseRunning(false);
}

void ScreenServer::startDisplayStream() {}

void ScreenServer::stopDisplayStream() {}

void ScreenServer::screenRefreshed(uint32_t, const cg::CGRect*) {}

} // namespace server
