#include "platform/kernel/IOUserClient.h"

namespace kernel {

OSDefineMetaClassAndStructors(IOUserClient, IOService);

bool IOUserClient::initWithTask(task_t owningTask, void*, uint32_t, OSDictionary* properties) {
    if (!init(properties)) return false;
    m_baseTask = owningTask;
    return true;
}

namespace {

bool countsMatch(const IOExternalMethodDispatch& d, const IOExternalMethodArguments& a) {
    if (d.checkScalarInputCount != kIOUCVariableStructureSize &&
        a.scalarInputCount != d.checkScalarInputCount) {
        return false;
    }
    if (a.scalarOutputCount > d.checkScalarOutputCount) return false;
    if (d.checkStructureInputSize != kIOUCVariableStructureSize &&
        a.structureInputSize != d.checkStructureInputSize) {
        return false;
    }
    if (d.checkStructureOutputSize != kIOUCVariableStructureSize &&
        a.structureOutputSize != d.checkStructureOutputSize) {
        return false;
    }
    return true;
}

} // namespace

IOReturn IOUserClient::externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                                      const IOExternalMethodDispatch* dispatch, OSObject* target,
                                      void* reference) {
    if (!arguments) return kIOReturnBadArgument;
    if (!dispatch) {
        target = nullptr;
        dispatch = getTargetAndMethodForIndex(&target, selector);
        if (!dispatch) return kIOReturnUnsupported;
    }
    if (!dispatch->function) return kIOReturnUnsupported;
    if (!countsMatch(*dispatch, *arguments)) return kIOReturnBadArgument;
    return dispatch->function(target ? target : this, reference, arguments);
}

const IOExternalMethodDispatch* IOUserClient::getTargetAndMethodForIndex(OSObject** target, uint32_t) {
    if (target) *target = nullptr;
    return nullptr;
}

IOReturn IOUserClient::clientClose() {
    return kIOReturnUnsupported;
}

IOReturn IOUserClient::clientDied() {
    return clientClose();
}

IOReturn IOUserClient::registerNotificationPort(mach_port_t, uint32_t, uint32_t) {
    return kIOReturnSuccess;
}

void* IOUserClient::getNotificationSemaphore(uint32_t) {
    return nullptr;
}

IOReturn IOUserClient::clientMemoryForType(uint32_t, IOOptionBits* options, IOMemoryDescriptor** memory) {
    if (options) *options = 0;
    if (memory) *memory = nullptr;
    return kIOReturnUnsupported;
}

IOReturn IOUserClient::connectClient(IOUserClient*) {
    return kIOReturnUnsupported;
}

} // namespace kernel
