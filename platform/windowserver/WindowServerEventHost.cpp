#include "platform/windowserver/WindowServerEventHost.h"

#include "platform/core/Log.h"

namespace windowserver {

void WindowServerEventHost::perform(const std::function<void()>& task) {
    // A stopped window server applies nothing; the request still gets its answer.
    if (!m_server.perform(task)) platform::log("window server: stopped; an input request was not applied");
}

cg::CGPoint WindowServer::moveCursor(cg::CGPoint to) {
    std::vector<cg::CGRect> bounds{mainDisplay().bounds};
    for (auto& slot : m_slots)
        if (slot->online) bounds.push_back(slot->display.bounds);
    m_cursor.location = clampOntoDisplays(to, bounds);
    for (auto& slot : m_slots)
        if (slot->online) feedCursor(*slot, false);
    return m_cursor.location;
}

} // namespace windowserver
