#include "platform/daemon/BonjourService.h"

#include "platform/core/Log.h"
#include "platform/daemon/EventLog.h"
#include "platform/daemon/ServiceLoop.h"
#include "platform/foundation/TXTRecord.h"
#include "platform/ipc/Protocol.h"

#include <algorithm>
#include <cmath>

namespace platformd {

namespace {

constexpr char kDomain[] = "local.";

platform::Error netServicesError(int64_t code, const std::string& why) {
    return platform::Error::withDescription(platform::NSNetServicesErrorDomain, code,
                                            why + " (NSNetServicesErrorDomain " + std::to_string(code) + ")");
}

bool validLabel(const std::string& text) {
    return !text.empty() && text.size() <= BonjourService::kMaxLabelBytes &&
           text.find('\0') == std::string::npos;
}

const std::string* stringField(const cf::Value& entry, std::string_view key) {
    const cf::Value* v = entry.find(key);
    return v ? v->asString() : nullptr;
}

cf::Value describe(const std::string& name, const std::string& type) {
    return cf::Dictionary{{"name", name}, {"type", type}, {"domain", kDomain}};
}

} // namespace

void BonjourService::registerRequests(RequestTable& table) {
    table.add(ipc::op::bonjourPublish, [this](RequestContext& ctx) { publish(ctx); });
    table.add(ipc::op::bonjourUnpublish, [this](RequestContext& ctx) { unpublish(ctx); });
    table.add(ipc::op::bonjourSetTXT, [this](RequestContext& ctx) { setTXT(ctx); });
    table.add(ipc::op::bonjourList, [this](RequestContext& ctx) { list(ctx); });
    table.add(ipc::op::bonjourBrowse, [this](RequestContext& ctx) { browse(ctx); });
    table.add(ipc::op::bonjourStopBrowse, [this](RequestContext& ctx) { stopBrowse(ctx); });
    table.add(ipc::op::bonjourResolve, [this](RequestContext& ctx) { resolve(ctx); });
    table.add(ipc::op::bonjourStopResolve, [this](RequestContext& ctx) { stopResolve(ctx); });
    table.add(ipc::op::bonjourMonitor, [this](RequestContext& ctx) { monitor(ctx); });
    table.add(ipc::op::bonjourResolveDelay, [this](RequestContext& ctx) { resolveDelay(ctx); });
    table.add(ipc::op::bonjourFailResolve, [this](RequestContext& ctx) { failResolve(ctx); });
}

BonjourService::Registration* BonjourService::find(const std::string& name,
                                                   const std::optional<std::string>& type) {
    for (auto& r : m_services)
        if (r.name == name && (!type || r.type == *type)) return &r;
    return nullptr;
}

std::optional<BonjourService::Registration> BonjourService::registrationOf(RequestContext& ctx,
                                                                           const cf::Value& entry) {
    const std::string* name = stringField(entry, "name");
    const std::string* type = stringField(entry, "type");
    const std::string* domain = stringField(entry, "domain");
    const std::string* host = stringField(entry, "host");
    const cf::Value* port = entry.find("port");
    const cf::Value* txt = entry.find("txt");
    if (!entry.isDictionary() || !name || !type || !port || !port->storedInteger() ||
        (entry.find("host") && !host) || (entry.find("domain") && !domain)) {
        ctx.refuse("a service needs a name, a type and a port");
        return std::nullopt;
    }
    if (!validLabel(*name) || !validLabel(*type) || *port->storedInteger() < 0 ||
        *port->storedInteger() > 65535 || (domain && !domain->empty() && *domain != kDomain) ||
        (host && (host->empty() || host->size() > 255))) {
        ctx.fail(netServicesError(kBadArgumentError, "bad service name, type, domain, port or host"));
        return std::nullopt;
    }
    Registration r;
    r.owner = ctx.client().id;
    r.name = *name;
    r.type = *type;
    r.port = *port->storedInteger();
    r.host = host ? *host : "127.0.0.1";
    r.txt = {0};
    if (txt) {
        std::optional<cf::Bytes> bytes;
        if (txt->asData() && ns::dictionaryFromTXTRecordData(*txt->asData()))
            bytes = *txt->asData();
        else if (txt->isDictionary())
            bytes = ns::dataFromTXTRecordDictionary(*txt);
        if (!bytes) {
            ctx.fail(netServicesError(kBadArgumentError, "unreadable TXT record of " + *name));
            return std::nullopt;
        }
        r.txt = *bytes;
    }
    return r;
}

void BonjourService::publish(RequestContext& ctx) {
    bool ok = true;
    const cf::Value* services = ctx.optionalOfKind("services", cf::Value::Kind::Array, ok);
    const cf::Value* detached = ctx.optionalOfKind("detached", cf::Value::Kind::Boolean, ok);
    if (!ok) return;
    if (!services || services->count() == 0) return ctx.refuse("nothing to publish");
    std::vector<Registration> batch;
    for (size_t i = 0; i < services->count(); ++i) {
        auto r = registrationOf(ctx, *services->at(i));
        if (!r) return;
        if (detached && detached->asBool().value_or(false)) r->owner = 0;
        const bool taken =
            find(r->name, r->type) || std::any_of(batch.begin(), batch.end(), [&](const Registration& b) {
                return b.name == r->name && b.type == r->type;
            });
        if (taken) return ctx.fail(netServicesError(kCollisionError, "the name " + r->name + " is taken"));
        batch.push_back(std::move(*r));
    }
    const auto owned =
        static_cast<size_t>(std::count_if(m_services.begin(), m_services.end(),
                                          [&](const Registration& r) { return r.owner == ctx.client().id; }));
    if (owned + batch.size() > kMaxPerClient) return ctx.refuse("too many services");
    for (const auto& r : batch) {
        m_services.push_back(r);
        cf::Dictionary fields{
            {"name", r.name}, {"type", r.type}, {"domain", kDomain}, {"port", r.port}, {"host", r.host}};
        if (auto dict = ns::dictionaryFromTXTRecordData(r.txt)) fields.insert_or_assign("txt", *dict);
        m_host.events().record(std::string(ipc::eventKind::bonjourRegister), "publish",
                               posterOf(ctx.client()), fields);
    }
    ctx.reply();
    announce(batch, false);
}

void BonjourService::unpublish(RequestContext& ctx) {
    bool ok = true;
    const cf::Value* services = ctx.optionalOfKind("services", cf::Value::Kind::Array, ok);
    if (!ok) return;
    std::vector<Registration> gone;
    for (size_t i = 0; services && i < services->count(); ++i) {
        const cf::Value& entry = *services->at(i);
        const std::string* name = stringField(entry, "name");
        const std::string* type = stringField(entry, "type");
        if (!name) return ctx.refuse("a service to remove needs a name");
        Registration* r = find(*name, type ? std::optional<std::string>(*type) : std::nullopt);
        if (!r) continue;
        gone.push_back(*r);
        std::erase_if(m_services, [&](const Registration& s) {
            return s.name == gone.back().name && s.type == gone.back().type;
        });
    }
    ctx.reply(cf::Dictionary{{"removed", static_cast<int64_t>(gone.size())}});
    remove(gone, "stop", posterOf(ctx.client()));
}

void BonjourService::remove(const std::vector<Registration>& gone, const std::string& reason,
                            const Poster& poster) {
    if (gone.empty()) return;
    for (const auto& r : gone) {
        std::erase_if(m_services,
                      [&](const Registration& s) { return s.name == r.name && s.type == r.type; });
        m_host.events().record(std::string(ipc::eventKind::bonjourUnregister), "stop", poster,
                               {{"name", r.name}, {"type", r.type}, {"domain", kDomain}, {"reason", reason}});
    }
    announce(gone, true);
}

// Each browse of the type sees the batch as one push; the facade reports all but the last with
// moreComing.
void BonjourService::announce(const std::vector<Registration>& batch, bool removed) {
    for (const auto& b : m_browses) {
        cf::Array matching;
        for (const auto& r : batch)
            if (r.type == b.type) matching.push_back(describe(r.name, r.type));
        if (matching.empty()) continue;
        m_host.push(b.clientId, ipc::topic::bonjourBrowse,
                    cf::Dictionary{{"browse", b.id},
                                   {"removed", removed},
                                   {"services", cf::Value(std::move(matching))}});
    }
}

void BonjourService::setTXT(RequestContext& ctx) {
    const std::string* name = ctx.requiredString("name");
    if (!name) return;
    bool ok = true;
    auto type = ctx.optionalString("type", ok);
    if (!ok) return;
    Registration* r = find(*name, type);
    if (!r) return ctx.fail(netServicesError(-72002, "no service " + *name));
    const cf::Value* txt = ctx.args().find("txt");
    std::optional<cf::Bytes> bytes;
    if (txt && txt->asData() && ns::dictionaryFromTXTRecordData(*txt->asData()))
        bytes = *txt->asData();
    else if (txt && txt->isDictionary())
        bytes = ns::dataFromTXTRecordDictionary(*txt);
    if (!bytes) return ctx.fail(netServicesError(kBadArgumentError, "unreadable TXT record of " + *name));
    r->txt = *bytes;
    ctx.reply();
    for (const auto& m : m_monitors)
        if (m.name == r->name && m.type == r->type)
            m_host.push(m.clientId, ipc::topic::bonjourTXT,
                        cf::Dictionary{{"monitor", m.id}, {"txt", cf::Value(r->txt)}});
}

void BonjourService::list(RequestContext& ctx) {
    cf::Array out;
    for (const auto& r : m_services) {
        int64_t pid = 0;
        for (const Client* c : m_host.clients())
            if (c->id == r.owner) pid = c->pid;
        cf::Dictionary d{{"name", r.name}, {"type", r.type},          {"domain", kDomain}, {"port", r.port},
                         {"host", r.host}, {"txt", cf::Value(r.txt)}, {"pid", pid}};
        out.push_back(cf::Value(std::move(d)));
    }
    ctx.reply(cf::Dictionary{{"services", cf::Value(std::move(out))}});
}

void BonjourService::browse(RequestContext& ctx) {
    auto id = ctx.requiredInteger("browse");
    const std::string* type = id ? ctx.requiredString("type") : nullptr;
    if (!type) return;
    const uint64_t client = ctx.client().id;
    if (std::count_if(m_browses.begin(), m_browses.end(), [&](const Browse& b) {
            return b.clientId == client;
        }) >= static_cast<long>(kMaxPerClient))
        return ctx.refuse("too many browses");
    m_browses.push_back(Browse{client, *id, *type});
    ctx.reply();
    cf::Array current;
    for (const auto& r : m_services)
        if (r.type == *type) current.push_back(describe(r.name, r.type));
    if (!current.empty())
        m_host.push(
            client, ipc::topic::bonjourBrowse,
            cf::Dictionary{{"browse", *id}, {"removed", false}, {"services", cf::Value(std::move(current))}});
}

void BonjourService::stopBrowse(RequestContext& ctx) {
    auto id = ctx.requiredInteger("browse");
    if (!id) return;
    std::erase_if(m_browses, [&](const Browse& b) { return b.clientId == ctx.client().id && b.id == *id; });
    ctx.reply();
}

void BonjourService::cancelResolve(uint64_t clientId, int64_t id) {
    auto it = m_resolves.find({clientId, id});
    if (it == m_resolves.end()) return;
    m_host.loop().cancel(it->second.timer);
    m_resolves.erase(it);
}

void BonjourService::resolve(RequestContext& ctx) {
    auto id = ctx.requiredInteger("resolve");
    if (!id) return;
    const std::string* name = ctx.requiredString("name");
    const std::string* type = name ? ctx.requiredString("type") : nullptr;
    if (!type) return;
    bool ok = true;
    auto timeout = ctx.optionalReal("timeout", ok);
    if (!ok) return;
    const double limit =
        timeout && std::isfinite(*timeout) && *timeout > 0 ? std::min(*timeout, 86400.0) : 5.0;
    const uint64_t client = ctx.client().id;
    cancelResolve(client, *id); // resolving again restarts it: one outcome
    if (m_resolves.size() >= kMaxPerClient * 4) return ctx.refuse("too many resolves");

    Resolve pending{client, *id, *name, *type, 0};
    Registration* r = find(*name, *type);
    const platform::TimePoint start = platform::now();
    auto timeoutAt = start + platform::seconds(limit);
    if (!r || r->resolveDelay > limit) {
        pending.timer = m_host.loop().runAt(
            timeoutAt, [this, client, id = *id] { finishResolve(client, id, kTimeoutError); });
    } else {
        std::optional<int64_t> failure;
        if (r->failCount > 0) {
            --r->failCount;
            failure = r->failCode;
        }
        pending.timer =
            m_host.loop().runAt(start + platform::seconds(r->resolveDelay),
                                [this, client, id = *id, failure] { finishResolve(client, id, failure); });
    }
    m_resolves.emplace(std::make_pair(client, *id), pending);
    ctx.reply();
}

void BonjourService::finishResolve(uint64_t clientId, int64_t id, std::optional<int64_t> failure) {
    auto it = m_resolves.find({clientId, id});
    if (it == m_resolves.end()) return;
    Resolve pending = it->second;
    m_resolves.erase(it);
    cf::Dictionary body{{"resolve", id}};
    const Registration* r = failure ? nullptr : find(pending.name, pending.type);
    if (!failure && !r) failure = kTimeoutError; // gone before its delay ran out
    if (failure) {
        body.insert_or_assign("ok", false);
        body.insert_or_assign("code", *failure);
    } else {
        body.insert_or_assign("ok", true);
        body.insert_or_assign("host", r->host);
        body.insert_or_assign("port", r->port);
        body.insert_or_assign("txt", cf::Value(r->txt));
    }
    m_host.push(clientId, ipc::topic::bonjourResolve, body);
}

void BonjourService::stopResolve(RequestContext& ctx) {
    auto id = ctx.requiredInteger("resolve");
    if (!id) return;
    cancelResolve(ctx.client().id, *id);
    ctx.reply();
}

void BonjourService::monitor(RequestContext& ctx) {
    auto id = ctx.requiredInteger("monitor");
    const std::string* name = id ? ctx.requiredString("name") : nullptr;
    const std::string* type = name ? ctx.requiredString("type") : nullptr;
    if (!type) return;
    bool ok = true;
    const cf::Value* on = ctx.optionalOfKind("on", cf::Value::Kind::Boolean, ok);
    if (!ok) return;
    const uint64_t client = ctx.client().id;
    std::erase_if(m_monitors, [&](const Monitor& m) { return m.clientId == client && m.id == *id; });
    if (on && on->asBool().value_or(false)) {
        if (m_monitors.size() >= kMaxPerClient * 4) return ctx.refuse("too many monitors");
        m_monitors.push_back(Monitor{client, *id, *name, *type});
    }
    ctx.reply();
}

void BonjourService::resolveDelay(RequestContext& ctx) {
    const std::string* name = ctx.requiredString("name");
    if (!name) return;
    bool ok = true;
    auto seconds = ctx.optionalReal("seconds", ok);
    if (!ok) return;
    if (!seconds || !std::isfinite(*seconds) || *seconds < 0)
        return ctx.refuse("a delay is a number of seconds");
    Registration* r = find(*name, std::nullopt);
    if (!r) return ctx.refuse("no service " + *name);
    r->resolveDelay = *seconds;
    ctx.reply();
}

void BonjourService::failResolve(RequestContext& ctx) {
    const std::string* name = ctx.requiredString("name");
    if (!name) return;
    bool ok = true;
    auto code = ctx.optionalInteger("code", ok);
    auto count = ctx.optionalInteger("count", ok);
    if (!ok) return;
    Registration* r = find(*name, std::nullopt);
    if (!r) return ctx.refuse("no service " + *name);
    r->failCode = code.value_or(kUnknownError);
    r->failCount = std::max<int64_t>(0, count.value_or(1));
    ctx.reply();
}

void BonjourService::clientGone(const Client& client) {
    std::vector<Registration> gone;
    for (const auto& r : m_services)
        if (r.owner == client.id) gone.push_back(r);
    remove(gone, "connection", posterOf(client));
    std::erase_if(m_browses, [&](const Browse& b) { return b.clientId == client.id; });
    std::erase_if(m_monitors, [&](const Monitor& m) { return m.clientId == client.id; });
    for (auto it = m_resolves.begin(); it != m_resolves.end();) {
        if (it->first.first == client.id) {
            m_host.loop().cancel(it->second.timer);
            it = m_resolves.erase(it);
        } else {
            ++it;
        }
    }
}

} // namespace platformd
