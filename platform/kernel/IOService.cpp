#include "platform/kernel/IOService.h"

#include "platform/core/Log.h"
#include "platform/kernel/Kernel.h"
#include "platform/kernel/ServiceMatcher.h"

#include <map>

namespace kernel {

OSDefineMetaClassAndStructors(IOService, IORegistryEntry);

namespace {

struct AttachFailure {
    int failAt = 0;
    int seen = 0;
};
std::mutex gAttachFailuresMutex;
std::map<std::string, AttachFailure> gAttachFailures;

bool attachShouldFail(const std::string& className) {
    std::lock_guard lock(gAttachFailuresMutex);
    auto it = gAttachFailures.find(className);
    return it != gAttachFailures.end() && ++it->second.seen == it->second.failAt;
}

} // namespace

namespace testing {

void failNthAttach(const std::string& className, int n) {
    std::lock_guard lock(gAttachFailuresMutex);
    gAttachFailures[className] = AttachFailure{n, 0};
}

void clearAttachFailures() {
    std::lock_guard lock(gAttachFailuresMutex);
    gAttachFailures.clear();
}

} // namespace testing

bool IOService::init(OSDictionary* dictionary) {
    return super::init(dictionary);
}

void IOService::free() {
    if (m_startProvider) std::exchange(m_startProvider, nullptr)->release();
    super::free();
}

IOService* IOService::probe(IOService*, int32_t*) {
    return this;
}

bool IOService::start(IOService*) {
    return true;
}

void IOService::stop(IOService*) {}

bool IOService::attach(IOService* provider) {
    if (!provider) return false;
    if (attachShouldFail(getClassName())) {
        platform::log("kernel: attach of %s made to fail", getClassName());
        return false;
    }
    return attachToParent(provider);
}

void IOService::detach(IOService* provider) {
    detachFromParent(provider);
}

IOService* IOService::getProvider() const {
    return OSDynamicCast(IOService, getParentEntry());
}

IOService* IOService::getClient() const {
    for (auto& child : copyChildEntries()) {
        // The parent keeps the child, so the pointer outlives the copy of the list.
        if (auto* service = OSDynamicCast(IOService, child.get())) return service;
    }
    return nullptr;
}

IOService* IOService::getResources() {
    Kernel* k = Kernel::current();
    return k ? k->resources() : nullptr;
}

void IOService::registerService() {
    Kernel* k = Kernel::current();
    if (!k || isInactive()) return;
    m_registered.store(true);
    k->matcher().queueRegistration(this);
}

bool IOService::terminate(uint32_t) {
    if (m_inactive.exchange(true)) return true;
    if (Kernel* k = Kernel::current()) k->matcher().queueTermination(this);
    return true;
}

bool IOService::willTerminate(IOService*, uint32_t) {
    return true;
}

bool IOService::didTerminate(IOService*, uint32_t, bool* defer) {
    if (defer) *defer = false;
    return true;
}

bool IOService::open(IOService* forClient, uint32_t, void*) {
    if (!forClient || isInactive()) return false;
    std::lock_guard lock(m_stateMutex);
    if (m_openClient && m_openClient != forClient) return false;
    m_openClient = forClient;
    return true;
}

void IOService::close(IOService* forClient, uint32_t) {
    std::lock_guard lock(m_stateMutex);
    if (m_openClient == forClient) m_openClient = nullptr;
}

bool IOService::isOpen(const IOService* forClient) const {
    std::lock_guard lock(m_stateMutex);
    return forClient ? m_openClient == forClient : m_openClient != nullptr;
}

IOReturn IOService::newUserClient(task_t, void*, uint32_t, IOUserClient** handler) {
    if (handler) *handler = nullptr;
    return kIOReturnUnsupported;
}

void IOService::markStarted(IOService* provider) {
    m_started = true;
    if (provider) provider->retain();
    if (m_startProvider) m_startProvider->release();
    m_startProvider = provider;
}

IOService* IOService::takeStartProvider() {
    m_started = false;
    return std::exchange(m_startProvider, nullptr);
}

void IOService::PMinit() {
    std::lock_guard lock(m_stateMutex);
    m_pmInitialized = true;
}

void IOService::PMstop() {
    std::lock_guard lock(m_stateMutex);
    m_pmInitialized = false;
    m_pmParent = nullptr;
}

void IOService::joinPMtree(IOService* driver) {
    if (!driver) return;
    std::lock_guard lock(driver->m_stateMutex);
    driver->m_pmParent = this;
}

IOReturn IOService::registerPowerDriver(IOService*, const IOPMPowerState* powerStates,
                                        unsigned long numberOfStates) {
    if (!powerStates || numberOfStates < 1) return kIOReturnBadArgument;
    for (unsigned long i = 0; i < numberOfStates; ++i) {
        if (powerStates[i].version != kIOPMPowerStateVersion1) return kIOReturnBadArgument;
    }
    std::lock_guard lock(m_stateMutex);
    m_powerStates.assign(powerStates, powerStates + numberOfStates);
    m_powerState = 0;
    return kIOReturnSuccess;
}

IOReturn IOService::temporaryPowerClampOn() {
    std::lock_guard lock(m_stateMutex);
    if (m_powerStates.empty()) return kIOReturnBadArgument;
    m_powerState = m_powerStates.size() - 1;
    return kIOReturnSuccess;
}

IOReturn IOService::changePowerStateTo(unsigned long ordinal) {
    std::lock_guard lock(m_stateMutex);
    if (ordinal >= m_powerStates.size()) return kIOReturnBadArgument;
    m_powerState = ordinal;
    return kIOReturnSuccess;
}

unsigned long IOService::getPowerState() const {
    std::lock_guard lock(m_stateMutex);
    return m_powerState;
}

bool IOService::isPMInitialized() const {
    std::lock_guard lock(m_stateMutex);
    return m_pmInitialized;
}

} // namespace kernel
