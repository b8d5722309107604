// The kernel side of a user-space connection to a service. The kernel dispatches scalar
// calls through a table of entries that carry their argument counts; counts are checked
// before any handler runs.
#pragma once

#include "platform/kernel/IOService.h"

#include <string>
#include <sys/types.h>

namespace kernel {

class IOMemoryDescriptor;

// The calling process, as a user client sees it.
struct task {
    pid_t pid = 0;
    std::string bundleIdentifier;
};

using mach_port_t = uint32_t;

struct IOExternalMethodArguments {
    uint32_t version = 2;
    uint32_t selector = 0;
    const uint64_t* scalarInput = nullptr;
    uint32_t scalarInputCount = 0;
    const void* structureInput = nullptr;
    uint32_t structureInputSize = 0;
    uint64_t* scalarOutput = nullptr;
    uint32_t scalarOutputCount = 0; // capacity the caller asked for
    void* structureOutput = nullptr;
    uint32_t structureOutputSize = 0;
};

using IOExternalMethodAction = IOReturn (*)(OSObject* target, void* reference,
                                            IOExternalMethodArguments* arguments);

struct IOExternalMethodDispatch {
    IOExternalMethodAction function;
    uint32_t checkScalarInputCount;
    uint32_t checkStructureInputSize;
    uint32_t checkScalarOutputCount;
    uint32_t checkStructureOutputSize;
};

class IOUserClient : public IOService {
    OSDeclareDefaultStructors(IOUserClient);

  public:
    using super = IOService;

    virtual bool initWithTask(task_t owningTask, void* securityToken, uint32_t type,
                              OSDictionary* properties);
    bool initWithTask(task_t owningTask, void* securityToken, uint32_t type) {
        return initWithTask(owningTask, securityToken, type, nullptr);
    }

    // With a dispatch entry: scalar inputs must equal its count (unless it is
    // kIOUCVariableStructureSize), scalar outputs asked must not exceed its count and the
    // structure sizes must match, else kIOReturnBadArgument; then the handler runs with target
    // (this client when null). Without one, getTargetAndMethodForIndex; none gives
    // kIOReturnUnsupported.
    virtual IOReturn externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                                    const IOExternalMethodDispatch* dispatch, OSObject* target,
                                    void* reference);
    virtual const IOExternalMethodDispatch* getTargetAndMethodForIndex(OSObject** target, uint32_t index);

    virtual IOReturn clientClose();
    // The owning process died; the base closes.
    virtual IOReturn clientDied();
    virtual IOReturn registerNotificationPort(mach_port_t port, uint32_t type, uint32_t refCon);
    virtual void* getNotificationSemaphore(uint32_t notificationType);
    virtual IOReturn clientMemoryForType(uint32_t type, IOOptionBits* options, IOMemoryDescriptor** memory);
    virtual IOReturn connectClient(IOUserClient* client);

    task_t getOwningTask() const { return m_baseTask; }

  private:
    task_t m_baseTask = nullptr;
};

} // namespace kernel
