#include "platform/daemon/KernelService.h"

#include "platform/daemon/EventService.h"

#include "platform/core/Log.h"
#include "platform/daemon/Platformd.h"
#include "platform/daemon/WindowServerService.h"
#include "platform/iokit/IOKitFastCall.h"
#include "platform/iokit/IOKitProtocol.h"
#include "platform/iokit/IOKitRequestServer.h"

#include "platform/core/Format.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>

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
    table.add(iokit::op::fastChannel, [this](RequestContext& ctx) { openFastChannel(ctx); });
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
    std::vector<FastChannel> channels;
    {
        std::lock_guard lock(m_mutex);
        if (auto found = m_fastChannels.find(client.id); found != m_fastChannels.end()) {
            channels = std::move(found->second);
            m_fastChannels.erase(found);
        }
        auto it = m_tasks.find(client.id);
        if (it != m_tasks.end()) {
            task = std::move(it->second);
            m_tasks.erase(it);
        }
    }
    for (auto& channel : channels)
        endFastChannel(std::move(channel));
    if (!task) return;
    auto use = m_host->use();
    if (use) task->processDied(); // outside the map's lock: user clients run driver code
}

void KernelService::shutdown() {
    std::map<uint64_t, std::vector<FastChannel>> channels;
    {
        std::lock_guard lock(m_mutex);
        m_shuttingDown = true;
        channels.swap(m_fastChannels);
    }
    for (auto& [id, ofClient] : channels)
        for (auto& channel : ofClient)
            endFastChannel(std::move(channel));
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

// On the caller's connection thread. The channel's thread serves the process's scalar calls
// until the process closes its end or goes.
void KernelService::openFastChannel(RequestContext& ctx) {
    auto use = m_host->use();
    if (!use) return ctx.refuse("the kernel is not running");
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        return ctx.refuse(platform::format("no socket pair: %s", std::strerror(errno)));
    ipc::UniqueFd ours(ends[0]), theirs(ends[1]);
    const uint64_t clientId = ctx.client().id;
    {
        std::lock_guard lock(m_mutex);
        if (m_shuttingDown) return ctx.refuse("the kernel is stopping");
        auto& ofClient = m_fastChannels[clientId];
        if (ofClient.size() >= iokit::fastcall::kMaxChannels) return ctx.refuse("this process has its lean channels already");
        FastChannel& channel = ofClient.emplace_back();
        const int fd = ours.get();
        channel.fd = std::move(ours);
        channel.thread = std::thread([this, fd, clientId] {
            iokit::IOKitRequestServer::serveFastCalls(
                fd, [this, clientId](const iokit::fastcall::ScalarCall& call, iokit::fastcall::ScalarResult& result) {
                    auto running = m_host->use();
                    auto task = running ? taskOf(clientId) : nullptr;
                    if (!task) return false;
                    iokit::IOKitRequestServer::callScalarMethod(*task, call, result);
                    return true;
                });
        });
    }
    std::vector<ipc::UniqueFd> fds;
    fds.push_back(std::move(theirs));
    ctx.responder().reply(cf::Value::emptyDictionary(), std::move(fds));
}

void KernelService::endFastChannel(FastChannel channel) {
    ::shutdown(channel.fd.get(), SHUT_RDWR); // wakes the thread's read; the descriptor stays ours
    if (channel.thread.joinable()) channel.thread.join();
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
    options.applicationObserver = WindowServerService::applicationForwarder(daemon);
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
