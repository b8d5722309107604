#include "platform/daemon/DistributedNotificationService.h"

#include "platform/daemon/EventLog.h"
#include "platform/ipc/Protocol.h"

#include <algorithm>
#include <map>

namespace platformd {

void DistributedNotificationService::registerRequests(RequestTable& table) {
    table.add(ipc::op::addObserver, [this](RequestContext& ctx) { addObserver(ctx); });
    table.add(ipc::op::removeObserver, [this](RequestContext& ctx) { removeObserver(ctx); });
    table.add(ipc::op::post, [this](RequestContext& ctx) { post(ctx); });
}

size_t DistributedNotificationService::observerCount(uint64_t clientId) const {
    return static_cast<size_t>(std::count_if(m_observers.begin(), m_observers.end(),
                                             [&](const Observer& o) { return o.clientId == clientId; }));
}

void DistributedNotificationService::addObserver(RequestContext& ctx) {
    auto id = ctx.requiredInteger("observer");
    if (!id) return;
    bool ok = true;
    auto name = ctx.optionalString("name", ok, kMaxNameBytes);
    auto object = ctx.optionalString("object", ok, kMaxNameBytes);
    if (!ok) return;
    if (observerCount(ctx.client().id) >= kMaxObserversPerProcess) return ctx.refuse("too many observers");
    m_observers.push_back(Observer{ctx.client().id, *id, name, object});
    ctx.reply();
}

void DistributedNotificationService::removeObserver(RequestContext& ctx) {
    auto id = ctx.requiredInteger("observer");
    if (!id) return;
    uint64_t client = ctx.client().id;
    std::erase_if(m_observers,
                  [&](const Observer& o) { return o.clientId == client && o.observerId == *id; });
    ctx.reply();
}

void DistributedNotificationService::post(RequestContext& ctx) {
    const std::string* name = ctx.requiredString("name", kMaxNameBytes);
    if (!name) return;
    bool ok = true;
    auto object = ctx.optionalString("object", ok, kMaxNameBytes);
    const cf::Value* userInfo = ctx.optionalOfKind("userInfo", cf::Value::Kind::Dictionary, ok);
    auto options = ctx.optionalInteger("options", ok);
    if (!ok) return;
    if (name->empty()) return ctx.refuse("a notification needs a name");

    // One push per receiving process, its matching observers in registration order.
    std::map<uint64_t, cf::Array> receivers;
    std::vector<uint64_t> order;
    for (const auto& o : m_observers) {
        if (o.name && *o.name != *name) continue;
        if (o.object && (!object || *o.object != *object)) continue;
        auto [it, fresh] = receivers.try_emplace(o.clientId);
        if (fresh) order.push_back(o.clientId);
        it->second.push_back(o.observerId);
    }
    cf::Array receiverPids;
    for (const Client* c : m_host.clients())
        if (receivers.count(c->id)) receiverPids.push_back(static_cast<int64_t>(c->pid));

    cf::Dictionary fields{{"name", *name}, {"options", options.value_or(0)}, {"receivers", receiverPids}};
    if (object) fields.insert_or_assign("object", *object);
    if (userInfo && ctx.messageBytes() > kMaxLoggedPostBytes)
        fields.insert_or_assign("userInfoOmittedBytes", static_cast<int64_t>(ctx.messageBytes()));
    else if (userInfo)
        fields.insert_or_assign("userInfo", *userInfo);
    uint64_t sequence = m_host.events().record(
        std::string(ipc::eventKind::distributedPost),
        "postNotificationName:object:userInfo:options:", posterOf(ctx.client()), fields);
    for (uint64_t clientId : order) {
        cf::Dictionary body{{"observers", cf::Value(receivers[clientId])}, {"name", *name}};
        if (object) body.insert_or_assign("object", *object);
        if (userInfo) body.insert_or_assign("userInfo", *userInfo);
        m_host.push(clientId, ipc::topic::distributedNotification, body);
    }
    ctx.reply(cf::Dictionary{{"sequence", static_cast<int64_t>(sequence)}});
}

void DistributedNotificationService::clientGone(const Client& client) {
    std::erase_if(m_observers, [&](const Observer& o) { return o.clientId == client.id; });
}

} // namespace platformd
