#include "platform/iokit/InProcessKernel.h"

#include "platform/core/Log.h"
#include "platform/iokit/IOKitRequestServer.h"
#include "platform/windowserver/PixelProvider.h"

#include <unistd.h>

namespace iokit {

InProcessWindowServer::InProcessWindowServer(windowserver::WindowServer& server,
                                             windowserver::ClientIdentity identity)
    : m_server(server), m_identity(std::move(identity)) {
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
    {
        std::lock_guard lock(m_mutex);
        if (m_closed) return;
    }
    disconnect();
    uint32_t fresh = connectNow();
    std::lock_guard lock(m_mutex);
    m_cid = fresh;
}

void InProcessWindowServer::close() {
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
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
    {
        std::lock_guard lock(m_mutex);
        cid = m_cid;
    }
    if (!cid) return std::nullopt;
    std::string why;
    auto result = m_server.serveAndWait(cid, op, args, &why);
    if (!result) platform::log("coregraphics: %@ refused: %@", op, why);
    return result;
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
        m_connection = std::make_shared<InProcessWindowServer>(
            *m_windowServer, windowserver::ClientIdentity{int32_t(::getpid()), "unit test", ""});
    }
    m_task = std::make_unique<kernel::UserTask>(*m_kernel, ::getpid());
}

InProcessKernel::~InProcessKernel() {
    shutdown();
}

void InProcessKernel::install() {
    IOKitSetTransport(shared_from_this());
    if (m_connection) cg::CGSSetWindowServerTransport(m_connection);
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

} // namespace iokit
