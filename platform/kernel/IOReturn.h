// Status codes, four-character codes and the plain types the kernel stand-in and its
// drivers share with user space. Values are the ones user-space callers compare against,
// so they must never change.
#pragma once

#include <cstdint>

namespace kernel {

using IOReturn = int32_t;
using kern_return_t = int32_t;

constexpr IOReturn kIOReturnSuccess = 0;
constexpr IOReturn kIOReturnError = static_cast<IOReturn>(0xE00002BC);
constexpr IOReturn kIOReturnNoMemory = static_cast<IOReturn>(0xE00002BD);
constexpr IOReturn kIOReturnNoResources = static_cast<IOReturn>(0xE00002BE);
constexpr IOReturn kIOReturnIPCError = static_cast<IOReturn>(0xE00002BF);
constexpr IOReturn kIOReturnBadArgument = static_cast<IOReturn>(0xE00002C2);
constexpr IOReturn kIOReturnExclusiveAccess = static_cast<IOReturn>(0xE00002C5);
constexpr IOReturn kIOReturnUnsupported = static_cast<IOReturn>(0xE00002C7);
constexpr IOReturn kIOReturnNotOpen = static_cast<IOReturn>(0xE00002CD);
constexpr IOReturn kIOReturnOffline = static_cast<IOReturn>(0xE00002D7);
constexpr IOReturn kIOReturnNotAttached = static_cast<IOReturn>(0xE00002D9);
constexpr IOReturn kIOReturnNoInterrupt = static_cast<IOReturn>(0xE00002DF);
constexpr IOReturn kIOReturnNotFound = static_cast<IOReturn>(0xE00002F0);

constexpr kern_return_t KERN_SUCCESS = 0;
constexpr kern_return_t KERN_FAILURE = 5;

// The name of a status for log lines ("kIOReturnBadArgument"); hex text for others.
const char* IOReturnName(IOReturn status);

using IOSelect = uint32_t;
using IOIndex = int32_t;
using IODisplayModeID = int32_t;
using IOPixelAperture = int32_t;
using IOFixed1616 = uint32_t;
using IOItemCount = uint32_t;
using IOOptionBits = uint32_t;
using IOByteCount = uint64_t;
using UInt8 = uint8_t;
using UInt16 = uint16_t;
using UInt32 = uint32_t;
using UInt64 = uint64_t;
using SInt32 = int32_t;

// A four-character code with its first character in the most significant byte.
constexpr uint32_t fourCharCode(const char (&code)[5]) {
    return (uint32_t(uint8_t(code[0])) << 24) | (uint32_t(uint8_t(code[1])) << 16) |
           (uint32_t(uint8_t(code[2])) << 8) | uint32_t(uint8_t(code[3]));
}

constexpr IOSelect kIOFBVBLInterruptType = fourCharCode("vbl ");
constexpr IOSelect kIOFBConnectInterruptType = fourCharCode("dci ");
constexpr IOSelect kIOPowerAttribute = fourCharCode("powr");
constexpr IOSelect kIOCapturedAttribute = fourCharCode("capd");
constexpr IOSelect kIOHardwareCursorAttribute = fourCharCode("crsr");
constexpr IOSelect kConnectionProbe = fourCharCode("prob");
constexpr IOSelect kConnectionSupportsHLDDCSense = fourCharCode("hddc");
constexpr IOSelect kConnectionEnable = fourCharCode("enab");

// Framebuffer notifications (deliverFramebufferNotification).
constexpr IOIndex kIOFBNotifyDisplayModeWillChange = 1;
constexpr IOIndex kIOFBNotifyDisplayModeDidChange = 2;
constexpr IOIndex kIOFBNotifyDidPowerOff = 5;
constexpr IOIndex kIOFBNotifyWillPowerOn = 6;
constexpr IOIndex kIOFBNotifyWillPowerOff = 7;
constexpr IOIndex kIOFBNotifyDidPowerOn = 8;

constexpr uint32_t kIOUCVariableStructureSize = 0xFFFFFFFF;
constexpr uint32_t kIOPMDeviceUsable = 0x8000;
constexpr uint32_t kIOPMPowerOn = 2;

// Limits of one scalar call. The input limit is far above the historic 16 because one
// call may carry one mode id per display mode (443 and more must pass).
constexpr uint32_t kIOMaxScalarInputCount = 1024;
constexpr uint32_t kIOMaxScalarOutputCount = 16;

// Connection types.
constexpr uint32_t kIOGraphicsControlConnectType = 0;
constexpr uint32_t kIOHIDParamConnectType = 1;

} // namespace kernel
