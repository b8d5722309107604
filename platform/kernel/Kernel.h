// The kernel stand-in: the I/O Registry with its built-in services, the matching thread,
// kext loading, and the processes that hold user-space handles. One kernel runs at a time;
// platformd hosts it, and unit tests build one in-process with the fake clock.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/kernel/IOCatalogue.h"
#include "platform/kernel/IOService.h"
#include "platform/kernel/KextLoader.h"
#include "platform/kernel/OSPtr.h"

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kernel {

class FramebufferListener;
class IOResources;
class ServiceMatcher;
class UserTask;

struct KernelConfig {
    std::string model = "Macmini7,1";          // the platform expert's name
    std::string serialNumber = "C07STANDIN01"; // "IOPlatformSerialNumber"
    std::string productVersion = "10.12.6";    // gives version_major
    bool builtInDisplay = true;                // "BuiltInFramebuffer@0" with its "display0"
};

// Records an event-log entry (kind, API name, fields) for a built-in service.
using KernelEventRecorder =
    std::function<void(std::string_view kind, std::string_view api, cf::Dictionary fields)>;

class Kernel {
  public:
    explicit Kernel(KernelConfig config = {});
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    static Kernel* current();
    const KernelConfig& config() const { return m_config; }

    // Before any process connects: where built-in services record their calls, and the
    // graphics multiplexer's control service with its feature bits (a Mac with one).
    void setEventRecorder(KernelEventRecorder recorder);
    void recordEvent(std::string_view kind, std::string_view api, cf::Dictionary fields);
    void publishGraphicsControl(uint64_t features);

    // Kexts.
    std::vector<std::string> loadKexts(const std::vector<std::string>& bundlePaths);
    IOReturn unloadKext(const std::string& identifier);
    std::vector<LoadedKextInfo> loadedKexts() const;
    // KextManagerCopyLoadedKextInfo: keyed by each asked identifier that is loaded (all when
    // identifiers is null), each {"CFBundleIdentifier", "CFBundleVersion", "OSBundlePath"}.
    cf::Value copyLoadedKextInfo(const std::vector<std::string>* identifiers) const;

    // The registry.
    IORegistryEntry* root() const { return m_root.get(); }
    IOService* platformExpert() const { return m_platformExpert.get(); }
    IOService* resources() const;
    // Registered, active services whose class chain holds the name, depth-first.
    std::vector<OSPtr<IOService>> matchingServices(std::string_view className) const;
    std::vector<OSPtr<IOService>> registeredServices() const;
    // Every service in the registry whose class belongs to the kext.
    std::vector<OSPtr<IOService>> servicesOfKext(const std::string& identifier) const;
    // Returns when no matching or termination is pending.
    void waitQuiet();

    // The window server.
    void setFramebufferListener(FramebufferListener* listener);
    FramebufferListener* framebufferListener() const;

    // Processes holding handles.
    void addTask(UserTask* task);
    void removeTask(UserTask* task);
    void dropTaskHandlesOfKext(const std::string& identifier);

    // User clients close, services terminate children first, kexts unload in reverse order.
    void shutdown();

    IOCatalogue& catalogue() { return m_catalogue; }
    ServiceMatcher& matcher() { return *m_matcher; }

  private:
    void buildRegistry();
    std::vector<UserTask*> tasks() const;

    KernelConfig m_config;
    std::mutex m_recorderMutex;
    KernelEventRecorder m_recorder;
    IOCatalogue m_catalogue;
    std::unique_ptr<ServiceMatcher> m_matcher;
    std::unique_ptr<KextLoader> m_loader;
    OSPtr<IORegistryEntry> m_root;
    OSPtr<IOService> m_platformExpert;
    OSPtr<IOResources> m_resources;
    mutable std::mutex m_mutex;
    FramebufferListener* m_listener = nullptr;
    std::vector<UserTask*> m_tasks;
    bool m_shutDown = false;
};

} // namespace kernel
