// The HID system, built in under IOResources: any number of type-1 connections post HID
// events and read button event numbers. It applies nothing itself: each post goes to the
// window server's event system (its listener), which applies and logs it before the call
// returns.
#pragma once

#include "platform/kernel/IOHIDTypes.h"
#include "platform/kernel/IOUserClient.h"

#include <cstddef>

namespace kernel {

class HIDEventListener {
  public:
    virtual ~HIDEventListener() = default;
    virtual IOReturn hidPostEvent(const task& poster, uint32_t type, IOGPoint location, const void* data,
                                  size_t dataSize, uint32_t version, uint32_t flags, uint32_t options) = 0;
    virtual IOReturn hidButtonEventNumber(uint32_t button, uint32_t* count) = 0;
};

class IOHIDSystem : public IOService {
    OSDeclareDefaultStructors(IOHIDSystem);

  public:
    using super = IOService;

    static IOHIDSystem* hidSystem();
    IOReturn newUserClient(task_t owningTask, void* securityID, uint32_t type,
                           IOUserClient** handler) override;

    // The window server's event system; null detaches it (posts then answer kIOReturnNotAttached).
    static void setEventListener(HIDEventListener* listener);
    static IOReturn post(const task& poster, uint32_t type, IOGPoint location, const void* data, size_t size,
                         uint32_t version, uint32_t flags, uint32_t options);
    static IOReturn buttonEventNumber(uint32_t button, uint32_t* count);
};

class IOHIDUserClient : public IOUserClient {
    OSDeclareDefaultStructors(IOHIDUserClient);

  public:
    using super = IOUserClient;

    IOReturn externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                            const IOExternalMethodDispatch* dispatch, OSObject* target,
                            void* reference) override;
    IOReturn clientClose() override;

  private:
    static IOReturn sPostEvent(OSObject* target, void* reference, IOExternalMethodArguments* arguments);
    static IOReturn sGetButtonEventNum(OSObject* target, void* reference,
                                       IOExternalMethodArguments* arguments);
    static const IOExternalMethodDispatch sMethods[kIOHIDSystemMethodCount];
};

} // namespace kernel
