#include "platform/iokit/InProcessKernel.h"

#include "platform/core/Log.h"
#include "platform/iokit/IOKitRequestServer.h"
#include "platform/windowserver/EventProtocol.h"
#include "platform/windowserver/PixelProvider.h"

#include <unistd.h>

namespace iokit {

InProcessWindowServer::InProcessWindowServer(windowserver::WindowServer& server,
                                             windowserver::ClientIdentity identity,
                                             std::shared_ptr<windowserver::InProcessEvents> events)
    : m_server(server), m_identity(std::move(identity)), m_events(std::move(events)) {
    m_cid = connectNow();
}

InProcessWindowServer::~InProcessWindowServer() {
    close();
}

uint32_t InProcessWindowServer::connectNow() {
    auto handler = [this](const cf::Value& body) {
        std::shared_ptr<PushHandler> h;
        {
            std::lock_guard lock(m_mutex);
            h = m_handler;
        }
        if (h && *h) (*h)(body);
    };
    return m_server.connect(m_identity, handler);
}

void InProcessWindowServer::processDied() {
    std::shared_ptr<windowserver::InProcessEvents> events;
    {
        std::lock_guard lock(m_mutex);
        if (m_closed) return;
        events = m_events;
    }
    // As platformd does when a process goes: its event taps go with it.
    if (events) events->events().processGone(m_identity.pid);
    disconnect();
    uint32_t fresh = connectNow();
    std::lock_guard lock(m_mutex);
    m_cid = fresh;
}

void InProcessWindowServer::close() {
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        // The events run on the window server's thread: they go with it.
        m_events.reset();
    }
    disconnect();
}

void InProcessWindowServer::disconnect() {
    uint32_t old;
    {
        std::lock_guard lock(m_mutex);
        old = m_cid;
        m_cid = 0;
    }
    if (old) m_server.disconnect(old);
}

std::optional<cf::Value> InProcessWindowServer::request(std::string_view op, const cf::Value& args) {
    uint32_t cid;
    std::shared_ptr<windowserver::InProcessEvents> events;
    {
        std::lock_guard lock(m_mutex);
        cid = m_cid;
        events = m_events;
    }
    if (windowserver::isEventOp(op)) {
        if (!events) return std::nullopt;
        return events->request(op, args);
    }
    if (!cid) return std::nullopt;
    std::string why;
    auto result = m_server.serveAndWait(cid, op, args, &why);
    if (!result) platform::log("coregraphics: %@ refused: %@", op, why);
    return result;
}

std::optional<cf::Value> InProcessWindowServer::requestWithDescriptors(std::string_view op, const cf::Value& args,
                                                                      std::vector<ipc::UniqueFd>* fds) {
    if (!windowserver::WindowServer::answersDescriptors(op)) return request(op, args);
    uint32_t cid;
    {
        std::lock_guard lock(m_mutex);
        cid = m_cid;
    }
    if (!cid) return std::nullopt;
    std::string why;
    auto result = m_server.serveWithDescriptors(cid, op, args, fds, &why);
    if (!result) platform::log("coregraphics: %@ refused: %@", op, why);
    return result;
}

std::shared_ptr<const cg::MappingSeedPage> InProcessWindowServer::seedPage() {
    std::lock_guard lock(m_mutex);
    if (m_closed || !m_cid) return nullptr;
    if (!m_seedPageAsked) {
        m_seedPageAsked = true;
        ipc::UniqueFd fd = m_server.openMappingSeedPage();
        if (fd) m_seedPage = cg::MappingSeedPage::adopt(fd.get());
    }
    return m_seedPage;
}

std::optional<uint32_t> InProcessWindowServer::publishedMappingSeed() {
    auto page = seedPage();
    if (!page) return std::nullopt;
    return page->seed();
}

std::optional<uint64_t> InProcessWindowServer::publishedCursorSeed() {
    auto page = seedPage();
    if (!page || page->cursorSeed() == 0) return std::nullopt;
    return page->cursorSeed();
}

void InProcessWindowServer::setPushHandler(PushHandler handler) {
    std::lock_guard lock(m_mutex);
    m_handler = std::make_shared<PushHandler>(std::move(handler));
}

InProcessKernel::InProcessKernel(InProcessKernelOptions options)
    : m_kernel(std::make_unique<kernel::Kernel>(options.kernel)) {
    m_kernel->setEventRecorder(options.recordEvent);
    if (options.graphicsMultiplexer) m_kernel->publishGraphicsControl(*options.graphicsMultiplexer);
    if (options.windowServer)
        m_windowServer = std::make_unique<windowserver::WindowServer>(*m_kernel, options.windowServerConfig);
    if (!options.kexts.empty()) m_kernel->loadKexts(options.kexts);
    m_kernel->waitQuiet();
    if (m_windowServer) {
        m_windowServer->boot();
        m_eventHost = std::make_unique<windowserver::WindowServerEventHost>(*m_windowServer);
        m_events = std::make_shared<windowserver::InProcessEvents>(*m_eventHost);
        m_connection = std::make_shared<InProcessWindowServer>(
            *m_windowServer, windowserver::ClientIdentity{int32_t(::getpid()), "unit test", ""}, m_events);
    }
    m_task = std::make_unique<kernel::UserTask>(*m_kernel, ::getpid());
}

InProcessKernel::~InProcessKernel() {
    shutdown();
}

void InProcessKernel::install() {
    IOKitSetTransport(shared_from_this());
    if (m_connection) cg::CGSSetWindowServerTransport(m_connection);
    if (m_events) {
        kernel::IOHIDSystem::setEventListener(this);
        m_hidListening = true;
    }
    if (m_windowServer) {
        m_pixelProvider = windowserver::makePixelProvider(*m_windowServer);
        cg::setDisplayPixelProvider(m_pixelProvider);
    }
}

void InProcessKernel::shutdown() {
    {
        std::lock_guard lock(m_mutex);
        if (m_shutDown) return;
        m_shutDown = true;
    }
    if (IOKitCurrentTransport().get() == this) IOKitSetTransport(nullptr);
    // Waits out a post being handed over.
    if (m_hidListening) kernel::IOHIDSystem::setEventListener(nullptr);
    if (m_connection) {
        if (cg::CGSCurrentWindowServerTransport() == m_connection) cg::CGSSetWindowServerTransport(nullptr);
        m_connection->close();
    }
    if (m_pixelProvider && cg::displayPixelProvider() == m_pixelProvider) cg::setDisplayPixelProvider(nullptr);
    m_pixelProvider.reset();
    // The window server lets its framebuffers go first, then user clients close, then kexts.
    if (m_windowServer) m_windowServer->stop();
    m_task.reset();
    m_kernel->shutdown();
    m_windowServer.reset();
}

kernel::UserTask& InProcessKernel::task() {
    std::lock_guard lock(m_mutex);
    return *m_task;
}

void InProcessKernel::processDied() {
    std::lock_guard lock(m_mutex);
    if (m_shutDown) return;
    m_task = std::make_unique<kernel::UserTask>(*m_kernel, ::getpid());
}

std::optional<cf::Value> InProcessKernel::request(std::string_view op, const cf::Value& args) {
    std::lock_guard lock(m_mutex);
    if (m_shutDown) return std::nullopt;
    std::string why;
    auto result = IOKitRequestServer::serve(*m_task, op, args, why);
    if (!result) platform::log("iokit: refused %@: %@", op, why);
    return result;
}

kernel::IOReturn InProcessKernel::hidPostEvent(const kernel::task& poster, uint32_t type,
                                               kernel::IOGPoint location, const void* data, size_t dataSize,
                                               uint32_t version, uint32_t flags, uint32_t options) {
    return m_events->events().postHID(windowserver::EventPoster{poster.pid, poster.bundleIdentifier}, type,
                                      location, data, dataSize, version, flags, options);
}

kernel::IOReturn InProcessKernel::hidButtonEventNumber(uint32_t button, uint32_t* count) {
    return m_events->events().buttonEventNumber(button, count);
}

} // namespace iokit
