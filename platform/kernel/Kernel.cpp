#include "platform/kernel/Kernel.h"

#include "platform/core/Log.h"
#include "platform/kernel/AppleGraphicsControl.h"
#include "platform/kernel/IODisplayConnect.h"
#include "platform/kernel/IOLib.h"
#include "platform/kernel/IOPlatformExpertDevice.h"
#include "platform/kernel/IOHIDSystem.h"
#include "platform/kernel/IOResources.h"
#include "platform/kernel/IOWorkLoop.h"
#include "platform/kernel/ServiceMatcher.h"
#include "platform/kernel/UserTask.h"

#include <atomic>
#include <cstdlib>
#include <functional>

namespace kernel {

namespace {

std::atomic<Kernel*> gCurrent{nullptr};

void depthFirst(IORegistryEntry* entry, const std::function<void(IORegistryEntry*)>& visit) {
    visit(entry);
    for (auto& child : entry->copyChildEntries())
        depthFirst(child.get(), visit);
}

OSPtr<IOService> plainService(const char* name, const char* location) {
    auto service = adoptRetained(new IOService);
    service->init(nullptr);
    service->setName(name);
    if (location) service->setLocation(location);
    return service;
}

} // namespace

Kernel::Kernel(KernelConfig config) : m_config(std::move(config)) {
    Kernel* expected = nullptr;
    if (!gCurrent.compare_exchange_strong(expected, this)) {
        platform::log("kernel: a second kernel cannot run in one process");
        std::abort();
    }
    setMachineModel(m_config.model);
    version_major = versionMajorForProductVersion(m_config.productVersion);
    m_matcher = std::make_unique<ServiceMatcher>(*this);
    m_loader = std::make_unique<KextLoader>(*this);
    buildRegistry();
}

Kernel::~Kernel() {
    shutdown();
    gCurrent.store(nullptr);
}

Kernel* Kernel::current() {
    return gCurrent.load();
}

void Kernel::buildRegistry() {
    m_root = adoptRetained(new IORegistryEntry);
    m_root->init(nullptr);
    m_root->setName("Root");
    IORegistryEntry::setRegistryRoot(m_root.get());
    m_platformExpert =
        adoptRetained<IOService>(IOPlatformExpertDevice::withModel(m_config.model, m_config.serialNumber));
    m_platformExpert->attachToParent(m_root.get());
    m_platformExpert->registerService();
    m_resources = adoptRetained(IOResources::resources());
    m_resources->attach(m_platformExpert.get());
    m_resources->registerService();
    auto hidSystem = adoptRetained(IOHIDSystem::hidSystem());
    hidSystem->attach(m_resources.get());
    hidSystem->registerService();
    if (m_config.builtInDisplay) {
        OSPtr<IOService> builtIn = plainService("BuiltInFramebuffer", "0");
        builtIn->attach(m_platformExpert.get());
        builtIn->registerService();
        auto connect = adoptRetained(IODisplayConnect::displayConnect());
        connect->attach(builtIn.get());
        connect->registerService();
    }
    m_matcher->waitQuiet();
}

void Kernel::setEventRecorder(KernelEventRecorder recorder) {
    std::lock_guard lock(m_recorderMutex);
    m_recorder = std::move(recorder);
}

void Kernel::recordEvent(std::string_view kind, std::string_view api, cf::Dictionary fields) {
    KernelEventRecorder recorder;
    {
        std::lock_guard lock(m_recorderMutex);
        recorder = m_recorder;
    }
    if (recorder) recorder(kind, api, std::move(fields));
}

void Kernel::publishGraphicsControl(uint64_t features) {
    auto control = adoptRetained<IOService>(AppleGraphicsControl::withFeatures(features));
    control->attach(m_resources.get());
    control->registerService();
    m_matcher->waitQuiet();
}

IOService* Kernel::resources() const {
    return m_resources.get();
}

std::vector<std::string> Kernel::loadKexts(const std::vector<std::string>& bundlePaths) {
    return m_loader->load(bundlePaths);
}

IOReturn Kernel::unloadKext(const std::string& identifier) {
    return m_loader->unload(identifier);
}

std::vector<LoadedKextInfo> Kernel::loadedKexts() const {
    return m_loader->loaded();
}

cf::Value Kernel::copyLoadedKextInfo(const std::vector<std::string>* identifiers) const {
    cf::Dictionary result;
    for (const auto& kext : m_loader->loaded()) {
        if (identifiers &&
            std::find(identifiers->begin(), identifiers->end(), kext.identifier) == identifiers->end()) {
            continue;
        }
        cf::Dictionary info;
        info.insert_or_assign("CFBundleIdentifier", cf::Value(kext.identifier));
        info.insert_or_assign("CFBundleVersion", cf::Value(kext.version));
        info.insert_or_assign("OSBundlePath", cf::Value(kext.bundlePath));
        result.insert_or_assign(kext.identifier, cf::Value(std::move(info)));
    }
    return cf::Value(std::move(result));
}

std::vector<OSPtr<IOService>> Kernel::matchingServices(std::string_view className) const {
    std::vector<OSPtr<IOService>> found;
    for (auto& service : registeredServices()) {
        if (service->getMetaClass()->isKindOf(className)) found.push_back(service);
    }
    return found;
}

std::vector<OSPtr<IOService>> Kernel::registeredServices() const {
    std::vector<OSPtr<IOService>> found;
    if (!m_root) return found;
    depthFirst(m_root.get(), [&](IORegistryEntry* entry) {
        auto* service = OSDynamicCast(IOService, entry);
        if (service && service->isRegistered() && !service->isInactive())
            found.push_back(makeRetained(service));
    });
    return found;
}

std::vector<OSPtr<IOService>> Kernel::servicesOfKext(const std::string& identifier) const {
    std::vector<OSPtr<IOService>> found;
    if (!m_root) return found;
    depthFirst(m_root.get(), [&](IORegistryEntry* entry) {
        auto* service = OSDynamicCast(IOService, entry);
        if (service && service->getMetaClass()->getKextIdentifier() == identifier)
            found.push_back(makeRetained(service));
    });
    return found;
}

void Kernel::waitQuiet() {
    m_matcher->waitQuiet();
}

void Kernel::setFramebufferListener(FramebufferListener* listener) {
    std::lock_guard lock(m_mutex);
    m_listener = listener;
}

FramebufferListener* Kernel::framebufferListener() const {
    std::lock_guard lock(m_mutex);
    return m_listener;
}

void Kernel::addTask(UserTask* task) {
    std::lock_guard lock(m_mutex);
    m_tasks.push_back(task);
}

void Kernel::removeTask(UserTask* task) {
    std::lock_guard lock(m_mutex);
    std::erase(m_tasks, task);
}

std::vector<UserTask*> Kernel::tasks() const {
    std::lock_guard lock(m_mutex);
    return m_tasks;
}

void Kernel::dropTaskHandlesOfKext(const std::string& identifier) {
    for (auto* task : tasks())
        task->dropHandlesOfKext(identifier);
}

void Kernel::shutdown() {
    if (m_shutDown) return;
    m_shutDown = true;
    for (auto* task : tasks()) {
        task->processDied();
        task->kernelGone();
    }
    {
        std::lock_guard lock(m_mutex);
        m_tasks.clear();
    }
    m_matcher->waitQuiet();
    m_loader->unloadAll();
    // What is left (built-in services, drivers of no kext) terminates too, so that no started
    // driver keeps its provider alive.
    if (m_platformExpert) {
        for (auto& child : m_platformExpert->copyChildEntries()) {
            if (auto* service = OSDynamicCast(IOService, child.get())) service->terminate();
        }
    }
    m_matcher->waitQuiet();
    m_matcher->stop();
    if (m_platformExpert) m_platformExpert->detachFromParent(m_root.get());
    m_resources.reset();
    m_platformExpert.reset();
    IORegistryEntry::setRegistryRoot(nullptr);
    m_root.reset();
    IOWorkLoop::reapRetiredThreads();
}

} // namespace kernel
