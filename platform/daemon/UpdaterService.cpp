#include "platform/daemon/UpdaterService.h"

#include "platform/daemon/EventLog.h"
#include "platform/ipc/Protocol.h"

#include <algorithm>

namespace platformd {

void UpdaterService::registerRequests(RequestTable& table) {
    table.add(ipc::op::updaterRegister, [this](RequestContext& ctx) { registerUpdater(ctx); });
    table.add(ipc::op::updaterCheck, [this](RequestContext& ctx) { check(ctx); });
    table.add(ipc::op::updaterAnswer, [this](RequestContext& ctx) { answer(ctx); });
}

void UpdaterService::registerUpdater(RequestContext& ctx) {
    auto id = ctx.requiredInteger("updater");
    const std::string* bundlePath = id ? ctx.requiredString("bundlePath") : nullptr;
    if (!bundlePath) return;
    const uint64_t client = ctx.client().id;
    const auto count = std::count_if(m_updaters.begin(), m_updaters.end(),
                                     [&](const Updater& u) { return u.clientId == client; });
    if (static_cast<size_t>(count) >= kMaxUpdatersPerClient) return ctx.refuse("too many updaters");
    m_updaters.push_back(Updater{client, *id, *bundlePath});
    ctx.reply();
}

void UpdaterService::check(RequestContext& ctx) {
    auto id = ctx.requiredInteger("updater");
    const std::string* bundlePath = id ? ctx.requiredString("bundlePath") : nullptr;
    if (!bundlePath) return;
    bool ok = true;
    auto version = ctx.optionalString("version", ok);
    const cf::Value* found = ctx.optionalOfKind("found", cf::Value::Kind::String, ok);
    if (!ok) return;
    cf::Dictionary fields{{"bundlePath", *bundlePath}};
    if (version) fields.insert_or_assign("version", *version);
    if (found) fields.insert_or_assign("found", *found);
    m_host.events().record(std::string(ipc::eventKind::updateCheck),
                           "checkForUpdates:", posterOf(ctx.client()), fields);
    ctx.reply();
}

void UpdaterService::answer(RequestContext& ctx) {
    const std::string* call = ctx.requiredString("answer");
    if (!call) return;
    bool ok = true;
    auto version = ctx.optionalString("version", ok);
    if (!ok) return;
    if (*call != "found" && *call != "uptodate" && *call != "install")
        return ctx.refuse("an updater answer is found, uptodate or install");
    if (*call == "found" && !version) return ctx.refuse("a found update needs a version");
    int64_t told = 0;
    for (const auto& u : m_updaters) {
        cf::Dictionary body{{"updater", u.id}, {"call", *call}};
        if (version) body.insert_or_assign("displayVersionString", *version);
        if (m_host.push(u.clientId, ipc::topic::updater, body)) ++told;
    }
    ctx.reply(cf::Dictionary{{"updaters", told}});
}

void UpdaterService::clientGone(const Client& client) {
    std::erase_if(m_updaters, [&](const Updater& u) { return u.clientId == client.id; });
}

} // namespace platformd
