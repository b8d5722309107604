#include "platform/iokit/InProcessKernel.h"

#include "platform/core/Log.h"
#include "platform/iokit/IOKitRequestServer.h"

#include <unistd.h>

namespace iokit {

InProcessKernel::InProcessKernel(InProcessKernelOptions options)
    : m_kernel(std::make_unique<kernel::Kernel>(options.kernel)) {
    if (options.windowServer)
        m_windowServer = std::make_unique<windowserver::WindowServer>(*m_kernel, options.windowServerConfig);
    if (!options.kexts.empty()) m_kernel->loadKexts(options.kexts);
    m_kernel->waitQuiet();
    if (m_windowServer) m_windowServer->boot();
    m_task = std::make_unique<kernel::UserTask>(*m_kernel, ::getpid());
}

InProcessKernel::~InProcessKernel() {
    shutdown();
}

void InProcessKernel::install() {
    IOKitSetTransport(shared_from_this());
}

void InProcessKernel::shutdown() {
    {
        std::lock_guard lock(m_mutex);
        if (m_shutDown) return;
        m_shutDown = true;
    }
    if (IOKitCurrentTransport().get() == this) IOKitSetTransport(nullptr);
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
