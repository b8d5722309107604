#include "platform/daemon/SystemService.h"

#include "platform/daemon/EventLog.h"

namespace platformd {

Poster posterOf(const Client& client) {
    return Poster{client.pid, client.bundleIdentifier};
}

void RequestTable::add(std::string_view op, RequestHandler handler) {
    m_handlers.emplace_back(std::string(op), std::move(handler));
}

const RequestHandler* RequestTable::find(std::string_view op) const {
    for (auto& [name, handler] : m_handlers)
        if (name == op) return &handler;
    return nullptr;
}

} // namespace platformd
