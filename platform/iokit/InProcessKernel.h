// A kernel (and, if asked, a window server) inside a unit test's own process, installed as
// the I/O Kit facade's transport: the facade's calls reach it through the same request
// server platformd uses, one at a time, as one process's calls reach platformd.
#pragma once

#include "platform/coregraphics/CGDisplayImage.h"
#include "platform/coregraphics/MappingSeedPage.h"
#include "platform/coregraphics/WindowServerTransport.h"
#include "platform/iokit/IOKitTransport.h"
#include "platform/kernel/IOHIDSystem.h"
#include "platform/kernel/Kernel.h"
#include "platform/kernel/UserTask.h"
#include "platform/windowserver/InProcessEvents.h"
#include "platform/windowserver/WindowServer.h"
#include "platform/windowserver/WindowServerEventHost.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace iokit {

struct InProcessKernelOptions {
    kernel::KernelConfig kernel;
    // Where built-in services record their calls ("graphics-control"); and a graphics
    // multiplexer's feature bits, which publish AppleGraphicsControl.
    kernel::KernelEventRecorder recordEvent;
    std::optional<uint64_t> graphicsMultiplexer;
    std::vector<std::string> kexts; // bundle paths, loaded after their libraries
    bool windowServer = true;
    windowserver::WindowServerConfig windowServerConfig;
};

// One process's connection to an in-process window server, as the Core Graphics facade's
// transport: requests are served on the window-server thread, the event system's by the
// events beside it; pushes reach the facade's handler from that thread, as they would from
// platformd's reader thread.
class InProcessWindowServer : public cg::WindowServerTransport {
  public:
    InProcessWindowServer(windowserver::WindowServer& server, windowserver::ClientIdentity identity,
                          std::shared_ptr<windowserver::InProcessEvents> events = nullptr);
    ~InProcessWindowServer() override;

    uint32_t cid() const { return m_cid; }
    // As if the process died: its connection goes (app-only changes revert), a new one starts.
    void processDied();
    // Ends the connection (a later processDied connects again).
    void disconnect();
    // Ends it for good: the window server is going.
    void close();

    std::optional<cf::Value> request(std::string_view op, const cf::Value& args) override;
    std::optional<cf::Value> requestWithDescriptors(std::string_view op, const cf::Value& args,
                                                    std::vector<ipc::UniqueFd>* fds) override;
    void setPushHandler(PushHandler handler) override;
    // Off the window server's page, as a process reads it from platformd's, while connected.
    std::optional<uint32_t> publishedMappingSeed() override;
    std::optional<uint64_t> publishedCursorSeed() override;

  private:
    uint32_t connectNow();
    std::shared_ptr<const cg::MappingSeedPage> seedPage();

    windowserver::WindowServer& m_server;
    windowserver::ClientIdentity m_identity;
    std::shared_ptr<windowserver::InProcessEvents> m_events;
    std::mutex m_mutex;
    std::shared_ptr<PushHandler> m_handler;
    uint32_t m_cid = 0;
    bool m_closed = false;
    std::shared_ptr<const cg::MappingSeedPage> m_seedPage; // adopted on first need
    bool m_seedPageAsked = false;
};

class InProcessKernel : public IOKitTransport,
                        public std::enable_shared_from_this<InProcessKernel>,
                        private kernel::HIDEventListener {
  public:
    // Boots the kernel, the window server and the kexts; install() makes it the facade's.
    explicit InProcessKernel(InProcessKernelOptions options = {});
    ~InProcessKernel() override;
    InProcessKernel(const InProcessKernel&) = delete;
    InProcessKernel& operator=(const InProcessKernel&) = delete;

    // Makes this kernel the I/O Kit facade's transport, and its window server (if any) the
    // Core Graphics facade's, until shutdown; the HID system's posts then reach its events.
    void install();
    // The Core Graphics facade's connection (null without a window server).
    std::shared_ptr<InProcessWindowServer> windowServerConnection() { return m_connection; }
    // The window server's event system as this process reaches it (null without a window server).
    std::shared_ptr<windowserver::InProcessEvents> events() { return m_events; }
    // The facade back on platformd's socket; window server, user clients and kexts go.
    void shutdown();

    kernel::Kernel& kernel() { return *m_kernel; }
    windowserver::WindowServer* windowServer() { return m_windowServer.get(); }
    // The task standing for this process; a new one after processDied.
    kernel::UserTask& task();
    // As if this process's connection dropped: its user clients get clientDied, its handles go.
    void processDied();

    std::optional<cf::Value> request(std::string_view op, const cf::Value& args) override;

  private:
    kernel::IOReturn hidPostEvent(const kernel::task& poster, uint32_t type, kernel::IOGPoint location,
                                  const void* data, size_t dataSize, uint32_t version, uint32_t flags,
                                  uint32_t options) override;
    kernel::IOReturn hidButtonEventNumber(uint32_t button, uint32_t* count) override;

    std::unique_ptr<kernel::Kernel> m_kernel;
    std::unique_ptr<windowserver::WindowServer> m_windowServer;
    std::unique_ptr<windowserver::WindowServerEventHost> m_eventHost;
    std::shared_ptr<windowserver::InProcessEvents> m_events;
    std::shared_ptr<InProcessWindowServer> m_connection;
    std::shared_ptr<cg::DisplayPixelProvider> m_pixelProvider;
    std::mutex m_mutex; // one request at a time, in order
    std::unique_ptr<kernel::UserTask> m_task;
    bool m_shutDown = false;
    bool m_hidListening = false;
};

} // namespace iokit
