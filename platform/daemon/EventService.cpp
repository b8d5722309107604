#include "platform/daemon/EventService.h"

#include "platform/corefoundation/Profile.h"
#include "platform/daemon/ServiceLoop.h"
#include "platform/windowserver/EventProtocol.h"

#include <fstream>
#include <limits>
#include <sstream>
#include <unistd.h>

namespace platformd {

namespace {

windowserver::EventSystemConfig configOf(ServiceHost& daemon, KernelHost& host) {
    windowserver::EventSystemConfig config;
    // Read as the kernel host read it: the daemon's own copy is loaded only at its boot.
    auto current = platform::Profile::current();
    const cf::Dictionary& profile = current->dictionary;
    if (auto it = profile.find("KeyboardLayout"); it != profile.end() && it->second.asString())
        config.keyboardLayout = *it->second.asString();
    config.scheduler = [&daemon, &host](double seconds, std::function<void()> task) {
        daemon.loop().runAt(platform::now() + platform::seconds(seconds), [&host, task] {
            if (auto use = host.use()) task();
        });
    };
    return config;
}

// The parent of a process from /proc/<pid>/stat ("pid (name) state ppid ..."; the name may
// hold blanks and parentheses, so reading starts after the last ")"); 0 when unknown.
pid_t parentPid(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(file, stat);
    size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream rest(stat.substr(close + 1));
    char state = 0;
    long parent = 0;
    if (!(rest >> state >> parent) || parent <= 0 || parent > std::numeric_limits<pid_t>::max()) return 0;
    return static_cast<pid_t>(parent);
}

} // namespace

EventService::EventService(ServiceHost& daemon, std::shared_ptr<KernelHost> host)
    : m_host(std::move(host)), m_eventHost(m_host->windowServer()) {
    m_events = std::make_unique<windowserver::EventSystem>(
        m_eventHost,
        [&daemon](windowserver::EventRecord r) {
            daemon.events().record(std::move(r.kind), std::move(r.api),
                                   Poster{r.poster.pid, std::move(r.poster.bundleIdentifier)},
                                   std::move(r.fields));
        },
        [this] { return processTable(); }, configOf(daemon, *m_host));
    m_events->setClearLogHandler([&daemon] { daemon.events().clear(); });
    kernel::IOHIDSystem::setEventListener(this);
}

EventService::~EventService() {
    kernel::IOHIDSystem::setEventListener(nullptr);
}

kernel::IOReturn EventService::hidPostEvent(const kernel::task& poster, uint32_t type,
                                            kernel::IOGPoint location, const void* data, size_t dataSize,
                                            uint32_t version, uint32_t flags, uint32_t options) {
    auto use = m_host->use();
    if (!use) return kernel::kIOReturnNotAttached;
    return m_events->postHID(windowserver::EventPoster{poster.pid, poster.bundleIdentifier}, type, location,
                             data, dataSize, version, flags, options);
}

kernel::IOReturn EventService::hidButtonEventNumber(uint32_t button, uint32_t* count) {
    auto use = m_host->use();
    if (!use) return kernel::kIOReturnNotAttached;
    return m_events->buttonEventNumber(button, count);
}

void EventService::registerConnectionRequests(RequestTable& table) {
    for (const ipc::OpSignature& entry : windowserver::kEventOps) {
        std::string_view op = entry.name;
        table.add(op, [this, op](RequestContext& ctx) { serve(op, ctx); });
    }
}

void EventService::serve(std::string_view op, RequestContext& ctx) {
    auto use = m_host->use();
    if (!use) return ctx.refuse("the window server is not running");
    auto reply = m_events->handle(op, ctx.args(), posterOf(ctx.client().id, ctx.client().pid));
    if (!reply.ok) return ctx.refuse(reply.refusal);
    ctx.reply(reply.result);
}

void EventService::clientArrived(const Client& client) {
    pid_t parent = parentPid(client.pid);
    std::lock_guard lock(m_mutex);
    windowserver::ProcessRecord record;
    record.pid = client.pid;
    record.serialNumber = static_cast<uint32_t>(client.id);
    record.bundleIdentifier = client.bundleIdentifier;
    record.name = client.processName;
    record.bundlePath = client.bundlePath;
    record.executable = client.executable;
    record.parentPid = parent;
    record.launchedBySystem = parent == ::getpid();
    m_processes[client.id] = std::move(record);
}

void EventService::clientGone(const Client& client) {
    {
        std::lock_guard lock(m_mutex);
        m_processes.erase(client.id);
    }
    if (auto use = m_host->use()) m_events->processGone(client.pid);
}

windowserver::EventPoster EventService::posterOf(uint64_t clientId, pid_t pid) const {
    std::lock_guard lock(m_mutex);
    auto it = m_processes.find(clientId);
    return windowserver::EventPoster{pid, it == m_processes.end() ? "" : it->second.bundleIdentifier};
}

std::vector<windowserver::ProcessRecord> EventService::processTable() const {
    std::lock_guard lock(m_mutex);
    std::vector<windowserver::ProcessRecord> out;
    for (const auto& [id, record] : m_processes)
        out.push_back(record);
    return out;
}

} // namespace platformd
