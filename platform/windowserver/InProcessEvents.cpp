#include "platform/windowserver/InProcessEvents.h"

#include "platform/windowserver/EventProtocol.h"

#include <unistd.h>

namespace windowserver {

InProcessEvents::InProcessEvents(std::vector<cg::CGRect> displays, EventSystemConfig config)
    : m_standalone(std::make_unique<StandaloneEventHost>(std::move(displays))) {
    start(*m_standalone, std::move(config));
}

InProcessEvents::InProcessEvents(EventHost& host, EventSystemConfig config) {
    start(host, std::move(config));
}

void InProcessEvents::start(EventHost& host, EventSystemConfig config) {
    m_poster.pid = ::getpid();
    m_events = std::make_unique<EventSystem>(
        host,
        [this](EventRecord record) {
            std::lock_guard lock(m_mutex);
            m_entries.push_back(std::move(record));
        },
        [this] {
            std::lock_guard lock(m_mutex);
            return m_processes;
        },
        std::move(config));
    m_events->setClearLogHandler([this] { clearEntries(); });
}

InProcessEvents::~InProcessEvents() {
    uninstall();
}

void InProcessEvents::install() {
    cg::CGSSetWindowServerTransport(shared_from_this());
    m_installed = true;
}

void InProcessEvents::uninstall() {
    if (!m_installed) return;
    m_installed = false;
    // Another transport installed since stays.
    if (cg::CGSCurrentWindowServerTransport().get() == this) cg::CGSSetWindowServerTransport(nullptr);
}

std::optional<cf::Value> InProcessEvents::request(std::string_view op, const cf::Value& args) {
    EventPoster poster;
    {
        std::lock_guard lock(m_mutex);
        poster = m_poster;
    }
    auto reply = m_events->handle(op, args, poster);
    if (!reply.ok) return std::nullopt;
    return reply.result;
}

void InProcessEvents::setBundleIdentifier(std::string identifier) {
    std::lock_guard lock(m_mutex);
    m_poster.bundleIdentifier = std::move(identifier);
}

void InProcessEvents::addProcess(pid_t pid, std::string bundleIdentifier, std::string name,
                                 std::string bundlePath) {
    ProcessRecord record;
    record.pid = pid;
    record.bundleIdentifier = std::move(bundleIdentifier);
    record.name = std::move(name);
    record.bundlePath = std::move(bundlePath);
    addProcess(std::move(record));
}

void InProcessEvents::addProcess(ProcessRecord record) {
    std::lock_guard lock(m_mutex);
    record.serialNumber = static_cast<uint32_t>(m_processes.size() + 1);
    m_processes.push_back(std::move(record));
}

std::vector<EventRecord> InProcessEvents::entries(std::string_view kind) const {
    std::lock_guard lock(m_mutex);
    std::vector<EventRecord> out;
    for (const auto& e : m_entries)
        if (kind.empty() || e.kind == kind) out.push_back(e);
    return out;
}

void InProcessEvents::clearEntries() {
    std::lock_guard lock(m_mutex);
    m_entries.clear();
}

std::string InProcessEvents::sinkText() {
    auto reply = m_events->handle(eventop::textSink, cf::Dictionary{{"action", "read"}}, EventPoster{});
    const cf::Value* text = reply.result.find("text");
    return text && text->asString() ? *text->asString() : "";
}

} // namespace windowserver
