#include "platform/windowserver/WindowServerEventHost.h"

#include "platform/core/Log.h"

namespace windowserver {

void WindowServerEventHost::perform(const std::function<void()>& task) {
    // A stopped window server applies nothing; the request still gets its answer.
    if (!m_server.perform(task)) platform::log("window server: stopped; an input request was not applied");
}

} // namespace windowserver
