#include "platform/kernel/ServiceMatcher.h"

#include "platform/core/Log.h"
#include "platform/kernel/FramebufferListener.h"
#include "platform/kernel/IOCatalogue.h"
#include "platform/kernel/IOFramebuffer.h"
#include "platform/kernel/IOUserClient.h"
#include "platform/kernel/IOWorkLoop.h"
#include "platform/kernel/Kernel.h"
#include "platform/kernel/OSString.h"
#include "platform/kernel/PersonalityMatching.h"

#include <algorithm>
#include <map>

namespace kernel {

std::recursive_mutex& entryGate(IOService* service) {
    if (OSDynamicCast(IOUserClient, service)) {
        if (IOService* provider = service->getProvider()) return provider->gate();
    }
    return service->gate();
}

ServiceMatcher::ServiceMatcher(Kernel& kernel) : m_kernel(kernel) {
    m_thread = std::thread([this] { run(); });
}

ServiceMatcher::~ServiceMatcher() {
    stop();
}

void ServiceMatcher::stop() {
    {
        std::lock_guard lock(m_mutex);
        if (m_stopping) return;
        m_stopping = true;
    }
    m_work.notify_all();
    if (m_thread.joinable()) m_thread.join();
    std::lock_guard lock(m_mutex);
    m_jobs.clear();
    m_quiet.notify_all();
}

void ServiceMatcher::queueRegistration(IOService* service) {
    std::lock_guard lock(m_mutex);
    m_jobs.push_back({JobKind::Register, makeRetained(service)});
    m_work.notify_one();
}

void ServiceMatcher::queueTermination(IOService* service) {
    std::lock_guard lock(m_mutex);
    m_jobs.push_back({JobKind::Terminate, makeRetained(service)});
    m_work.notify_one();
}

void ServiceMatcher::queueRematchAll() {
    std::lock_guard lock(m_mutex);
    m_jobs.push_back({JobKind::RematchAll, {}});
    m_work.notify_one();
}

void ServiceMatcher::waitQuiet() {
    if (onMatchingThread()) return;
    std::unique_lock lock(m_mutex);
    m_quiet.wait(lock, [this] { return (m_jobs.empty() && !m_busy) || m_stopping; });
}

void ServiceMatcher::run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_work.wait(lock, [this] { return !m_jobs.empty() || m_stopping; });
        if (m_stopping) return;
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        m_busy = true;
        lock.unlock();
        perform(job);
        job.service.reset();
        // No gate is held here, so released work loops can be joined.
        IOWorkLoop::reapRetiredThreads();
        lock.lock();
        m_busy = false;
        if (m_jobs.empty()) m_quiet.notify_all();
    }
}

void ServiceMatcher::perform(const Job& job) {
    switch (job.kind) {
    case JobKind::Register:
        registered(job.service.get());
        break;
    case JobKind::Terminate:
        terminateService(job.service.get());
        break;
    case JobKind::RematchAll:
        for (auto& service : m_kernel.registeredServices())
            matchService(service.get());
        break;
    }
}

void ServiceMatcher::registered(IOService* service) {
    matchService(service);
    auto* framebuffer = OSDynamicCast(IOFramebuffer, service);
    FramebufferListener* listener = m_kernel.framebufferListener();
    if (framebuffer && listener && !framebuffer->isInactive()) listener->framebufferPublished(framebuffer);
}

void ServiceMatcher::matchService(IOService* provider) {
    if (!provider->isRegistered() || provider->isInactive()) return;
    IOService* resources = m_kernel.resources();
    // Candidates by category, each category keeping the load order of its personalities.
    std::vector<std::string> categories;
    std::map<std::string, std::vector<Personality>> candidates;
    for (auto& personality : m_kernel.catalogue().snapshot()) {
        if (!personalityMatches(personality.table.get(), provider, resources)) continue;
        std::string category = matchCategory(personality.table.get());
        if (!candidates.count(category)) categories.push_back(category);
        candidates[category].push_back(std::move(personality));
    }
    for (const auto& category : categories) {
        if (hasClientInCategory(provider, category)) continue;
        auto& list = candidates[category];
        std::stable_sort(list.begin(), list.end(), [](const Personality& a, const Personality& b) {
            return probeScore(a.table.get()) > probeScore(b.table.get());
        });
        for (const auto& personality : list) {
            if (tryPersonality(provider, personality, category)) break;
        }
    }
}

bool ServiceMatcher::hasClientInCategory(IOService* provider, const std::string& category) const {
    for (auto& child : provider->copyChildEntries()) {
        auto* client = OSDynamicCast(IOService, child.get());
        if (client && !client->isInactive() && client->matchCategory() == category) return true;
    }
    return false;
}

bool ServiceMatcher::tryPersonality(IOService* provider, const Personality& personality,
                                    const std::string& category) {
    auto* className = OSDynamicCast(OSString, personality.table->getObject("IOClass"));
    if (!className) {
        platform::log("kernel: a personality of %@ has no IOClass", personality.kextIdentifier);
        return false;
    }
    OSObject* object = OSMetaClass::allocClassWithName(className->string());
    auto* driver = OSDynamicCast(IOService, object);
    if (!driver) {
        platform::log("kernel: %@ of %@ is not a service class", className->string(),
                      personality.kextIdentifier);
        if (object) object->release();
        return false;
    }
    auto table = adoptRetained(OSDictionary::withDictionary(personality.table.get()));
    bool initialised;
    {
        IOGateLock gate(driver);
        initialised = driver->init(table.get());
    }
    driver->setMatchCategory(category);
    if (!initialised || !driver->attach(provider)) {
        driver->release();
        return false;
    }
    bool started = false;
    {
        IOGateLock gate(driver);
        int32_t score = probeScore(personality.table.get());
        if (driver->probe(provider, &score) == driver) started = driver->start(provider);
    }
    if (!started) {
        driver->detach(provider);
        driver->release();
        return false;
    }
    driver->markStarted(provider);
    // A framebuffer is published to the window server once its start has succeeded.
    if (OSDynamicCast(IOFramebuffer, driver)) driver->registerService();
    driver->release(); // the registry keeps it
    return true;
}

void ServiceMatcher::terminateService(IOService* service) {
    std::vector<OSPtr<IOService>> clients;
    {
        // Opens attach their user clients under this gate and refuse an inactive service, so
        // each one either attaches before the list is taken (and is told below) or is refused.
        IOGateLock gate(service);
        service->markInactive();
        clients = clientsOf(service);
    }
    tellClientsOfTermination(service, clients);
    for (auto& client : clients)
        terminateService(client.get()); // children first
    auto* framebuffer = OSDynamicCast(IOFramebuffer, service);
    FramebufferListener* listener = m_kernel.framebufferListener();
    if (framebuffer && listener && framebuffer->isStarted()) listener->framebufferWillStop(framebuffer);
    stopService(service);
    if (IOService* provider = service->getProvider()) service->detach(provider);
}

// The service's clients, user clients first.
std::vector<OSPtr<IOService>> ServiceMatcher::clientsOf(IOService* service) {
    std::vector<OSPtr<IOService>> clients;
    for (auto& child : service->copyChildEntries()) {
        if (auto* client = OSDynamicCast(IOService, child.get())) clients.push_back(makeRetained(client));
    }
    std::stable_partition(clients.begin(), clients.end(), [](const OSPtr<IOService>& c) {
        return OSDynamicCast(IOUserClient, c.get()) != nullptr;
    });
    return clients;
}

// willTerminate and didTerminate to each client, in order.
void ServiceMatcher::tellClientsOfTermination(IOService* service,
                                              const std::vector<OSPtr<IOService>>& clients) {
    for (auto& client : clients) {
        std::lock_guard gate(entryGate(client.get()));
        bool defer = false;
        client->willTerminate(service, 0);
        client->didTerminate(service, 0, &defer);
    }
}

void ServiceMatcher::stopService(IOService* service) {
    IOService* provider = nullptr;
    {
        std::lock_guard gate(entryGate(service));
        if (!service->isStarted()) return;
        provider = service->takeStartProvider();
        service->stop(provider);
    }
    if (provider) provider->release();
}

} // namespace kernel
