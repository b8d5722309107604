// The screen server's connection to one framebuffer (type 0x1000; one at a time): enable
// the display with one mode or a list, disable it, read the cursor and the row length, and
// drive the vertical-blank pacing. Selectors 0 to 11, each with fixed scalar counts.
#pragma once

#include "platform/kernel/IOUserClient.h"

namespace drivers {

using namespace kernel;

class QNExFramebuffer;

enum QNExFramebufferSelector : uint32_t {
    kQNExUCOpen = 0,
    kQNExUCClose = 1,
    kQNExUCEnableWithResolution = 2,
    kQNExUCDisable = 3,
    kQNExUCFBAddress = 4,
    kQNExQueryMouseStatus = 5,
    kQNExQueryMouseCursor = 6,
    kQNExUCBytesPerRow = 7,
    kQNExUCEnableWithResolutions = 8,
    kQNExVBLNotifyInterruptClient = 9,
    kQNExVBLSetSecondaryClock = 10,
    kQNExVBLSetSecondaryClockThreshold = 11,
    kQNExUCMethodCount = 12,
};

class QNExFramebufferUC : public IOUserClient {
    OSDeclareDefaultStructors(QNExFramebufferUC);

public:
    using super = IOUserClient;

    static QNExFramebufferUC* withTask(task_t owningTask);

    bool start(IOService* provider) override;
    IOReturn externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                            const IOExternalMethodDispatch* dispatch, OSObject* target,
                            void* reference) override;
    IOReturn clientClose() override;
    bool didTerminate(IOService* provider, uint32_t options, bool* defer) override;
    IOReturn clientMemoryForType(uint32_t type, IOOptionBits* options, IOMemoryDescriptor** memory) override;
    IOReturn registerNotificationPort(mach_port_t port, uint32_t type, uint32_t refCon) override;

    // Disables the display when the framebuffer counts this client as open, lets the
    // framebuffer go and detaches from it.
    IOReturn closeUserClient();
    IOReturn openUserClient();

    static const IOExternalMethodDispatch sMethods[kQNExUCMethodCount];

    static IOReturn sOpenUserClient(OSObject* target, void* reference, IOExternalMethodArguments* arguments);
    static IOReturn sCloseUserClient(OSObject* target, void* reference, IOExternalMethodArguments* arguments);
    static IOReturn sEnableWithResolution(OSObject* target, void* reference,
                                          IOExternalMethodArguments* arguments);
    static IOReturn sDisable(OSObject* target, void* reference, IOExternalMethodArguments* arguments);
    static IOReturn sFBAddress(OSObject* target, void* reference, IOExternalMethodArguments* arguments);
    static IOReturn sQueryMouseStatus(OSObject* target, void* reference,
                                      IOExternalMethodArguments* arguments);
    static IOReturn sQueryMouseCursor(OSObject* target, void* reference,
                                      IOExternalMethodArguments* arguments);
    static IOReturn sBytesPerRow(OSObject* target, void* reference, IOExternalMethodArguments* arguments);
    static IOReturn sEnableWithResolutions(OSObject* target, void* reference,
                                           IOExternalMethodArguments* arguments);
    static IOReturn sVBLNotifyInterruptClient(OSObject* target, void* reference,
                                              IOExternalMethodArguments* arguments);
    static IOReturn sVBLSetSecondaryClock(OSObject* target, void* reference,
                                          IOExternalMethodArguments* arguments);
    static IOReturn sVBLSetSecondaryClockThreshold(OSObject* target, void* reference,
                                                   IOExternalMethodArguments* arguments);

private:
    QNExFramebuffer* m_framebuffer = nullptr;
    task_t m_owningTask = nullptr;
    mach_port_t m_notificationPort = 0;
};

} // namespace drivers
