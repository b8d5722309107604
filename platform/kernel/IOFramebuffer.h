// The framebuffer base class: what the window server calls on every display controller.
// Every call from the window server runs under the framebuffer's gate (IOGateLock), and
// interrupt handlers fire synchronously inside it, so handlers only queue work.
#pragma once

#include "platform/kernel/IOGraphicsDevice.h"
#include "platform/kernel/IOGraphicsTypes.h"

#include <deque>
#include <utility>
#include <vector>

namespace kernel {

class IODeviceMemory;

class IOFramebuffer : public IOGraphicsDevice {
    OSDeclareDefaultStructors(IOFramebuffer);

  public:
    using super = IOGraphicsDevice;
    using IOService::close;
    using IOService::open;

    bool start(IOService* provider) override;
    void stop(IOService* provider) override;

    // The window server's open: the first call runs enableController(); its failure is
    // returned and the framebuffer stays closed.
    virtual IOReturn open();
    virtual IOReturn close();
    bool isWindowServerOpen() const { return m_windowServerOpen; }
    virtual IOReturn enableController();

    // Recorded and handed to the window server's listener. Only the latest
    // kMaxRecordedNotifications are kept: a client that changes modes without end must not
    // grow the record without end.
    static constexpr size_t kMaxRecordedNotifications = 256;
    IOReturn deliverFramebufferNotification(IOIndex event, void* info = nullptr);
    std::vector<std::pair<IOIndex, void*>> deliveredNotifications() const;

    virtual IOReturn setAttribute(IOSelect attribute, uintptr_t value);
    virtual IOReturn getAttribute(IOSelect attribute, uintptr_t* value);
    virtual IOItemCount getConnectionCount();
    virtual IOReturn setAttributeForConnection(IOIndex connectIndex, IOSelect attribute, uintptr_t value);
    virtual IOReturn getAttributeForConnection(IOIndex connectIndex, IOSelect attribute, uintptr_t* value);

    virtual IOReturn registerForInterruptType(IOSelect interruptType, IOFBInterruptProc proc,
                                              OSObject* target, void* reference, void** interruptRef);
    // A null reference succeeds and does nothing.
    virtual IOReturn unregisterInterrupt(void* interruptRef);
    virtual IOReturn setInterruptState(void* interruptRef, UInt32 state);

    virtual const char* getPixelFormats();
    virtual IOItemCount getDisplayModeCount();
    virtual IOReturn getDisplayModes(IODisplayModeID* allDisplayModes);
    virtual IOReturn getInformationForDisplayMode(IODisplayModeID displayMode,
                                                  IODisplayModeInformation* info);
    virtual UInt64 getPixelFormatsForDisplayMode(IODisplayModeID displayMode, IOIndex depth);
    virtual IOReturn getPixelInformation(IODisplayModeID displayMode, IOIndex depth, IOPixelAperture aperture,
                                         IOPixelInformation* pixelInfo);
    virtual IOReturn getCurrentDisplayMode(IODisplayModeID* displayMode, IOIndex* depth);
    virtual IOReturn setDisplayMode(IODisplayModeID displayMode, IOIndex depth);
    virtual IOReturn getStartupDisplayMode(IODisplayModeID* displayMode, IOIndex* depth);
    virtual IOReturn setStartupDisplayMode(IODisplayModeID displayMode, IOIndex depth);
    virtual IOReturn getTimingInfoForDisplayMode(IODisplayModeID displayMode, IOTimingInformation* info);
    // Retained for the caller, or null.
    virtual IODeviceMemory* getApertureRange(IOPixelAperture aperture);
    virtual IODeviceMemory* getVRAMRange();

    virtual IOReturn setCLUTWithEntries(IOColorEntry* colors, UInt32 index, UInt32 numEntries,
                                        IOOptionBits options);
    virtual IOReturn setGammaTable(UInt32 channelCount, UInt32 dataCount, UInt32 dataWidth, void* data);
    virtual bool isConsoleDevice();
    virtual bool hasDDCConnect(IOIndex connectIndex);
    virtual IOReturn getDDCBlock(IOIndex connectIndex, UInt32 blockNumber, IOSelect blockType,
                                 IOOptionBits options, UInt8* data, IOByteCount* length);
    virtual IOReturn setCursorImage(void* cursorImage);
    virtual IOReturn setCursorState(SInt32 x, SInt32 y, bool visible);

    // Set exactly while the window server has the framebuffer open, holds its 'vbl '
    // registration and shows the display; a driver delivers vertical blanks only then.
    bool vblStateBit() const { return m_vblStateBit; }
    void setVBLStateBit(bool on) { m_vblStateBit = on; }

  private:
    bool m_windowServerOpen = false;
    bool m_controllerEnabled = false;
    bool m_vblStateBit = false;
    std::deque<std::pair<IOIndex, void*>> m_notifications;
};

} // namespace kernel
