#include "drivers/framebuffer/QNExFramebuffer.h"

#include "drivers/framebuffer/QNExFramebufferUC.h"
#include "drivers/videocard/QNExPowerStates.h"
#include "platform/kernel/IOBufferMemoryDescriptor.h"
#include "platform/kernel/IODeviceMemory.h"
#include "platform/kernel/IOLib.h"
#include "platform/kernel/IOTimerEventSource.h"
#include "platform/kernel/IOWorkLoop.h"
#include "platform/kernel/OSNumber.h"

#include <algorithm>
#include <cstring>

namespace drivers {

OSDefineMetaClassAndStructors(QNExFramebuffer, IOFramebuffer);

namespace {

constexpr char kPixelFormatDirect32[] = "--------RRRRRRRRGGGGGGGGBBBBBBBB";
// The offered formats, each ended by a NUL, the list by an empty string.
constexpr char kPixelFormats[] = "PPPPPPPP\0-RRRRRGGGGGBBBBB\0--------RRRRRRRRGGGGGGGGBBBBBBBB\0";
constexpr IOIndex kDepth32 = 2;

UInt32 bytesPerRowFor(IODisplayModeID mode, IOIndex depth) {
    if (depth < 0 || depth > kDepth32) return 32;
    return gProxyDisplayModes[mode].nominalWidth * 4 + 32;
}

} // namespace

bool QNExFramebuffer::init(OSDictionary*) {
    if (!super::init(nullptr)) return false;
    m_enabled = 0;
    m_initialized = 0;
    m_timer = nullptr;
    m_vblPeriod = kQNExDefaultVBLPeriodUS;
    m_vblThreshold = kQNExDefaultVBLThresholdUS;
    m_lastVBLTime = current_composite_microtime();
    m_timerDriven = 0;
    return true;
}

bool QNExFramebuffer::start(IOService* provider) {
    m_interruptList = nullptr;
    m_uncaptured = 1;
    m_captureSeen = 0;
    if (!super::start(provider)) return false;
    if (!provider || !provider->metaCast("QNExDisplay")) return false;
    m_provider = provider;
    if (auto* number = OSDynamicCast(OSNumber, provider->getProperty("displayNum"))) {
        setProperty("IOAccelIndex", number);
    }
    setName("QNExFramebuffer");
    auto location = provider->getLocation();
    if (!location) return false;
    setLocation(*location);
    m_cursorX = m_cursorY = 0;
    m_cursorVisible = 0;
    m_cursorChanged = 1;
    m_currentMode = 0;
    m_currentDepth = 0;
    m_vram = nullptr;
    m_cursorImage = nullptr;
    m_startupMode = kQNExPlaceholderModeID;
    m_modeListCount = 0;
    if (!m_initialized && !allocateInterruptsAndTimer()) {
        IOLog("QNExFramebuffer: cannot allocate its interrupts, mode list or timer\n");
        return false;
    }
    return true;
}

// The 'vbl ' and 'dci ' records, the mode-list buffer, the timer and its work loop. On any
// failure everything allocated here goes again.
bool QNExFramebuffer::allocateInterruptsAndTimer() {
    bool ok = NewInterruptService(kIOFBVBLInterruptType, &m_vblService) == kIOReturnSuccess &&
              NewInterruptService(kIOFBConnectInterruptType, &m_connectService) == kIOReturnSuccess;
    if (ok) {
        m_modeList = static_cast<IODisplayModeID*>(IOMalloc(kQNExModeTableSize * sizeof(IODisplayModeID)));
        ok = m_modeList != nullptr;
    }
    if (ok && !m_timer) {
        m_timer = IOTimerEventSource::timerEventSource(this, &QNExFramebuffer::updateVBLViaTimer);
        m_workLoop = IOWorkLoop::workLoop();
        ok = m_timer && m_workLoop && m_workLoop->addEventSource(m_timer) == kIOReturnSuccess;
    }
    if (!ok) {
        releaseTimer();
        releaseInterruptsAndModeList();
        return false;
    }
    m_initialized = 1;
    return true;
}

// Cancelled and removed first, so that no timer action runs on what stop frees next.
void QNExFramebuffer::releaseTimer() {
    if (m_timer) {
        m_timer->cancelTimeout();
        if (m_workLoop) m_workLoop->removeEventSource(m_timer);
        m_timer->release();
        m_timer = nullptr;
    }
    if (m_workLoop) {
        m_workLoop->release();
        m_workLoop = nullptr;
    }
}

void QNExFramebuffer::releaseBuffers() {
    OSSafeReleaseNULL(m_vram);
    OSSafeReleaseNULL(m_cursorBuffer);
}

// The 'dci ' then the 'vbl ' record, and the mode-list buffer at the size it was allocated with.
void QNExFramebuffer::releaseInterruptsAndModeList() {
    DisposeInterruptService(m_connectService);
    DisposeInterruptService(m_vblService);
    m_connectService = m_vblService = nullptr;
    if (m_modeList) IOFree(m_modeList, kQNExModeTableSize * sizeof(IODisplayModeID));
    m_modeList = nullptr;
}

void QNExFramebuffer::stop(IOService* provider) {
    releaseTimer();
    releaseBuffers();
    m_currentMode = 0;
    m_currentDepth = 0;
    releaseInterruptsAndModeList();
    m_modeListCount = 0;
    m_initialized = 0;
    m_enabled = 0;
    super::stop(provider);
}

IOReturn QNExFramebuffer::enableController() {
    registerPowerDriver(this, kQNExPowerStates, kQNExPowerStateCount);
    temporaryPowerClampOn();
    changePowerStateTo(kQNExPowerStateUsable);
    if (m_provider) m_provider->setProperty("IOPMIsPowerManaged", true);
    if (!m_vram) {
        m_vram = IOBufferMemoryDescriptor::withOptions(
            kQNExBufferOptions, getApertureSize(kQNExVRAMSizingModeID, kDepth32), 4096);
    }
    if (!m_cursorBuffer)
        m_cursorBuffer =
            IOBufferMemoryDescriptor::withOptions(kQNExBufferOptions, kQNExCursorBufferSize, 4096);
    if (!m_vram || !m_cursorBuffer) {
        IOLog("QNExFramebuffer: cannot allocate the VRAM or the cursor buffer\n");
        releaseBuffers();
        return kIOReturnNoMemory;
    }
    IODisplayModeID mode = 0;
    IOIndex depth = 0;
    getStartupDisplayMode(&mode, &depth);
    setDisplayMode(mode, depth);
    return kIOReturnSuccess;
}

bool QNExFramebuffer::isConsoleDevice() {
    return m_provider && m_provider->getProperty("AAPL,boot-display");
}

const char* QNExFramebuffer::getPixelFormats() {
    return kPixelFormats;
}

UInt64 QNExFramebuffer::getPixelFormatsForDisplayMode(IODisplayModeID, IOIndex) {
    return 0;
}

IOItemCount QNExFramebuffer::getDisplayModeCount() {
    uint32_t G = gProxyDisplayModeCount.load();
    if (!m_uncaptured && m_enabled) return m_modeListCount > 0 ? m_modeListCount : G;
    return m_enabled && m_modeListCount > 0 ? m_modeListCount : 1;
}

IOReturn QNExFramebuffer::getDisplayModes(IODisplayModeID* allDisplayModes) {
    if (!allDisplayModes) return kIOReturnBadArgument;
    uint32_t G = gProxyDisplayModeCount.load();
    if (m_enabled && m_modeListCount > 0) {
        std::copy(m_modeList, m_modeList + m_modeListCount, allDisplayModes);
    } else if (!m_uncaptured && m_enabled) {
        if (G >= 2) {
            for (uint32_t i = 0; i < G; ++i)
                allDisplayModes[i] = static_cast<IODisplayModeID>(i + 1);
        } else {
            allDisplayModes[0] = static_cast<IODisplayModeID>(m_startupMode);
        }
    } else {
        allDisplayModes[0] = kQNExUncapturedModeID;
    }
    return kIOReturnSuccess;
}

IOReturn QNExFramebuffer::getInformationForDisplayMode(IODisplayModeID displayMode,
                                                       IODisplayModeInformation* info) {
    if (!info || !isTableModeID(displayMode)) return kIOReturnBadArgument;
    const IODisplayModeInformation& row = gProxyDisplayModes[displayMode];
    std::memset(info, 0, sizeof *info);
    info->maxDepthIndex = kDepth32;
    info->nominalWidth = row.nominalWidth;
    info->nominalHeight = row.nominalHeight;
    info->refreshRate = row.refreshRate;
    info->flags = row.flags;
    info->imageWidth = row.imageWidth;
    info->imageHeight = row.imageHeight;
    return kIOReturnSuccess;
}

IOReturn QNExFramebuffer::getPixelInformation(IODisplayModeID displayMode, IOIndex depth, IOPixelAperture,
                                              IOPixelInformation* pixelInfo) {
    if (!pixelInfo || !isTableModeID(displayMode)) return kIOReturnBadArgument;
    std::memset(pixelInfo, 0, sizeof *pixelInfo);
    pixelInfo->activeWidth = gProxyDisplayModes[displayMode].nominalWidth;
    pixelInfo->activeHeight = gProxyDisplayModes[displayMode].nominalHeight;
    pixelInfo->bytesPerRow = bytesPerRowFor(displayMode, depth);
    if (depth < 0 || depth > kDepth32) return kIOReturnSuccess;
    pixelInfo->bitsPerPixel = 32;
    pixelInfo->pixelType = kIORGBDirectPixels;
    pixelInfo->componentCount = 3;
    pixelInfo->bitsPerComponent = 8;
    pixelInfo->componentMasks[0] = 0xFF0000;
    pixelInfo->componentMasks[1] = 0x00FF00;
    pixelInfo->componentMasks[2] = 0x0000FF;
    std::strncpy(pixelInfo->pixelFormat, kPixelFormatDirect32, sizeof pixelInfo->pixelFormat - 1);
    return kIOReturnSuccess;
}

IOReturn QNExFramebuffer::getCurrentDisplayMode(IODisplayModeID* displayMode, IOIndex* depth) {
    if (!displayMode) return kIOReturnBadArgument;
    *displayMode = m_uncaptured ? kQNExPlaceholderModeID : m_currentMode;
    if (!depth) return kIOReturnBadArgument;
    *depth = m_currentDepth;
    return kIOReturnSuccess;
}

IOReturn QNExFramebuffer::setDisplayMode(IODisplayModeID displayMode, IOIndex depth) {
    if (displayMode == m_currentMode && depth == m_currentDepth) return kIOReturnSuccess;
    if (!isTableModeID(displayMode)) return kIOReturnBadArgument;
    m_currentMode = displayMode;
    m_currentDepth = depth;
    deliverFramebufferNotification(kIOFBNotifyDisplayModeWillChange);
    deliverFramebufferNotification(kIOFBNotifyDisplayModeDidChange);
    return kIOReturnSuccess;
}

IOReturn QNExFramebuffer::getStartupDisplayMode(IODisplayModeID* displayMode, IOIndex* depth) {
    if (!displayMode) return kIOReturnBadArgument;
    *displayMode = static_cast<IODisplayModeID>(m_startupMode);
    if (!depth) return kIOReturnBadArgument;
    *depth = kDepth32;
    return kIOReturnSuccess;
}

IOReturn QNExFramebuffer::setStartupDisplayMode(IODisplayModeID, IOIndex) {
    return kIOReturnUnsupported;
}

IOReturn QNExFramebuffer::setCLUTWithEntries(IOColorEntry*, UInt32, UInt32, IOOptionBits) {
    return kIOReturnSuccess;
}

IOReturn QNExFramebuffer::setGammaTable(UInt32, UInt32, UInt32, void*) {
    return kIOReturnSuccess;
}

IOReturn QNExFramebuffer::getTimingInfoForDisplayMode(IODisplayModeID, IOTimingInformation* info) {
    if (!info) return kIOReturnBadArgument;
    info->appleTimingID = m_enabled ? kQNExOnlineTimingID : kQNExOfflineTimingID;
    info->flags = 0;
    return kIOReturnSuccess;
}

// No range when the aperture of the current mode would run past the VRAM (modes 441 and
// 442), or when there is no VRAM yet.
IODeviceMemory* QNExFramebuffer::getApertureRange(IOPixelAperture aperture) {
    if (aperture != 0 || m_currentMode == 0 || !m_vram) return nullptr;
    return IODeviceMemory::withSubRange(m_vram, 0, getApertureSize(m_currentMode, m_currentDepth));
}

IODeviceMemory* QNExFramebuffer::getVRAMRange() {
    return m_vram ? IODeviceMemory::withSubRange(m_vram, 0, m_vram->getLength()) : nullptr;
}

IOItemCount QNExFramebuffer::getConnectionCount() {
    return m_enabled ? 1 : 0;
}

IOReturn QNExFramebuffer::setAttribute(IOSelect attribute, uintptr_t value) {
    IOReturn result = super::setAttribute(attribute, value);
    if (attribute == kIOPowerAttribute) {
        void* info = reinterpret_cast<void*>(uintptr_t(1));
        if (value) {
            deliverFramebufferNotification(kIOFBNotifyWillPowerOn, info);
            deliverFramebufferNotification(kIOFBNotifyDidPowerOn, info);
        } else {
            deliverFramebufferNotification(kIOFBNotifyWillPowerOff, info);
            deliverFramebufferNotification(kIOFBNotifyDidPowerOff, info);
        }
        return kIOReturnSuccess;
    }
    if (attribute == kIOCapturedAttribute) {
        m_uncaptured = 0;
        if (!m_captureSeen) {
            m_captureSeen = 1;
            fireConnectInterrupt();
        }
    }
    return result;
}

IOReturn QNExFramebuffer::getAttribute(IOSelect attribute, uintptr_t* value) {
    if (!value) return kIOReturnBadArgument;
    if (attribute == kIOHardwareCursorAttribute) {
        *value = 1;
        return kIOReturnSuccess;
    }
    return super::getAttribute(attribute, value);
}

IOReturn QNExFramebuffer::setAttributeForConnection(IOIndex connectIndex, IOSelect attribute,
                                                    uintptr_t value) {
    if (attribute == kIOPowerAttribute) return kIOReturnSuccess;
    if (attribute == kConnectionProbe) {
        fireConnectInterrupt();
        return kIOReturnSuccess;
    }
    return super::setAttributeForConnection(connectIndex, attribute, value);
}

IOReturn QNExFramebuffer::getAttributeForConnection(IOIndex connectIndex, IOSelect attribute,
                                                    uintptr_t* value) {
    if (attribute == kConnectionSupportsHLDDCSense) return kIOReturnSuccess;
    if (attribute == kConnectionEnable) {
        if (!value) return kIOReturnBadArgument;
        *value = m_uncaptured ? 1 : m_enabled;
        return kIOReturnSuccess;
    }
    return super::getAttributeForConnection(connectIndex, attribute, value);
}

bool QNExFramebuffer::hasDDCConnect(IOIndex) {
    return m_currentMode >= 1 && m_currentMode <= 441;
}

uint16_t QNExFramebuffer::displayNumber() const {
    auto* number = m_provider ? OSDynamicCast(OSNumber, m_provider->getProperty("displayNum")) : nullptr;
    return number ? number->unsigned16BitValue() : 0;
}

void QNExFramebuffer::buildEDID(UInt8* edid) const {
    static constexpr UInt8 kHeader[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    std::memset(edid, 0, kQNExEDIDLength);
    std::memcpy(edid, kHeader, sizeof kHeader);
    edid[8] = 0x5A; // manufacturer id
    edid[9] = 0x8F;
    edid[10] = 0xFE; // product code 0xCAFE, little-endian
    edid[11] = 0xCA;
    uint16_t number = displayNumber();
    edid[12] = static_cast<UInt8>(number & 0xFF); // serial 0x9973nnnn, little-endian
    edid[13] = static_cast<UInt8>(number >> 8);
    edid[14] = static_cast<UInt8>(kQNExDisplaySerialPrefix & 0xFF);
    edid[15] = static_cast<UInt8>(kQNExDisplaySerialPrefix >> 8);
    edid[16] = 5;  // week of manufacture
    edid[17] = 25; // 1990 + 25
    edid[18] = 1;  // version 1.3
    edid[19] = 3;
    edid[20] = 0x80; // digital input
    edid[21] = 12;   // 12 cm x 5 cm
    edid[22] = 5;
    edid[23] = 0x78; // gamma 2.20
    edid[57] = 0xFC; // display product name descriptor
    std::memcpy(edid + 59, "Tessel", 6);
    UInt8 sum = 0;
    for (IOByteCount i = 0; i + 1 < kQNExEDIDLength; ++i)
        sum = static_cast<UInt8>(sum + edid[i]);
    edid[kQNExEDIDLength - 1] = static_cast<UInt8>(0x100 - sum);
}

IOReturn QNExFramebuffer::getDDCBlock(IOIndex, UInt32, IOSelect, IOOptionBits, UInt8* data,
                                      IOByteCount* length) {
    if (!data || !length) return kIOReturnBadArgument;
    // The caller's buffer must hold the whole block; nothing is written past it.
    if (*length < kQNExEDIDLength) return kIOReturnBadArgument;
    buildEDID(data);
    *length = kQNExEDIDLength;
    return kIOReturnSuccess;
}

IOReturn QNExFramebuffer::newUserClient(task_t owningTask, void* securityID, uint32_t type,
                                        IOUserClient** handler) {
    if (type != kQNExFramebufferUserClientType)
        return super::newUserClient(owningTask, securityID, type, handler);
    if (!handler) return kIOReturnBadArgument;
    *handler = nullptr;
    if (m_openUserClient) return kIOReturnExclusiveAccess;
    QNExFramebufferUC* client = QNExFramebufferUC::withTask(owningTask);
    if (!client) return kIOReturnNoMemory;
    if (!client->attach(this)) {
        client->release();
        return kIOReturnNotAttached;
    }
    if (!client->start(this)) {
        client->detach(this);
        client->release();
        if (m_openUserClient == client) m_openUserClient = nullptr;
        return kIOReturnError;
    }
    *handler = client;
    return kIOReturnSuccess;
}

bool QNExFramebuffer::isOpen(const IOService* forClient) const {
    if (super::isOpen(forClient)) return true;
    return forClient ? forClient == m_openUserClient : m_openUserClient != nullptr;
}

bool QNExFramebuffer::open(QNExFramebufferUC* client) {
    m_openUserClient = client;
    return IOService::open(client);
}

void QNExFramebuffer::close(QNExFramebufferUC* client) {
    if (m_openUserClient == client) m_openUserClient = nullptr;
    IOService::close(client);
    if (m_enabled) {
        m_enabled = 0;
        fireConnectInterrupt();
    }
}

IOReturn QNExFramebuffer::clientMemoryForType(unsigned int type, unsigned int* options,
                                              IOMemoryDescriptor** memory) {
    if (memory) *memory = nullptr;
    if (options) *options = 0;
    if (type != 0 || !m_vram || !memory) return kIOReturnNoMemory;
    m_vram->retain();
    *memory = m_vram;
    return kIOReturnSuccess;
}

IOByteCount QNExFramebuffer::getApertureSize(IODisplayModeID displayMode, IOIndex depth) {
    if (!isTableModeID(displayMode)) return 0;
    return IOByteCount(bytesPerRowFor(displayMode, depth)) * gProxyDisplayModes[displayMode].nominalHeight +
           128;
}

IOByteCount QNExFramebuffer::getBytesPerRow() {
    return isTableModeID(m_currentMode) ? bytesPerRowFor(m_currentMode, m_currentDepth) : 0;
}

IOReturn QNExFramebuffer::extEnableDisplayForMode(IODisplayModeID displayMode) {
    return extEnableDisplayForModes(&displayMode, 1);
}

// Ids come from user space: an empty list or any id outside 1 to 442 is refused whole.
IOReturn QNExFramebuffer::extEnableDisplayForModes(const IODisplayModeID* modes, unsigned int count) {
    if (!modes || count == 0) {
        IOLog("QNExFramebuffer@%s: enable with an empty mode list refused\n", locationText().c_str());
        return kIOReturnBadArgument;
    }
    const IODisplayModeID* bad = std::find_if_not(modes, modes + count, isOfferedModeID);
    if (bad != modes + count) {
        IOLog("QNExFramebuffer@%s: enable with mode id %d refused: ids run from %d to %d\n",
              locationText().c_str(), *bad, kQNExFirstModeID, kQNExLastModeID);
        return kIOReturnBadArgument;
    }
    if (!m_modeList) return kIOReturnNotAttached;
    m_enabled = 1;
    queueNextVBLCheck();
    m_startupMode = static_cast<UInt32>(modes[0]);
    gProxyDisplayModeCount.store(1);
    m_modeListCount = std::min<unsigned int>(count, kQNExLastModeID);
    std::copy(modes, modes + m_modeListCount, m_modeList);
    setDisplayMode(modes[0], kDepth32);
    fireConnectInterrupt();
    return kIOReturnSuccess;
}

IOReturn QNExFramebuffer::extDisableDisplay() {
    m_enabled = 0;
    fireConnectInterrupt();
    return kIOReturnSuccess;
}

uint64_t QNExFramebuffer::current_composite_microtime() {
    clock_sec_t secs = 0;
    clock_usec_t micros = 0;
    clock_get_system_microtime(&secs, &micros);
    return uint64_t(secs) * 1'000'000 + micros;
}

} // namespace drivers
