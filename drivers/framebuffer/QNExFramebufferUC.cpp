#include "drivers/framebuffer/QNExFramebufferUC.h"

#include "drivers/framebuffer/QNExFramebuffer.h"

#include <vector>

namespace drivers {

OSDefineMetaClassAndStructors(QNExFramebufferUC, IOUserClient);

const IOExternalMethodDispatch QNExFramebufferUC::sMethods[kQNExUCMethodCount] = {
    {&QNExFramebufferUC::sOpenUserClient, 0, 0, 0, 0},
    {&QNExFramebufferUC::sCloseUserClient, 0, 0, 0, 0},
    {&QNExFramebufferUC::sEnableWithResolution, 1, 0, 0, 0},
    {&QNExFramebufferUC::sDisable, 0, 0, 0, 0},
    {&QNExFramebufferUC::sFBAddress, 0, 0, 1, 0},
    {&QNExFramebufferUC::sQueryMouseStatus, 0, 0, 4, 0},
    {&QNExFramebufferUC::sQueryMouseCursor, 2, 0, 4, 0},
    {&QNExFramebufferUC::sBytesPerRow, 0, 0, 1, 0},
    {&QNExFramebufferUC::sEnableWithResolutions, kIOUCVariableStructureSize, 0, 0, 0},
    {&QNExFramebufferUC::sVBLNotifyInterruptClient, 0, 0, 0, 0},
    {&QNExFramebufferUC::sVBLSetSecondaryClock, 1, 0, 0, 0},
    {&QNExFramebufferUC::sVBLSetSecondaryClockThreshold, 1, 0, 0, 0},
};

namespace {

// Handlers of selectors 2 to 11 get the framebuffer as target, or the client itself when it
// has none any more; the cast tells the two apart.
QNExFramebuffer* framebufferOf(OSObject* target) {
    return OSDynamicCast(QNExFramebuffer, target);
}

IODisplayModeID modeIDOf(uint64_t scalar) {
    return static_cast<IODisplayModeID>(static_cast<uint32_t>(scalar));
}

} // namespace

QNExFramebufferUC* QNExFramebufferUC::withTask(task_t owningTask) {
    auto* client = new QNExFramebufferUC;
    if (!client->initWithTask(owningTask, nullptr, kQNExFramebufferUserClientType)) {
        client->release();
        return nullptr;
    }
    client->m_owningTask = owningTask;
    return client;
}

bool QNExFramebufferUC::start(IOService* provider) {
    if (!super::start(provider)) return false;
    m_framebuffer = OSDynamicCast(QNExFramebuffer, provider);
    if (!m_framebuffer) return false;
    m_framebuffer->setOpenUserClient(this);
    return true;
}

IOReturn QNExFramebufferUC::externalMethod(uint32_t selector, IOExternalMethodArguments* arguments,
                                           const IOExternalMethodDispatch* dispatch, OSObject* target,
                                           void* reference) {
    if (selector < kQNExUCMethodCount) {
        dispatch = &sMethods[selector];
        target =
            selector <= kQNExUCClose ? static_cast<OSObject*>(this) : static_cast<OSObject*>(m_framebuffer);
    }
    return super::externalMethod(selector, arguments, dispatch, target, reference);
}

IOReturn QNExFramebufferUC::openUserClient() {
    return m_framebuffer && !isInactive() ? kIOReturnSuccess : kIOReturnNotAttached;
}

IOReturn QNExFramebufferUC::closeUserClient() {
    if (!m_framebuffer) return kIOReturnNotAttached;
    QNExFramebuffer* framebuffer = m_framebuffer;
    IOReturn result = kIOReturnNotOpen;
    if (framebuffer->isOpen(this)) {
        framebuffer->extDisableDisplay();
        framebuffer->close(this);
        result = kIOReturnSuccess;
    }
    m_framebuffer = nullptr;
    detach(framebuffer);
    return result;
}

IOReturn QNExFramebufferUC::clientClose() {
    closeUserClient();
    terminate();
    m_owningTask = nullptr;
    return kIOReturnSuccess;
}

bool QNExFramebufferUC::didTerminate(IOService* provider, uint32_t options, bool* defer) {
    closeUserClient();
    if (defer) *defer = false;
    return super::didTerminate(provider, options, defer);
}

IOReturn QNExFramebufferUC::clientMemoryForType(uint32_t type, IOOptionBits* options,
                                                IOMemoryDescriptor** memory) {
    if (!m_framebuffer) return super::clientMemoryForType(type, options, memory);
    return m_framebuffer->clientMemoryForType(type, options, memory);
}

IOReturn QNExFramebufferUC::registerNotificationPort(mach_port_t port, uint32_t, uint32_t) {
    m_notificationPort = port;
    return kIOReturnSuccess;
}

IOReturn QNExFramebufferUC::sOpenUserClient(OSObject* target, void*, IOExternalMethodArguments*) {
    auto* client = OSDynamicCast(QNExFramebufferUC, target);
    return client ? client->openUserClient() : kIOReturnNotAttached;
}

IOReturn QNExFramebufferUC::sCloseUserClient(OSObject* target, void*, IOExternalMethodArguments*) {
    auto* client = OSDynamicCast(QNExFramebufferUC, target);
    return client ? client->closeUserClient() : kIOReturnNotAttached;
}

IOReturn QNExFramebufferUC::sEnableWithResolution(OSObject* target, void*,
                                                  IOExternalMethodArguments* arguments) {
    QNExFramebuffer* framebuffer = framebufferOf(target);
    if (!framebuffer) return kIOReturnNotAttached;
    return framebuffer->extEnableDisplayForMode(modeIDOf(arguments->scalarInput[0]));
}

IOReturn QNExFramebufferUC::sDisable(OSObject* target, void*, IOExternalMethodArguments*) {
    QNExFramebuffer* framebuffer = framebufferOf(target);
    return framebuffer ? framebuffer->extDisableDisplay() : kIOReturnNotAttached;
}

// Nothing calls it and there is no address to give a process.
IOReturn QNExFramebufferUC::sFBAddress(OSObject*, void*, IOExternalMethodArguments*) {
    return kIOReturnUnsupported;
}

IOReturn QNExFramebufferUC::sQueryMouseStatus(OSObject* target, void*, IOExternalMethodArguments* arguments) {
    QNExFramebuffer* framebuffer = framebufferOf(target);
    if (!framebuffer) return kIOReturnSuccess; // the outputs stay zero
    int x = 0, y = 0, visible = 0, changed = 0;
    framebuffer->getCursorState(&x, &y, &visible, &changed);
    const uint64_t values[4] = {static_cast<uint32_t>(x), static_cast<uint32_t>(y),
                                static_cast<uint32_t>(visible), static_cast<uint32_t>(changed)};
    for (uint32_t i = 0; i < arguments->scalarOutputCount && i < 4; ++i)
        arguments->scalarOutput[i] = values[i];
    return kIOReturnSuccess;
}

// Nothing calls it; the cursor image reaches no process through this driver.
IOReturn QNExFramebufferUC::sQueryMouseCursor(OSObject*, void*, IOExternalMethodArguments*) {
    return kIOReturnUnsupported;
}

IOReturn QNExFramebufferUC::sBytesPerRow(OSObject* target, void*, IOExternalMethodArguments* arguments) {
    QNExFramebuffer* framebuffer = framebufferOf(target);
    if (!framebuffer) return kIOReturnNotAttached;
    if (arguments->scalarOutputCount >= 1) arguments->scalarOutput[0] = framebuffer->getBytesPerRow();
    return kIOReturnSuccess;
}

IOReturn QNExFramebufferUC::sEnableWithResolutions(OSObject* target, void*,
                                                   IOExternalMethodArguments* arguments) {
    QNExFramebuffer* framebuffer = framebufferOf(target);
    if (!framebuffer) return kIOReturnNotAttached;
    std::vector<IODisplayModeID> modes;
    modes.reserve(arguments->scalarInputCount);
    for (uint32_t i = 0; i < arguments->scalarInputCount; ++i)
        modes.push_back(modeIDOf(arguments->scalarInput[i]));
    return framebuffer->extEnableDisplayForModes(modes.data(), static_cast<unsigned int>(modes.size()));
}

IOReturn QNExFramebufferUC::sVBLNotifyInterruptClient(OSObject* target, void*, IOExternalMethodArguments*) {
    QNExFramebuffer* framebuffer = framebufferOf(target);
    return framebuffer ? framebuffer->VBLNotifyInterruptClient() : kIOReturnError;
}

IOReturn QNExFramebufferUC::sVBLSetSecondaryClock(OSObject* target, void*,
                                                  IOExternalMethodArguments* arguments) {
    QNExFramebuffer* framebuffer = framebufferOf(target);
    if (!framebuffer) return kIOReturnError;
    return framebuffer->VBLSetSecondaryClock(static_cast<uint32_t>(arguments->scalarInput[0]));
}

IOReturn QNExFramebufferUC::sVBLSetSecondaryClockThreshold(OSObject* target, void*,
                                                           IOExternalMethodArguments* arguments) {
    QNExFramebuffer* framebuffer = framebufferOf(target);
    if (!framebuffer) return kIOReturnError;
    return framebuffer->VBLSetSecondaryClockThreshold(static_cast<uint32_t>(arguments->scalarInput[0]));
}

} // namespace drivers
