#include "platform/kernel/IOFramebuffer.h"

#include "platform/kernel/FramebufferListener.h"
#include "platform/kernel/Kernel.h"

namespace kernel {

OSDefineMetaClassAndAbstractStructors(IOGraphicsDevice, IOService);
OSDefineMetaClassAndStructors(IOFramebuffer, IOGraphicsDevice);

bool IOFramebuffer::start(IOService* provider) {
    if (!super::start(provider)) return false;
    PMinit();
    if (provider) provider->joinPMtree(this);
    return true;
}

void IOFramebuffer::stop(IOService* provider) {
    PMstop();
    super::stop(provider);
}

IOReturn IOFramebuffer::open() {
    if (m_windowServerOpen) return kIOReturnSuccess;
    if (!m_controllerEnabled) {
        IOReturn r = enableController();
        if (r != kIOReturnSuccess) return r;
        m_controllerEnabled = true;
    }
    m_windowServerOpen = true;
    return kIOReturnSuccess;
}

IOReturn IOFramebuffer::close() {
    m_windowServerOpen = false;
    m_vblStateBit = false;
    return kIOReturnSuccess;
}

IOReturn IOFramebuffer::enableController() {
    return kIOReturnSuccess;
}

IOReturn IOFramebuffer::deliverFramebufferNotification(IOIndex event, void* info) {
    m_notifications.emplace_back(event, info);
    if (m_notifications.size() > kMaxRecordedNotifications) m_notifications.pop_front();
    Kernel* k = Kernel::current();
    if (FramebufferListener* listener = k ? k->framebufferListener() : nullptr) {
        listener->framebufferNotification(this, event, info);
    }
    return kIOReturnSuccess;
}

std::vector<std::pair<IOIndex, void*>> IOFramebuffer::deliveredNotifications() const {
    return {m_notifications.begin(), m_notifications.end()};
}

IOReturn IOFramebuffer::setAttribute(IOSelect attribute, uintptr_t) {
    return attribute == kIOCapturedAttribute || attribute == kIOPowerAttribute ? kIOReturnSuccess
                                                                               : kIOReturnUnsupported;
}

IOReturn IOFramebuffer::getAttribute(IOSelect attribute, uintptr_t*) {
    return attribute == kIOCapturedAttribute || attribute == kIOPowerAttribute ? kIOReturnSuccess
                                                                               : kIOReturnUnsupported;
}

IOItemCount IOFramebuffer::getConnectionCount() {
    return 0;
}

IOReturn IOFramebuffer::setAttributeForConnection(IOIndex, IOSelect, uintptr_t) {
    return kIOReturnUnsupported;
}

IOReturn IOFramebuffer::getAttributeForConnection(IOIndex, IOSelect, uintptr_t*) {
    return kIOReturnUnsupported;
}

IOReturn IOFramebuffer::registerForInterruptType(IOSelect, IOFBInterruptProc, OSObject*, void*,
                                                 void** interruptRef) {
    if (interruptRef) *interruptRef = nullptr;
    return kIOReturnUnsupported;
}

IOReturn IOFramebuffer::unregisterInterrupt(void* interruptRef) {
    return interruptRef ? kIOReturnBadArgument : kIOReturnSuccess;
}

IOReturn IOFramebuffer::setInterruptState(void*, UInt32) {
    return kIOReturnBadArgument;
}

const char* IOFramebuffer::getPixelFormats() {
    return nullptr;
}

IOItemCount IOFramebuffer::getDisplayModeCount() {
    return 0;
}

IOReturn IOFramebuffer::getDisplayModes(IODisplayModeID*) {
    return kIOReturnUnsupported;
}

IOReturn IOFramebuffer::getInformationForDisplayMode(IODisplayModeID, IODisplayModeInformation*) {
    return kIOReturnUnsupported;
}

UInt64 IOFramebuffer::getPixelFormatsForDisplayMode(IODisplayModeID, IOIndex) {
    return 0;
}

IOReturn IOFramebuffer::getPixelInformation(IODisplayModeID, IOIndex, IOPixelAperture, IOPixelInformation*) {
    return kIOReturnUnsupported;
}

IOReturn IOFramebuffer::getCurrentDisplayMode(IODisplayModeID*, IOIndex*) {
    return kIOReturnUnsupported;
}

IOReturn IOFramebuffer::setDisplayMode(IODisplayModeID, IOIndex) {
    return kIOReturnUnsupported;
}

IOReturn IOFramebuffer::getStartupDisplayMode(IODisplayModeID*, IOIndex*) {
    return kIOReturnUnsupported;
}

IOReturn IOFramebuffer::setStartupDisplayMode(IODisplayModeID, IOIndex) {
    return kIOReturnUnsupported;
}

IOReturn IOFramebuffer::getTimingInfoForDisplayMode(IODisplayModeID, IOTimingInformation*) {
    return kIOReturnUnsupported;
}

IODeviceMemory* IOFramebuffer::getApertureRange(IOPixelAperture) {
    return nullptr;
}

IODeviceMemory* IOFramebuffer::getVRAMRange() {
    return nullptr;
}

IOReturn IOFramebuffer::setCLUTWithEntries(IOColorEntry*, UInt32, UInt32, IOOptionBits) {
    return kIOReturnUnsupported;
}

IOReturn IOFramebuffer::setGammaTable(UInt32, UInt32, UInt32, void*) {
    return kIOReturnUnsupported;
}

bool IOFramebuffer::isConsoleDevice() {
    return false;
}

bool IOFramebuffer::hasDDCConnect(IOIndex) {
    return false;
}

IOReturn IOFramebuffer::getDDCBlock(IOIndex, UInt32, IOSelect, IOOptionBits, UInt8*, IOByteCount*) {
    return kIOReturnUnsupported;
}

IOReturn IOFramebuffer::setCursorImage(void*) {
    return kIOReturnUnsupported;
}

IOReturn IOFramebuffer::setCursorState(SInt32, SInt32, bool) {
    return kIOReturnUnsupported;
}

} // namespace kernel
