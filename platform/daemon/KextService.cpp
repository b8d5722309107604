#include "platform/daemon/KextService.h"

#include "platform/ipc/Protocol.h"

namespace platformd {

KextService::KextService(std::shared_ptr<KextListProvider> provider)
    : m_provider(provider ? std::move(provider) : std::make_shared<NoKexts>()) {}

void KextService::setProvider(std::shared_ptr<KextListProvider> provider) {
    m_provider = provider ? std::move(provider) : std::make_shared<NoKexts>();
}

void KextService::registerRequests(RequestTable& table) {
    table.add(ipc::op::loadedKexts, [this](RequestContext& ctx) { loaded(ctx); });
}

void KextService::loaded(RequestContext& ctx) {
    bool ok = true;
    const cf::Value* ids = ctx.optionalOfKind("ids", cf::Value::Kind::Array, ok);
    if (!ok) return;
    cf::Dictionary all = m_provider->loadedKexts();
    if (!ids) return ctx.reply(cf::Dictionary{{"kexts", cf::Value(std::move(all))}});
    cf::Dictionary asked;
    for (size_t i = 0; i < ids->count(); ++i) {
        const std::string* id = ids->at(i)->asString();
        if (!id) continue;
        if (auto it = all.find(*id); it != all.end()) asked.insert_or_assign(*id, it->second);
    }
    ctx.reply(cf::Dictionary{{"kexts", cf::Value(std::move(asked))}});
}

} // namespace platformd
