#include "platform/daemon/WindowServerService.h"

#include "platform/windowserver/WindowServerProtocol.h"

namespace platformd {

void WindowServerService::registerConnectionRequests(RequestTable& table) {
    table.add(windowserver::op::displays, [this](RequestContext& ctx) { displays(ctx); });
}

void WindowServerService::displays(RequestContext& ctx) {
    auto use = m_host->use();
    if (!use) return ctx.refuse("the window server is not running");
    cf::Array out;
    for (const auto& display : m_host->windowServer().displays())
        out.push_back(display.toValue());
    ctx.reply(cf::Dictionary{{"displays", cf::Value(std::move(out))}});
}

windowserver::WindowServer::DisplayObserver WindowServerService::displayRecorder(EventLog& events) {
    return [&events](const windowserver::DisplayInfo& display, bool added) {
        cf::Dictionary fields{{"id", display.displayID},
                              {"serial", display.serialNumber},
                              {"name", display.name},
                              {"location", display.location}};
        if (added) {
            fields.insert_or_assign("width", display.pixelsWide);
            fields.insert_or_assign("height", display.pixelsHigh);
        }
        auto kind = added ? windowserver::eventKind::displayAdded : windowserver::eventKind::displayRemoved;
        events.record(std::string(kind), "", Poster{}, std::move(fields));
    };
}

} // namespace platformd
