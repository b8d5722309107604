#include "platform/kernel/IOHIDSystem.h"

#include <cstring>
#include <shared_mutex>

namespace kernel {

OSDefineMetaClassAndStructors(IOHIDSystem, IOService);
OSDefineMetaClassAndStructors(IOHIDUserClient, IOUserClient);

namespace {

std::shared_mutex gListenerMutex;
HIDEventListener* gListener = nullptr;

} // namespace

IOHIDSystem* IOHIDSystem::hidSystem() {
    auto* system = new IOHIDSystem;
    system->init(nullptr);
    system->setName("IOHIDSystem");
    return system;
}

IOReturn IOHIDSystem::newUserClient(task_t owningTask, void* securityID, uint32_t type,
                                    IOUserClient** handler) {
    if (handler) *handler = nullptr;
    if (!handler) return kIOReturnBadArgument;
    if (type != kIOHIDConnectionType) return kIOReturnUnsupported;
    auto* client = new IOHIDUserClient;
    if (!client->initWithTask(owningTask, securityID, type) || !client->attach(this)) {
        client->release();
        return kIOReturnError;
    }
    *handler = client;
    return kIOReturnSuccess;
}

void IOHIDSystem::setEventListener(HIDEventListener* listener) {
    std::unique_lock lock(gListenerMutex);
    gListener = listener;
}

IOReturn IOHIDSystem::post(const task& poster, uint32_t type, IOGPoint location, const void* data,
                           size_t size, uint32_t version, uint32_t flags, uint32_t options) {
    std::shared_lock lock(gListenerMutex);
    if (!gListener) return kIOReturnNotAttached;
    return gListener->hidPostEvent(poster, type, location, data, size, version, flags, options);
}

IOReturn IOHIDSystem::buttonEventNumber(uint32_t button, uint32_t* count) {
    std::shared_lock lock(gListenerMutex);
    if (!gListener) return kIOReturnNotAttached;
    return gListener->hidButtonEventNumber(button, count);
}

const IOExternalMethodDispatch IOHIDUserClient::sMethods[kIOHIDSystemMethodCount] = {
    {&IOHIDUserClient::sPostEvent, kIOHIDPostEventScalars, 0, 0, 0},
    {&IOHIDUserClient::sGetButtonEventNum, 1, 0, 1, 0},
};

IOReturn IOHIDUserClient::externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                                         const IOExternalMethodDispatch* dispatch, OSObject* target,
                                         void* reference) {
    if (selector < kIOHIDSystemMethodCount) {
        dispatch = &sMethods[selector];
        target = this;
    }
    return super::externalMethod(selector, arguments, dispatch, target, reference);
}

IOReturn IOHIDUserClient::clientClose() {
    if (IOService* provider = getProvider()) detach(provider);
    terminate();
    return kIOReturnSuccess;
}

IOReturn IOHIDUserClient::sPostEvent(OSObject* target, void*, IOExternalMethodArguments* a) {
    auto* client = OSDynamicCast(IOHIDUserClient, target);
    if (!client || !client->getOwningTask()) return kIOReturnBadArgument;
    const uint64_t* in = a->scalarInput;
    // The record travels as whole words; a size other than the record's is a broken caller.
    if (in[6] != sizeof(NXEventData) || in[0] > UINT32_MAX || in[3] > UINT32_MAX || in[4] > UINT32_MAX ||
        in[5] > UINT32_MAX)
        return kIOReturnBadArgument;
    uint8_t bytes[kIOHIDEventDataWords * 8];
    for (uint32_t w = 0; w < kIOHIDEventDataWords; ++w)
        for (int b = 0; b < 8; ++b)
            bytes[w * 8 + b] = static_cast<uint8_t>(in[7 + w] >> (8 * b));
    IOGPoint location{static_cast<int16_t>(in[1]), static_cast<int16_t>(in[2])};
    return IOHIDSystem::post(*client->getOwningTask(), static_cast<uint32_t>(in[0]), location, bytes,
                             sizeof(NXEventData), static_cast<uint32_t>(in[3]), static_cast<uint32_t>(in[4]),
                             static_cast<uint32_t>(in[5]));
}

IOReturn IOHIDUserClient::sGetButtonEventNum(OSObject*, void*, IOExternalMethodArguments* a) {
    if (a->scalarInput[0] > UINT32_MAX) return kIOReturnBadArgument;
    uint32_t count = 0;
    IOReturn status = IOHIDSystem::buttonEventNumber(static_cast<uint32_t>(a->scalarInput[0]), &count);
    if (status == kIOReturnSuccess && a->scalarOutput && a->scalarOutputCount >= 1)
        a->scalarOutput[0] = count;
    return status;
}

} // namespace kernel
