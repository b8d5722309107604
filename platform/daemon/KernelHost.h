// The kernel stand-in and the window server as platformd hosts them: booted before platformd
// listens (so the first client already sees the registry), with the model and serial of the
// profile and the kexts platformd was given, and shut down in the kernel's order: the window
// server lets its framebuffers go, user clients close, kexts unload in reverse.
#pragma once

#include "platform/corefoundation/Profile.h"
#include "platform/kernel/Kernel.h"
#include "platform/windowserver/WindowServer.h"

#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

namespace platformd {

struct KernelHostOptions {
    platform::Profile profile;
    std::vector<std::string> kextBundles;
    windowserver::WindowServer::DisplayObserver displayObserver;
    windowserver::WindowServer::ApplicationObserver applicationObserver;
    // Event-log entries of the window server and the kernel's built-in services.
    std::function<void(std::string_view kind, std::string_view api, cf::Dictionary fields)> recordEvent;
};

class KernelHost {
  public:
    explicit KernelHost(const KernelHostOptions& options);
    ~KernelHost();
    KernelHost(const KernelHost&) = delete;
    KernelHost& operator=(const KernelHost&) = delete;

    // Holding a Use keeps the kernel and window server up; an empty one (false) means they are
    // shut down. Any number of threads may hold one; shutdown waits for them.
    class Use {
      public:
        explicit operator bool() const { return m_running; }

      private:
        friend class KernelHost;
        Use(std::shared_lock<std::shared_mutex> lock, bool running)
            : m_lock(std::move(lock)), m_running(running) {}
        std::shared_lock<std::shared_mutex> m_lock;
        bool m_running;
    };
    Use use();

    // Valid under a Use that answers true.
    kernel::Kernel& kernel() { return *m_kernel; }
    windowserver::WindowServer& windowServer() { return *m_windowServer; }

    void shutdown();

    // The kext bundles (*.kext) directly in a folder, by name; the kernel orders their loading.
    static std::vector<std::string> kextBundlesIn(const std::string& folder);
    // The build's Extensions folder, where CMake assembles the product's kexts.
    static std::string defaultKextFolder();

  private:
    std::shared_mutex m_mutex;
    bool m_running = false;
    std::unique_ptr<kernel::Kernel> m_kernel;
    std::unique_ptr<windowserver::WindowServer> m_windowServer;
};

} // namespace platformd
