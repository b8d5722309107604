// Around the Mac's own displays: turning display mirroring off, telling whether the Mac has
// switchable graphics (a graphics multiplexer) and whether it is one of the models with the
// graphics-switching freeze, and switching the multiplexer through AppleGraphicsControl.
#pragma once

#include "platform/iokit/IOKitLib.h"

#include <cstdint>

namespace foundation {

// Begins a display configuration, makes the main display mirror nothing (which dissolves every
// mirror set holding it) and completes with the option; answers the completion's error (or the
// begin's, when that fails).
int32_t turnOffDisplayMirroringForSession(uint32_t configureOption);

// Whether the first online display has more than one alias; asked once per process. With no
// online display the answer is NO and nothing is cached.
bool computerHasXMuxGPUCapability();
// "MacBookPro6,1" or "MacBookPro6,2" on a system before 10.6.5.
bool computerHasXMuxGPUFreezeIssues();
void setCurrentXMuxGPU(uint32_t gpu);
void TSEForceSwitch();
void TSEUseHighPowerVideo();
void TSEUseLowPowerVideo();

// The AppleGraphicsControl service and the user client opened on it.
struct AGCConnection {
    iokit::io_service_t service = 0;
    iokit::io_connect_t connection = 0;
};
using AGCInterestCallback = void (*)(void* refcon, iokit::io_service_t service, uint32_t messageType,
                                     void* messageArgument);

bool AGCAttach(iokit::mach_port_t masterPort, AGCConnection* agc, void* notificationPort,
               AGCInterestCallback callback, void* refcon);
bool AGCOpen(const AGCConnection& agc);
bool AGCClose(const AGCConnection& agc);
bool AGCSetMuxState(const AGCConnection& agc, uint64_t a, uint64_t b, uint64_t c);
bool AGCHasFeature(const AGCConnection& agc, uint32_t feature);
bool AGCGetMuxState(const AGCConnection& agc, uint64_t a, uint64_t b, uint64_t* result);
bool AGCSetExclusive(const AGCConnection& agc, bool exclusive);

// Forgets the cached capability answer (tests).
void resetXMuxGPUCapabilityCache();

} // namespace foundation
