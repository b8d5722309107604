#include "platform/daemon/EventLogService.h"

#include "platform/daemon/ServiceLoop.h"
#include "platform/ipc/Protocol.h"

#include <algorithm>

namespace platformd {

EventLogService::EventLogService(ServiceHost& host) : m_host(host) {
    m_host.events().setListener([this](const EventEntry& entry) {
        // Waits live on the service thread; an entry recorded elsewhere is checked there.
        m_host.loop().post([this, entry] { entryRecorded(entry); });
    });
}

EventLogService::~EventLogService() {
    m_host.events().setListener(nullptr);
}

void EventLogService::registerRequests(RequestTable& table) {
    table.add(ipc::op::events, [this](RequestContext& ctx) { list(ctx); });
    table.add(ipc::op::waitEvent, [this](RequestContext& ctx) { wait(ctx); });
    table.add(ipc::op::recordEvent, [this](RequestContext& ctx) { record(ctx); });
}

void EventLogService::list(RequestContext& ctx) {
    bool ok = true;
    auto after = ctx.optionalInteger("after", ok);
    auto kind = ctx.optionalString("kind", ok, 256);
    if (!ok) return;
    uint64_t from = after && *after > 0 ? static_cast<uint64_t>(*after) : 0;
    auto entries = m_host.events().entriesAfter(from, kind.value_or(""));
    cf::Array out;
    uint64_t next = from;
    for (size_t i = 0; i < entries.size() && i < kMaxEntriesPerReply; ++i) {
        out.push_back(entries[i].toValue());
        next = entries[i].sequence;
    }
    if (entries.size() <= kMaxEntriesPerReply) next = std::max(next, m_host.events().lastSequence());
    uint64_t oldest = m_host.events().oldestSequence();
    ctx.reply(cf::Dictionary{{"events", cf::Value(std::move(out))},
                             {"oldest", static_cast<int64_t>(oldest)},
                             {"next", static_cast<int64_t>(next)},
                             {"gap", from + 1 < oldest && from < m_host.events().lastSequence()}});
}

void EventLogService::wait(RequestContext& ctx) {
    bool ok = true;
    auto kind = ctx.optionalString("kind", ok, 256);
    const cf::Value* match = ctx.optionalOfKind("match", cf::Value::Kind::Dictionary, ok);
    auto after = ctx.optionalInteger("after", ok);
    auto timeout = ctx.optionalReal("timeout", ok);
    if (!ok) return;
    Wait w;
    w.clientId = ctx.client().id;
    w.kind = kind.value_or("");
    if (match) w.match = *match->asDictionary();
    w.after = after && *after > 0 ? static_cast<uint64_t>(*after) : 0;
    for (const auto& entry : m_host.events().entriesAfter(w.after, w.kind)) {
        if (eventMatches(entry, w.kind, w.match)) {
            ctx.reply(cf::Dictionary{{"event", entry.toValue()}, {"timedOut", false}});
            return;
        }
    }
    size_t held = static_cast<size_t>(std::count_if(
        m_waits.begin(), m_waits.end(), [&](const Wait& other) { return other.clientId == w.clientId; }));
    if (held >= kMaxWaitsPerProcess) return ctx.refuse("too many waits");
    double seconds = std::clamp(timeout.value_or(kMaxWaitSeconds), 0.0, kMaxWaitSeconds);
    w.responder = ctx.responder();
    ctx.defer();
    auto it = m_waits.insert(m_waits.end(), std::move(w));
    it->timerId =
        m_host.loop().runAt(platform::now() + platform::seconds(seconds), [this, it] { timeOut(it); });
}

void EventLogService::timeOut(std::list<Wait>::iterator it) {
    it->responder.reply(cf::Dictionary{{"timedOut", true}});
    m_waits.erase(it);
}

void EventLogService::entryRecorded(const EventEntry& entry) {
    for (auto it = m_waits.begin(); it != m_waits.end();) {
        if (entry.sequence > it->after && eventMatches(entry, it->kind, it->match)) {
            it->responder.reply(cf::Dictionary{{"event", entry.toValue()}, {"timedOut", false}});
            m_host.loop().cancel(it->timerId);
            it = m_waits.erase(it);
        } else {
            ++it;
        }
    }
}

void EventLogService::record(RequestContext& ctx) {
    const std::string* kind = ctx.requiredString("kind", 256);
    if (!kind) return;
    bool ok = true;
    const cf::Value* fields = ctx.optionalOfKind("fields", cf::Value::Kind::Dictionary, ok);
    if (!ok) return;
    if (kind->empty()) return ctx.refuse("an event needs a kind");
    uint64_t sequence = m_host.events().record(*kind, "", posterOf(ctx.client()),
                                               fields ? *fields->asDictionary() : cf::Dictionary{});
    ctx.reply(cf::Dictionary{{"sequence", static_cast<int64_t>(sequence)}});
}

void EventLogService::clientGone(const Client& client) {
    for (auto it = m_waits.begin(); it != m_waits.end();) {
        if (it->clientId == client.id) {
            m_host.loop().cancel(it->timerId);
            it = m_waits.erase(it);
        } else {
            ++it;
        }
    }
}

void EventLogService::shutdown() {
    for (auto& w : m_waits) {
        m_host.loop().cancel(w.timerId);
        w.responder.reply(cf::Dictionary{{"timedOut", true}});
    }
    m_waits.clear();
}

} // namespace platformd
