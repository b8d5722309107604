// A service of the I/O Registry: the driver life cycle (init, probe, start, stop, free),
// attach and detach, registration for matching, termination, exclusive open, user clients
// and power. Each service owns a recursive gate; the kernel holds it around every entry into
// driver code from outside, so a driver needs no locks of its own.
#pragma once

#include "platform/kernel/IOPMPowerState.h"
#include "platform/kernel/IORegistryEntry.h"
#include "platform/kernel/IOReturn.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace kernel {

class IOUserClient;
class OSDictionary;
struct task;
using task_t = task*;

class IOService : public IORegistryEntry {
    OSDeclareDefaultStructors(IOService);

  public:
    using super = IORegistryEntry;

    bool init(OSDictionary* dictionary) override;
    virtual IOService* probe(IOService* provider, int32_t* score);
    virtual bool start(IOService* provider);
    virtual void stop(IOService* provider);

    virtual bool attach(IOService* provider);
    // Idempotent: detaching from anything but the current provider does nothing.
    virtual void detach(IOService* provider);
    IOService* getProvider() const;
    IOService* getClient() const;
    virtual IOService* getResources();

    // Queues matching for this service and returns at once.
    void registerService();
    bool isRegistered() const { return m_registered.load(); }

    // Inactive at once; clients are told, and the service stopped and detached, on the
    // matching thread.
    virtual bool terminate(uint32_t options = 0);
    bool isInactive() const { return m_inactive.load(); }
    virtual bool willTerminate(IOService* provider, uint32_t options);
    virtual bool didTerminate(IOService* provider, uint32_t options, bool* defer);

    // Exclusive: a second client's open answers false until the first closes.
    virtual bool open(IOService* forClient, uint32_t options = 0, void* arg = nullptr);
    virtual void close(IOService* forClient, uint32_t options = 0);
    // Open by this client; with null, open by anyone.
    virtual bool isOpen(const IOService* forClient = nullptr) const;

    virtual IOReturn newUserClient(task_t owningTask, void* securityID, uint32_t type,
                                   IOUserClient** handler);

    // Power management.
    void PMinit();
    void PMstop();
    void joinPMtree(IOService* driver);
    IOReturn registerPowerDriver(IOService* controllingDriver, const IOPMPowerState* powerStates,
                                 unsigned long numberOfStates);
    IOReturn temporaryPowerClampOn();
    IOReturn changePowerStateTo(unsigned long ordinal);
    unsigned long getPowerState() const;
    bool isPMInitialized() const;

    std::recursive_mutex& gate() const { return *m_gate; }
    // Shared with timers, which may still be waiting for the gate when the service goes.
    std::shared_ptr<std::recursive_mutex> gateHandle() const { return m_gate; }

    // Kept by the kernel's matching and termination.
    const std::string& matchCategory() const { return m_matchCategory; }
    void setMatchCategory(std::string category) { m_matchCategory = std::move(category); }
    bool isStarted() const { return m_started; }
    void markStarted(IOService* provider);
    // The provider start was given, released once stop has run.
    IOService* takeStartProvider();
    void markInactive() { m_inactive.store(true); }

  protected:
    void free() override;

  private:
    std::shared_ptr<std::recursive_mutex> m_gate = std::make_shared<std::recursive_mutex>();
    std::atomic<bool> m_inactive{false};
    std::atomic<bool> m_registered{false};
    bool m_started = false;
    IOService* m_startProvider = nullptr;
    std::string m_matchCategory;

    mutable std::mutex m_stateMutex; // open client and power state
    IOService* m_openClient = nullptr;
    bool m_pmInitialized = false;
    IOService* m_pmParent = nullptr;
    std::vector<IOPMPowerState> m_powerStates;
    unsigned long m_powerState = 0;
};

// Holds a service's gate for a scope.
class IOGateLock {
  public:
    explicit IOGateLock(const IOService* service) : m_lock(service->gate()) {}

  private:
    std::lock_guard<std::recursive_mutex> m_lock;
};

namespace testing {
// Makes the n-th attach (counting from 1) of instances of the named class fail.
void failNthAttach(const std::string& className, int n);
void clearAttachFailures();
} // namespace testing

} // namespace kernel
