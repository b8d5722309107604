#include "platform/daemon/KernelService.h"

#include "platform/daemon/EventService.h"

#include "platform/core/Log.h"
#include "platform/daemon/Platformd.h"
#include "platform/daemon/WindowServerService.h"
#include "platform/iokit/IOKitProtocol.h"
#include "platform/iokit/IOKitRequestServer.h"

#include <cstdlib>

namespace platformd {

KernelService::KernelService(std::shared_ptr<KernelHost> host) : m_host(std::move(host)) {}

KernelService::~KernelService() {
    shutdown();
}

void KernelService::registerRequests(RequestTable&) {}

void KernelService::registerConnectionRequests(RequestTable& table) {
    for (const auto& entry : iokit::kIOKitOps) {
        std::string_view op = entry.name;
        table.add(op, [this, op](RequestContext& ctx) { serve(op, ctx); });
    }
}

void KernelService::clientArrived(const Client& client) {
    auto use = m_host->use();
    if (!use) return;
    auto task = std::make_shared<kernel::UserTask>(m_host->kernel(), client.pid, client.bundleIdentifier);
    std::lock_guard lock(m_mutex);
    m_tasks[client.id] = std::move(task);
}

void KernelService::clientGone(const Client& client) {
    std::shared_ptr<kernel::UserTask> task;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_tasks.find(client.id);
        if (it == m_tasks.end()) return;
        task = std::move(it->second);
        m_tasks.erase(it);
    }
    auto use = m_host->use();
    if (use) task->processDied(); // outside the map's lock: user clients run driver code
}

void KernelService::shutdown() {
    m_host->shutdown();
    std::lock_guard lock(m_mutex);
    m_tasks.clear();
}

std::shared_ptr<kernel::UserTask> KernelService::taskOf(uint64_t clientId) {
    std::lock_guard lock(m_mutex);
    auto it = m_tasks.find(clientId);
    return it == m_tasks.end() ? nullptr : it->second;
}

// On the caller's connection thread: only the client's id and pid may be read here.
void KernelService::serve(std::string_view op, RequestContext& ctx) {
    auto use = m_host->use();
    if (!use) return ctx.refuse("the kernel is not running");
    auto task = taskOf(ctx.client().id);
    if (!task) return ctx.refuse("no kernel task yet: wait for the hello's answer");
    std::string why;
    auto result = iokit::IOKitRequestServer::serve(*task, op, ctx.args(), why);
    if (!result) {
        platform::log("platformd: refusing %@ of pid %d: %@", op, static_cast<int>(ctx.client().pid), why);
        return ctx.refuse(why);
    }
    ctx.reply(*result);
}

cf::Dictionary HostedKextList::loadedKexts() const {
    auto use = m_host->use();
    if (!use) return {};
    cf::Value info = m_host->kernel().copyLoadedKextInfo(nullptr);
    const cf::Dictionary* dictionary = info.asDictionary();
    return dictionary ? *dictionary : cf::Dictionary{};
}

void hostKernelAndWindowServer(Platformd& daemon, const std::string& root,
                               const std::optional<std::string>& kextFolder) {
    // The profile of the root platformd is about to serve: model and serial name the registry.
    ::setenv("PLATFORM_ROOT", root.c_str(), 1);
    platform::Profile::reload();
    KernelHostOptions options;
    options.profile = *platform::Profile::current();
    if (kextFolder)
        options.kextBundles = KernelHost::kextBundlesIn(*kextFolder);
    else
        platform::log("platformd: booting without kexts");
    options.displayObserver = WindowServerService::displayRecorder(daemon.events());
    EventLog& events = daemon.events();
    options.recordEvent = [&events](std::string_view kind, std::string_view api, cf::Dictionary fields) {
        events.record(std::string(kind), std::string(api), Poster{}, std::move(fields));
    };
    auto host = std::make_shared<KernelHost>(options);

    auto kernelService = std::make_unique<KernelService>(host);
    kernelService->registerConnectionRequests(daemon.connectionThreadRequests());
    auto windowServerService = std::make_unique<WindowServerService>(host, daemon);
    windowServerService->registerConnectionRequests(daemon.connectionThreadRequests());
    auto eventService = std::make_unique<EventService>(daemon, host);
    eventService->registerConnectionRequests(daemon.connectionThreadRequests());
    daemon.setKextListProvider(std::make_shared<HostedKextList>(host));
    daemon.addService(std::move(kernelService));
    daemon.addService(std::move(windowServerService));
    daemon.addService(std::move(eventService));
}

} // namespace platformd
