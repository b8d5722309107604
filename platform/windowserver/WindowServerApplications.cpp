// Applications as the window server holds them: the one active application, each one's key
// window (where key events go), global monitors' copies of pointer events, and the alerts and
// sheets open, logged as they begin and end.
#include "platform/core/Log.h"
#include "platform/windowserver/WindowServer.h"
#include "platform/windowserver/WindowServerArgs.h"
#include "platform/windowserver/WindowServerInternal.h"
#include "platform/windowserver/WindowServerProtocol.h"

#include <algorithm>

namespace windowserver {

using namespace requestargs;

namespace {

constexpr size_t kMaxAlertText = 4096;
constexpr size_t kMaxAlertButtons = 16;

// The event types global monitors may ask for: moved, left- and right-dragged, tablet point,
// other-dragged.
constexpr uint64_t kMonitorableTypes = (1ull << 5) | (1ull << 6) | (1ull << 7) | (1ull << 23) | (1ull << 27);

} // namespace

bool WindowServer::activate(uint32_t cid, std::string_view api, bool tell) {
    // While a fake application is active no connection is (m_activeCid is 0).
    if (cid == m_activeCid) return false;
    auto next = m_clients.find(cid);
    if (next == m_clients.end()) return false;
    if (auto previous = m_clients.find(m_activeCid); previous != m_clients.end())
        push(*previous->second, cf::Dictionary{{"kind", push::resignActive}});
    m_activeCid = cid;
    m_activeFake = 0;
    if (tell) push(*next->second, cf::Dictionary{{"kind", push::becomeActive}});
    record(
        ipc::eventKind::activate, api,
        {{"pid", next->second->identity.pid}, {"bundleIdentifier", next->second->identity.bundleIdentifier}});
    tellApplications({ApplicationChange::Kind::activated, next->second->identity.pid, {}, {}});
    return true;
}

bool WindowServer::activateFake(int32_t pid, std::string_view api) {
    if (pid == m_activeFake || !m_fakes.count(pid)) return false;
    if (auto previous = m_clients.find(m_activeCid); previous != m_clients.end())
        push(*previous->second, cf::Dictionary{{"kind", push::resignActive}});
    m_activeCid = 0;
    m_activeFake = pid;
    record(ipc::eventKind::activate, api, {{"pid", pid}, {"bundleIdentifier", m_fakeBundles[pid]}});
    tellApplications({ApplicationChange::Kind::activated, pid, {}, {}});
    return true;
}

int32_t WindowServer::activePID() const {
    if (m_activeFake) return m_activeFake;
    auto active = m_clients.find(m_activeCid);
    return active == m_clients.end() ? 0 : active->second->identity.pid;
}

void WindowServer::tellApplications(ApplicationChange change) {
    if (m_applicationObserver) m_applicationObserver(change);
}

bool WindowServer::routeKey(int64_t type, uint16_t key, uint64_t flags, const std::string& characters,
                            const std::string& charactersIgnoringModifiers) {
    auto active = m_clients.find(m_activeCid);
    if (active == m_clients.end()) return false;
    Client& client = *active->second;
    auto window = m_windows.find(client.keyWindow);
    if (!client.keyWindow || window == m_windows.end() || window->second->ownerCid != client.cid)
        return false;
    push(client, cf::Dictionary{{"kind", push::key},
                                {"type", type},
                                {"window", int64_t(client.keyWindow)},
                                {"key", int64_t(key)},
                                {"flags", int64_t(flags)},
                                {"characters", characters},
                                {"charactersIgnoringModifiers", charactersIgnoringModifiers}});
    return true;
}

void WindowServer::copyToMonitors(int64_t type, cg::CGPoint location, uint64_t flags, double pressure,
                                  uint32_t deliveredCid) {
    if (type < 0 || type > 63 || !(kMonitorableTypes & (1ull << type))) return;
    for (auto& [cid, client] : m_clients) {
        if (cid == deliveredCid || !(client->monitorMask & (1ull << type))) continue;
        push(*client, cf::Dictionary{{"kind", push::monitor},
                                     {"type", type},
                                     {"x", location.x},
                                     {"y", location.y},
                                     {"flags", int64_t(flags)},
                                     {"pressure", pressure}});
    }
}

void WindowServer::applicationGone(uint32_t cid) {
    if (m_activeCid == cid) {
        m_activeCid = 0;
        tellApplications({ApplicationChange::Kind::activated, 0, {}, {}});
    }
    std::erase_if(m_alerts, [cid](const OpenAlert& alert) { return alert.cid == cid; });
}

void WindowServer::applicationRequest(Client& client, std::string_view op, const cf::Value& value,
                                      Reply& reply) {
    Args args{value, op, {}};
    auto refuse = [&] {
        platform::log("windowserver: refusing %@ of pid %d: %@", op, client.identity.pid, args.why);
        reply(std::nullopt, args.why);
    };
    if (op == op::activate) {
        // With a pid, another process's application (platformctl's ui key, AXFrontmost).
        auto pid = args.integer("pid", 1, INT32_MAX, false);
        if (!args.why.empty()) return refuse();
        uint32_t cid = client.cid;
        if (pid && m_fakes.count(int32_t(*pid))) {
            const bool changed = activateFake(int32_t(*pid), "activate");
            return reply(cf::Dictionary{{"status", kCGErrorSuccess}, {"changed", changed}}, "");
        }
        if (pid) {
            auto owner = std::find_if(m_clients.begin(), m_clients.end(),
                                      [&](auto& entry) { return entry.second->identity.pid == *pid; });
            if (owner == m_clients.end()) return reply(status(kCGErrorIllegalArgument), "");
            cid = owner->first;
        }
        const bool changed = activate(cid, pid ? "activate" : "activateIgnoringOtherApps:", true);
        return reply(cf::Dictionary{{"status", kCGErrorSuccess}, {"changed", changed}}, "");
    }
    if (op == op::activeApplication) {
        return reply(cf::Dictionary{{"pid", activePID()}}, "");
    }
    if (op == op::setKeyWindow) {
        auto number = args.integer("window", 0, UINT32_MAX);
        if (!number) return refuse();
        auto it = m_windows.find(uint32_t(*number));
        if (*number && (it == m_windows.end() || it->second->ownerCid != client.cid))
            return reply(status(kCGErrorIllegalArgument), "");
        client.keyWindow = uint32_t(*number);
        return reply(status(kCGErrorSuccess), "");
    }
    if (op == op::setEventMonitor) {
        auto mask = args.integer("mask", 0, INT64_MAX);
        if (!mask) return refuse();
        client.monitorMask = uint64_t(*mask) & kMonitorableTypes;
        return reply(status(kCGErrorSuccess), "");
    }
    if (op == op::alerts) {
        cf::Array list;
        for (const OpenAlert& alert : m_alerts)
            list.push_back(alert.description);
        return reply(cf::Dictionary{{"alerts", cf::Value(std::move(list))}}, "");
    }
    auto number = args.integer("window", 1, UINT32_MAX);
    if (!number) return refuse();
    auto window = m_windows.find(uint32_t(*number));
    if (window == m_windows.end() || window->second->ownerCid != client.cid)
        return reply(status(kCGErrorIllegalArgument), "");
    auto open = std::find_if(m_alerts.begin(), m_alerts.end(),
                             [&](const OpenAlert& a) { return a.window == uint32_t(*number); });
    if (op == op::alertBegin) {
        const std::string* kind = args.text("kind", 16);
        const std::string* message = args.text("message", kMaxAlertText);
        const std::string* informative = args.text("informative", kMaxAlertText);
        auto style = args.integer("style", 0, 2);
        const cf::Value* buttons = value.find("buttons");
        if (!buttons || !buttons->isArray() || buttons->count() > kMaxAlertButtons)
            args.fail("buttons", "is not an array of at most 16 titles");
        for (size_t i = 0; buttons && buttons->isArray() && i < buttons->count(); ++i)
            if (!buttons->at(i)->asString() || buttons->at(i)->asString()->size() > kMaxTitleBytes)
                args.fail("buttons", "holds something other than a title");
        if (kind && *kind != "alert" && *kind != "sheet") args.fail("kind", "is neither alert nor sheet");
        if (!args.why.empty() || !kind || !message || !informative || !style) return refuse();
        if (open != m_alerts.end()) {
            args.why = "an alert is already up in that window";
            return refuse();
        }
        cf::Dictionary description{
            {"pid", client.identity.pid},  {"window", *number},   {"kind", *kind},  {"message", *message},
            {"informative", *informative}, {"buttons", *buttons}, {"style", *style}};
        m_alerts.push_back({client.cid, uint32_t(*number), description});
        record(eventKind::alertBegin, "NSAlert", std::move(description));
        return reply(status(kCGErrorSuccess), "");
    }
    // op::alertEnd
    auto button = args.integer("button", -1, int64_t(kMaxAlertButtons) - 1);
    auto code = args.integer("code", INT64_MIN, INT64_MAX);
    auto suppressed = args.boolean("suppressed");
    if (!args.why.empty() || !button || !code || !suppressed) return refuse();
    if (open == m_alerts.end()) {
        args.why = "no alert is up in that window";
        return refuse();
    }
    m_alerts.erase(open);
    record(eventKind::alertEnd, "NSAlert",
           {{"pid", client.identity.pid},
            {"window", *number},
            {"button", *button},
            {"code", *code},
            {"suppressed", *suppressed}});
    reply(status(kCGErrorSuccess), "");
}

} // namespace windowserver
