// Display configuration: transactions of modes and mirroring, and the reconfiguration
// callbacks every transaction delivers.
//
// Changes gather in the process and go to the window server at completion, all or nothing:
// an unknown display, a mode of another display or an unknown master answers
// kCGErrorIllegalArgument and changes nothing. Completion returns once every query answers the
// new state, before any callback runs. A configuration is spent by completion or
// cancellation; a spent or unknown one answers kCGErrorIllegalArgument.
//
// Every transaction (probe, configuration, app-only revert) calls each registered callback
// twice per display: pass 1 with kCGDisplayBeginConfigurationFlag before the change, pass 2
// with the change's flags after it. Callbacks run on the main run loop, in every mode, in
// order; being asynchronous, pass 1 may already see the new state.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/coregraphics/CGDirectDisplay.h"

namespace cg {

struct CGDisplayConfigRecord; // opaque
using CGDisplayConfigRef = CGDisplayConfigRecord*;

using CGConfigureOption = uint32_t;
// Reverted when the process disconnects (to what each display had before its first app-only
// change), unless a later change superseded it.
inline constexpr CGConfigureOption kCGConfigureForAppOnly = 0;
inline constexpr CGConfigureOption kCGConfigureForSession = 1;
inline constexpr CGConfigureOption kCGConfigurePermanently = 2;

CGError CGBeginDisplayConfiguration(CGDisplayConfigRef* config);
// options is reserved (null).
CGError CGConfigureDisplayWithDisplayMode(CGDisplayConfigRef config, CGDirectDisplayID display,
                                          const CGDisplayModeRef& mode, const cf::Value* options);
// display mirrors master; with kCGNullDirectDisplay it dissolves every mirror set containing
// display, master or mirror. A display mirroring itself is kCGErrorIllegalArgument.
CGError CGConfigureDisplayMirrorOfDisplay(CGDisplayConfigRef config, CGDirectDisplayID display,
                                          CGDirectDisplayID master);
CGError CGCancelDisplayConfiguration(CGDisplayConfigRef config);
CGError CGCompleteDisplayConfiguration(CGDisplayConfigRef config, CGConfigureOption option);

// The display's mode nearest to width × height pixels at bitsPerPixel: a 1x mode of exactly
// that size when the display has one (*exactMatch true, as every mode here has 32 bits a
// pixel), else the 1x mode whose sides differ least from those asked. exactMatch may be null.
// Null for an unknown display or one without 1x modes.
CGDisplayModeRef CGDisplayBestModeForParameters(CGDirectDisplayID display, size_t bitsPerPixel, size_t width,
                                                size_t height, bool* exactMatch);
// Switches the display to one of its modes for as long as the calling process runs (reverted
// when it disconnects, like an app-only configuration).
CGError CGDisplaySwitchToMode(CGDirectDisplayID display, const CGDisplayModeRef& mode);
using CGDisplayChangeSummaryFlags = uint32_t;
inline constexpr CGDisplayChangeSummaryFlags kCGDisplayBeginConfigurationFlag = 0x1;
inline constexpr CGDisplayChangeSummaryFlags kCGDisplayMovedFlag = 0x2;
inline constexpr CGDisplayChangeSummaryFlags kCGDisplaySetMainFlag = 0x4;
inline constexpr CGDisplayChangeSummaryFlags kCGDisplaySetModeFlag = 0x8;
inline constexpr CGDisplayChangeSummaryFlags kCGDisplayAddFlag = 0x10;
inline constexpr CGDisplayChangeSummaryFlags kCGDisplayRemoveFlag = 0x20;
inline constexpr CGDisplayChangeSummaryFlags kCGDisplayEnabledFlag = 0x100;
inline constexpr CGDisplayChangeSummaryFlags kCGDisplayDisabledFlag = 0x200;
inline constexpr CGDisplayChangeSummaryFlags kCGDisplayMirrorFlag = 0x400;
inline constexpr CGDisplayChangeSummaryFlags kCGDisplayUnMirrorFlag = 0x800;
inline constexpr CGDisplayChangeSummaryFlags kCGDisplayDesktopShapeChangedFlag = 0x1000;

using CGDisplayReconfigurationCallBack = void (*)(CGDirectDisplayID display,
                                                  CGDisplayChangeSummaryFlags flags, void* userInfo);
// Both answer kCGErrorSuccess; a (callback, userInfo) pair is held once. Safe from any thread
// and inside a callback (a removed pair gets no further call).
CGError CGDisplayRegisterReconfigurationCallback(CGDisplayReconfigurationCallBack callback, void* userInfo);
CGError CGDisplayRemoveReconfigurationCallback(CGDisplayReconfigurationCallBack callback, void* userInfo);

} // namespace cg
