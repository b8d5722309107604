#include "platform/daemon/Platformd.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/daemon/ApplicationService.h"
#include "platform/daemon/AuthorizationService.h"
#include "platform/daemon/BonjourService.h"
#include "platform/daemon/DistributedNotificationService.h"
#include "platform/daemon/EventLogService.h"
#include "platform/daemon/LoginItemsService.h"
#include "platform/daemon/UpdaterService.h"
#include "platform/daemon/RootScripts.h"
#include "platform/ipc/Protocol.h"
#include "platform/ipc/UnixSocket.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platformd {

namespace {

// A hello's texts name a process and a bundle; anything longer is not one.
constexpr size_t kMaxHelloText = 4096;

void signalEvent(int fd) {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
}

} // namespace

Platformd::Platformd(PlatformdOptions options)
    : m_root(std::move(options.root)), m_stopAccepting(::eventfd(0, EFD_CLOEXEC)),
      m_shutdownEvent(::eventfd(0, EFD_CLOEXEC)) {
    while (m_root.size() > 1 && m_root.back() == '/')
        m_root.pop_back();
    m_socketPath = ipc::socketPathForRoot(m_root);
    auto kexts = std::make_unique<KextService>(options.kexts);
    m_kextService = kexts.get();
    m_services.push_back(std::move(kexts));
}

Platformd::~Platformd() {
    shutdown();
}

void Platformd::addService(std::unique_ptr<SystemService> service) {
    m_services.push_back(std::move(service));
}

void Platformd::addClientGoneHook(std::function<void(const Client&)> hook) {
    m_goneHooks.push_back(std::move(hook));
}

void Platformd::setKextListProvider(std::shared_ptr<KextListProvider> provider) {
    m_kextService->setProvider(std::move(provider));
}

bool Platformd::prepare(platform::Error* error) {
    if (m_root.empty() || m_root[0] != '/') {
        platform::setError(error, refusal("platformd needs an absolute root (--root DIR or PLATFORM_ROOT)"));
        return false;
    }
    if (m_socketPath.size() > ipc::kMaxSocketPathBytes) {
        std::string why = platform::format("the socket path %s is %zu bytes; a Unix socket path must stay "
                                           "under 108 bytes: use a shorter root",
                                           m_socketPath, m_socketPath.size());
        platform::setError(error, refusal(why));
        return false;
    }
    if (ipc::connectUnix(m_socketPath)) {
        platform::setError(error, refusal("another platformd already serves " + m_root));
        return false;
    }
    ::setenv("PLATFORM_ROOT", m_root.c_str(), 1);
    platform::Profile::reload();
    m_profile = *platform::Profile::current();
    registerRootScripts();
    if (!platform::prepareRoot(m_root, m_profile, error)) return false;
    ::chmod((m_root + "/run").c_str(), 0700);
    return cf::createDirectories(m_root + "/var/db/loginitems", 0755, error);
}

bool Platformd::listen(platform::Error* error) {
    // Bound under a temporary name and renamed once listening, so the socket's path appears
    // only when a connect can succeed: waiting for readiness is waiting for the path.
    std::string temporary = m_root + "/run/pd." + std::to_string(::getpid());
    m_listenFd = ipc::listenUnix(temporary);
    if (!m_listenFd || ::rename(temporary.c_str(), m_socketPath.c_str()) != 0) {
        int err = errno;
        ::unlink(temporary.c_str());
        platform::setError(error, platform::Error::posix(err));
        return false;
    }
    return true;
}

bool Platformd::boot(platform::Error* error) {
    if (m_booted) return true;
    platform::Error failure;
    if (!m_reaper) m_reaper = std::make_unique<ChildReaper>();
    if (!prepare(&failure) || !listen(&failure)) {
        platform::log("platformd: cannot boot: %@", failure);
        platform::setError(error, failure);
        return false;
    }
    auto applications = std::make_unique<ApplicationService>(*this);
    auto loginItems = std::make_unique<LoginItemsService>(*this, *applications);
    m_applications = applications.get();
    m_services.push_back(std::make_unique<EventLogService>(*this));
    m_services.push_back(std::make_unique<DistributedNotificationService>(*this));
    m_services.push_back(std::move(applications));
    m_services.push_back(std::move(loginItems));
    m_services.push_back(std::make_unique<AuthorizationService>(*this));
    m_services.push_back(std::make_unique<BonjourService>(*this));
    m_services.push_back(std::make_unique<UpdaterService>(*this));
    registerOwnRequests();
    for (auto& service : m_services)
        service->registerRequests(m_table);
    m_loop.start();
    m_acceptThread = std::thread([this] { acceptLoop(); });
    m_booted = true;
    m_events.record(std::string(ipc::eventKind::ready), "", Poster{::getpid(), ""},
                    {{"root", m_root}, {"socket", m_socketPath}});
    platform::log("platformd ready on %s", m_socketPath);
    return true;
}

void Platformd::registerOwnRequests() {
    m_table.add(ipc::op::status, [this](RequestContext& ctx) { status(ctx); });
    m_table.add(ipc::op::shutdown, [this](RequestContext& ctx) {
        ctx.reply();
        requestShutdown();
    });
}

void Platformd::requestShutdown() {
    signalEvent(m_shutdownEvent.get());
}

void Platformd::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{m_listenFd.get(), POLLIN, 0}, {m_stopAccepting.get(), POLLIN, 0}};
        // Only a connection or the stop event ends this wait; nothing here is timed.
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) continue;
        int fd = ::accept4(m_listenFd.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue; // EINTR, ECONNABORTED, EMFILE...: try again
        std::shared_ptr<ClientConnection> connection;
        {
            std::lock_guard lock(m_connectionsMutex);
            if (m_connections.size() >= kMaxConnections) {
                ::close(fd);
                platform::log("platformd: refusing a connection: %zu are open already", m_connections.size());
                continue;
            }
            uint64_t id = m_nextClientId++;
            connection = std::make_shared<ClientConnection>(ipc::UniqueFd(fd), id,
                                                            static_cast<ClientConnection::Delegate&>(*this));
            m_connections.emplace(id, connection);
        }
        connection->start();
    }
}

void Platformd::requestReceived(const std::shared_ptr<ClientConnection>& connection, ipc::Request request) {
    if (const RequestHandler* handler = m_connectionTable.find(request.op)) {
        serveOnConnectionThread(connection, request, *handler);
        return;
    }
    auto shared = std::make_shared<ipc::Request>(std::move(request));
    bool queued = m_loop.post([this, connection, shared] {
        dispatch(connection, *shared);
        connection->requestHandled();
    });
    if (!queued) connection->end("platformd is stopping");
}

void Platformd::serveOnConnectionThread(const std::shared_ptr<ClientConnection>& connection, ipc::Request& request,
                                        const RequestHandler& handler) {
    RequestContext ctx(connection->client(), request.args, request.fds, Responder(connection, request.id),
                       request.bytes);
    handler(ctx);
    if (!ctx.deferred() && !ctx.responder().answered()) ctx.reply();
    connection->requestHandled();
}

void Platformd::connectionEnded(const std::shared_ptr<ClientConnection>& connection) {
    if (!m_loop.post([this, connection] { clientGone(connection); })) {
        std::lock_guard lock(m_connectionsMutex);
        m_connections.erase(connection->id());
        m_connectionsCv.notify_all();
    }
}

void Platformd::dispatch(const std::shared_ptr<ClientConnection>& connection, ipc::Request& request) {
    RequestContext ctx(connection->client(), request.args, request.fds, Responder(connection, request.id),
                       request.bytes);
    if (request.op == ipc::op::hello) {
        greet(*connection, ctx);
        return;
    }
    if (!connection->client().greeted) return; // its hello was refused; the connection is ending
    const RequestHandler* handler = m_table.find(request.op);
    if (!handler) {
        ctx.refuse("unknown request \"" + request.op.substr(0, 64) + "\"");
        return;
    }
    (*handler)(ctx);
    if (!ctx.deferred() && !ctx.responder().answered()) ctx.reply();
}

void Platformd::greet(ClientConnection& connection, RequestContext& ctx) {
    Client& client = connection.client();
    if (client.greeted) return ctx.refuse("hello was already said");
    auto protocol = ctx.requiredInteger("protocol");
    if (!protocol) return connection.end("malformed hello", true);
    if (*protocol != ipc::kProtocolVersion) {
        ctx.refuse(platform::format("protocol %lld is not spoken here (platformd speaks %lld)",
                                    static_cast<long long>(*protocol),
                                    static_cast<long long>(ipc::kProtocolVersion)));
        return connection.end("protocol mismatch", true);
    }
    bool ok = true;
    auto executable = ctx.optionalString("executable", ok, kMaxHelloText);
    auto processName = ctx.optionalString("processName", ok, kMaxHelloText);
    auto bundleIdentifier = ctx.optionalString("bundleIdentifier", ok, kMaxHelloText);
    auto bundlePath = ctx.optionalString("bundlePath", ok, kMaxHelloText);
    auto user = ctx.optionalString("user", ok, kMaxHelloText);
    if (!ok) return connection.end("malformed hello", true);
    client.executable = executable.value_or("");
    client.processName = processName.value_or(client.commandName());
    client.bundleIdentifier = bundleIdentifier.value_or("");
    client.bundlePath = bundlePath.value_or("");
    client.user = user.value_or("");
    client.greeted = true;
    connection.setLabelName(client.processName);
    for (auto& service : m_services)
        service->clientArrived(client);
    ctx.reply(cf::Dictionary{{"pid", static_cast<int64_t>(::getpid())}});
}

void Platformd::status(RequestContext& ctx) {
    cf::Array processes;
    for (const Client* c : clients())
        processes.push_back(c->toValue());
    ctx.reply(cf::Dictionary{{"root", m_root},
                             {"pid", static_cast<int64_t>(::getpid())},
                             {"profile", cf::Value(m_profile.toDictionary())},
                             {"processes", cf::Value(std::move(processes))}});
}

void Platformd::clientGone(const std::shared_ptr<ClientConnection>& connection) {
    const Client& client = connection->client();
    if (client.greeted) {
        for (auto& service : m_services)
            service->clientGone(client);
        for (auto& hook : m_goneHooks)
            hook(client);
        // Recorded after every holding is released, so a test waiting for it sees them gone.
        m_events.record(std::string(ipc::eventKind::clientGone), "", Poster{},
                        {{"pid", static_cast<int64_t>(client.pid)}, {"executable", client.executable}});
    }
    connection->end("");
    connection->join();
    {
        std::lock_guard lock(m_connectionsMutex);
        m_connections.erase(connection->id());
        m_connectionsCv.notify_all();
    }
    // A client that stopped reading had up to kMaxOutboundBytes queued, freed now that its
    // writer is gone; the allocator would keep those pages mapped (its arenas are trimmed
    // only from their top), leaving platformd near that peak for good. Hand them back.
    if (connection->overflowed()) ::malloc_trim(0);
}

bool Platformd::push(uint64_t clientId, std::string_view topic, const cf::Value& body) {
    std::shared_ptr<ClientConnection> connection;
    {
        std::lock_guard lock(m_connectionsMutex);
        auto it = m_connections.find(clientId);
        if (it == m_connections.end()) return false;
        connection = it->second;
    }
    return connection->send(ipc::makeEvent(std::string(topic), body, 0));
}

std::vector<const Client*> Platformd::clients() const {
    std::lock_guard lock(m_connectionsMutex);
    std::vector<const Client*> out;
    for (auto& [id, connection] : m_connections)
        if (connection->client().greeted) out.push_back(&connection->client());
    return out;
}

bool Platformd::endConnections(bool flush, platform::TimePoint deadline) {
    std::vector<std::shared_ptr<ClientConnection>> open;
    {
        std::lock_guard lock(m_connectionsMutex);
        for (auto& [id, connection] : m_connections)
            open.push_back(connection);
    }
    for (auto& connection : open)
        connection->end("", flush);
    open.clear();
    // Each ended connection leaves through clientGone on the service thread.
    std::unique_lock lock(m_connectionsMutex);
    return platform::waitUntil(m_connectionsCv, lock, deadline, [&] { return m_connections.empty(); });
}

void Platformd::shutdown() {
    if (!m_booted || m_shutDown) return;
    m_shutDown = true;
    signalEvent(m_stopAccepting.get());
    if (m_acceptThread.joinable()) m_acceptThread.join();
    ::unlink(m_socketPath.c_str());
    m_listenFd.reset();

    m_loop.runAndWait([this] {
        for (auto& service : m_services)
            service->shutdown();
    });
    // Launched applications and tools alike: SIGTERM, then SIGKILL after the grace period.
    m_reaper->signalAll(SIGTERM);
    auto grace = platform::now() + platform::seconds(kTerminateGraceSeconds);
    if (!m_reaper->waitUntilEmpty(grace)) {
        m_reaper->signalAll(SIGKILL);
        m_reaper->waitUntilEmpty(platform::now() + platform::seconds(kTerminateGraceSeconds));
    }

    // Replies already queued (the shutdown request's own among them) go out first; a client
    // that does not read them within the grace period is cut off.
    endConnections(true, platform::now() + platform::seconds(kTerminateGraceSeconds));
    endConnections(false, platform::kDistantFuture);
    m_loop.stop();
    m_reaper->stop();
    platform::log("platformd stopped");
}

} // namespace platformd
