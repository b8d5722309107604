// The framebuffer of one virtual display, attached to a display nub. Nothing physical
// stands behind it: to the window server it is a controller with one connection, the mode
// table, 32-bit pixels in a memory buffer, a synthetic EDID, and hot-plug and vertical-blank
// interrupts. The screen server drives it through QNExFramebufferUC.
//
// Every entry runs under the framebuffer's gate (window server, user client, timer), so the
// fields below are plain fields.
#pragma once

#include "drivers/framebuffer/QNExDisplayModes.h"
#include "platform/kernel/IOFramebuffer.h"

namespace kernel {
class IOBufferMemoryDescriptor;
class IOMemoryDescriptor;
class IOTimerEventSource;
class IOWorkLoop;
} // namespace kernel

namespace drivers {

using namespace kernel;

class QNExFramebuffer;
class QNExFramebufferUC;

// One interrupt registration record ('vbl ' or 'dci '), kept in the framebuffer's list.
struct _VSLService {
    QNExFramebuffer* owner;
    IOSelect type;
    IOFBInterruptProc handler;
    OSObject* target;
    void* ref;
    _VSLService* next;
};

inline constexpr uint32_t kQNExFramebufferUserClientType = 0x1000;
inline constexpr IOByteCount kQNExCursorBufferSize = 65536;
inline constexpr IOOptionBits kQNExBufferOptions = 0x10003; // shared with user space, in and out
inline constexpr UInt32 kQNExOnlineTimingID = 190;
inline constexpr UInt32 kQNExOfflineTimingID = 550;
inline constexpr uint16_t kQNExDisplaySerialPrefix = 0x9973;
inline constexpr IOByteCount kQNExEDIDLength = 128;
inline constexpr uint32_t kQNExDefaultVBLPeriodUS = 16666;
inline constexpr uint32_t kQNExDefaultVBLThresholdUS = 200000;

class QNExFramebuffer : public IOFramebuffer {
    OSDeclareDefaultStructors(QNExFramebuffer);

public:
    using super = IOFramebuffer;
    using IOFramebuffer::close;
    using IOFramebuffer::open;

    bool init(OSDictionary* dictionary) override;
    bool start(IOService* provider) override;
    void stop(IOService* provider) override;
    IOReturn enableController() override;
    bool isConsoleDevice() override;

    const char* getPixelFormats() override;
    UInt64 getPixelFormatsForDisplayMode(IODisplayModeID displayMode, IOIndex depth) override;
    IOItemCount getDisplayModeCount() override;
    IOReturn getDisplayModes(IODisplayModeID* allDisplayModes) override;
    IOReturn getInformationForDisplayMode(IODisplayModeID displayMode,
                                          IODisplayModeInformation* info) override;
    IOReturn getPixelInformation(IODisplayModeID displayMode, IOIndex depth, IOPixelAperture aperture,
                                 IOPixelInformation* pixelInfo) override;
    IOReturn getCurrentDisplayMode(IODisplayModeID* displayMode, IOIndex* depth) override;
    IOReturn setDisplayMode(IODisplayModeID displayMode, IOIndex depth) override;
    IOReturn getStartupDisplayMode(IODisplayModeID* displayMode, IOIndex* depth) override;
    IOReturn setStartupDisplayMode(IODisplayModeID displayMode, IOIndex depth) override;
    IOReturn setCLUTWithEntries(IOColorEntry* colors, UInt32 index, UInt32 numEntries,
                                IOOptionBits options) override;
    IOReturn setGammaTable(UInt32 channelCount, UInt32 dataCount, UInt32 dataWidth, void* data) override;
    IOReturn getTimingInfoForDisplayMode(IODisplayModeID displayMode, IOTimingInformation* info) override;
    IODeviceMemory* getApertureRange(IOPixelAperture aperture) override;
    IODeviceMemory* getVRAMRange() override;
    IOItemCount getConnectionCount() override;
    IOReturn setAttribute(IOSelect attribute, uintptr_t value) override;
    IOReturn getAttribute(IOSelect attribute, uintptr_t* value) override;
    IOReturn setAttributeForConnection(IOIndex connectIndex, IOSelect attribute, uintptr_t value) override;
    IOReturn getAttributeForConnection(IOIndex connectIndex, IOSelect attribute, uintptr_t* value) override;
    bool hasDDCConnect(IOIndex connectIndex) override;
    IOReturn getDDCBlock(IOIndex connectIndex, UInt32 blockNumber, IOSelect blockType, IOOptionBits options,
                         UInt8* data, IOByteCount* length) override;
    IOReturn newUserClient(task_t owningTask, void* securityID, uint32_t type,
                           IOUserClient** handler) override;
    bool isOpen(const IOService* forClient = nullptr) const override;

    IOReturn registerForInterruptType(IOSelect interruptType, IOFBInterruptProc proc, OSObject* target,
                                      void* reference, void** interruptRef) override;
    IOReturn unregisterInterrupt(void* interruptRef) override;
    IOReturn setInterruptState(void* interruptRef, UInt32 state) override;
    IOReturn setCursorImage(void* cursorImage) override;
    IOReturn setCursorState(SInt32 x, SInt32 y, bool visible) override;

    // Serving the user client.
    virtual bool open(QNExFramebufferUC* client);
    virtual void close(QNExFramebufferUC* client);
    virtual IOReturn clientMemoryForType(unsigned int type, unsigned int* options,
                                         IOMemoryDescriptor** memory);
    virtual IOByteCount getApertureSize(IODisplayModeID displayMode, IOIndex depth);
    virtual IOByteCount getBytesPerRow();
    virtual IOReturn extEnableDisplayForMode(IODisplayModeID displayMode);
    virtual IOReturn extEnableDisplayForModes(const IODisplayModeID* modes, unsigned int count);
    virtual IOReturn extDisableDisplay();
    virtual IOReturn getCursorState(int* x, int* y, int* visible, int* changed);
    virtual IOReturn getCursorData(IOMemoryDescriptor* memory, int length, int* value0, int* value1,
                                   int* value2, int* value3);
    virtual IOReturn VBLNotifyInterruptClient();
    virtual IOReturn VBLSetSecondaryClock(unsigned int microseconds);
    virtual IOReturn VBLSetSecondaryClockThreshold(unsigned int microseconds);
    virtual IOReturn updateVBL();
    virtual void queueNextVBLCheck();

    uint64_t current_composite_microtime();
    static void updateVBLViaTimer(OSObject* owner, IOTimerEventSource* sender);
    IOReturn NewInterruptService(IOSelect type, _VSLService** record);
    void DoInterruptService(_VSLService* record);
    void DisposeInterruptService(_VSLService* record);

    // The user client that holds this framebuffer, set by the client's start.
    void setOpenUserClient(QNExFramebufferUC* client) { m_openUserClient = client; }

private:
    bool allocateInterruptsAndTimer();
    void releaseTimer();
    void releaseBuffers();
    void releaseInterruptsAndModeList();
    void fireConnectInterrupt() { DoInterruptService(m_connectService); }
    bool isListedRecord(const void* reference) const;
    _VSLService* recordOfType(IOSelect type) const;
    uint16_t displayNumber() const;
    // The registry location ("0" to "3"), naming this framebuffer in log lines.
    std::string locationText() const { return getLocation().value_or("?"); }
    void buildEDID(UInt8* edid) const;

    QNExFramebufferUC* m_openUserClient = nullptr;
    _VSLService* m_interruptList = nullptr;
    SInt32 m_cursorX = 0;
    SInt32 m_cursorY = 0;
    UInt8 m_cursorVisible = 0;
    UInt8 m_cursorChanged = 0;
    IOService* m_provider = nullptr;
    IOBufferMemoryDescriptor* m_vram = nullptr;
    IODisplayModeID m_currentMode = 0;
    IOIndex m_currentDepth = 0;
    UInt8 m_uncaptured = 1;
    UInt8 m_enabled = 0;
    UInt8 m_captureSeen = 0;
    UInt32 m_startupMode = kQNExPlaceholderModeID;
    void* m_cursorImage = nullptr;
    IOBufferMemoryDescriptor* m_cursorBuffer = nullptr;
    UInt16 m_cursorImageValues[4] = {};
    IODisplayModeID* m_modeList = nullptr;
    UInt32 m_modeListCount = 0;
    _VSLService* m_vblService = nullptr;
    _VSLService* m_connectService = nullptr;
    UInt8 m_vblDelivered = 0;
    IOTimerEventSource* m_timer = nullptr;
    IOWorkLoop* m_workLoop = nullptr;
    UInt64 m_vblCount = 0;
    UInt32 m_vblPeriod = kQNExDefaultVBLPeriodUS;
    UInt32 m_vblThreshold = kQNExDefaultVBLThresholdUS;
    UInt64 m_lastVBLTime = 0;
    UInt8 m_timerDriven = 0;
    UInt32 m_initialized = 0;
};

} // namespace drivers
