// Records and constants the framebuffer interface speaks in.
#pragma once

#include "platform/kernel/IOReturn.h"

namespace kernel {

class OSObject;

using IOFBInterruptProc = void (*)(OSObject* target, void* reference);

struct IODisplayModeInformation {
    UInt32 nominalWidth;
    UInt32 nominalHeight;
    IOFixed1616 refreshRate;
    IOIndex maxDepthIndex;
    UInt32 flags;
    UInt16 imageWidth;
    UInt16 imageHeight;
    UInt32 reserved[3];
};

constexpr int kIOMaxPixelBits = 64;
using IOPixelEncoding = char[kIOMaxPixelBits];

struct IOPixelInformation {
    UInt32 bytesPerRow;
    UInt32 bytesPerPlane;
    UInt32 bitsPerPixel;
    UInt32 pixelType;
    UInt32 componentCount;
    UInt32 bitsPerComponent;
    UInt32 componentMasks[8 * 2];
    IOPixelEncoding pixelFormat;
    UInt32 flags;
    UInt32 activeWidth;
    UInt32 activeHeight;
    UInt32 reserved[2];
};

struct IOTimingInformation {
    UInt32 appleTimingID;
    UInt32 flags;
};

struct IOColorEntry {
    UInt16 index;
    UInt16 red;
    UInt16 green;
    UInt16 blue;
};

constexpr UInt32 kIORGBDirectPixels = 2;

// Display mode flags.
constexpr UInt32 kDisplayModeValidFlag = 0x00000001;
constexpr UInt32 kDisplayModeSafeFlag = 0x00000002;
constexpr UInt32 kDisplayModeDefaultFlag = 0x00000004;
constexpr UInt32 kDisplayModeNeverShowFlag = 0x00000080;
constexpr UInt32 kDisplayModeValidForHiResFlag = 0x00800000;

// Interrupt states for setInterruptState.
constexpr UInt32 kDisabledInterruptState = 0;
constexpr UInt32 kEnabledInterruptState = 1;

} // namespace kernel
