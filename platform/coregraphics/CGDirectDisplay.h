// Displays as the window server shows them: lists, geometry, identity, modes and the cursor's
// visibility. Every call asks the window server (platformd, or the in-process one a unit test
// installs, see WindowServerTransport.h); any thread may call, none needs the main thread.
//
// Coordinates are CG global points (origin at the main display's top-left, y down), except
// CGDisplayPixelsWide/High, which answer pixels (points × backing scale). Getters answer 0,
// false or CGRectZero for unknown ids; a display that was removed keeps answering its
// identity (serial, vendor, model, service) until it comes back.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/coregraphics/CGError.h"
#include "platform/coregraphics/CGGeometry.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

namespace cg {

// Lists: every display, mirrors included; the main one first, then by ascending id (the
// profile's MainDisplayLast puts the main one last). A null displays array gives the count;
// otherwise at most maxDisplays ids are written. A null count is kCGErrorIllegalArgument.
CGError CGGetActiveDisplayList(uint32_t maxDisplays, CGDirectDisplayID* displays, uint32_t* displayCount);
CGError CGGetOnlineDisplayList(uint32_t maxDisplays, CGDirectDisplayID* displays, uint32_t* displayCount);
// Displays whose bounds meet rect (touching is not meeting), in list order. A NaN rectangle
// is kCGErrorIllegalArgument.
CGError CGGetDisplaysWithRect(CGRect rect, uint32_t maxDisplays, CGDirectDisplayID* displays,
                              uint32_t* matchingDisplayCount);
CGDirectDisplayID CGMainDisplayID();

CGRect CGDisplayBounds(CGDirectDisplayID display);
size_t CGDisplayPixelsWide(CGDirectDisplayID display); // pixels, on purpose
size_t CGDisplayPixelsHigh(CGDirectDisplayID display);

// EDID identity: virtual displays 0x99730000 | index, 0x5A8F, 0xCAFE; 0 without EDID.
uint32_t CGDisplaySerialNumber(CGDirectDisplayID display);
uint32_t CGDisplayVendorNumber(CGDirectDisplayID display);
uint32_t CGDisplayModelNumber(CGDirectDisplayID display);
uint32_t CGDisplayUnitNumber(CGDirectDisplayID display); // main 0, framebuffer i: i + 1
CGSize CGDisplayScreenSize(CGDirectDisplayID display);   // millimetres, from EDID; else zero
double CGDisplayRotation(CGDirectDisplayID display);

bool CGDisplayIsActive(CGDirectDisplayID display);
bool CGDisplayIsOnline(CGDirectDisplayID display);
bool CGDisplayIsMain(CGDirectDisplayID display);
bool CGDisplayIsBuiltin(CGDirectDisplayID display);
bool CGDisplayIsAsleep(CGDirectDisplayID display);
bool CGDisplayIsStereo(CGDirectDisplayID display);
bool CGDisplayUsesOpenGLAcceleration(CGDirectDisplayID display);

// Mirroring (see CGDisplayConfiguration.h for making and dissolving mirror sets).
CGDirectDisplayID CGDisplayMirrorsDisplay(CGDirectDisplayID display); // the master, else kCGNullDirectDisplay
CGDirectDisplayID CGDisplayPrimaryDisplay(CGDirectDisplayID display); // the master, else itself
bool CGDisplayIsInMirrorSet(CGDirectDisplayID display);
bool CGDisplayIsAlwaysInMirrorSet(CGDirectDisplayID display);
bool CGDisplayIsInHWMirrorSet(CGDirectDisplayID display);

// The display's IODisplayConnect ("display0") as a new I/O Kit handle the caller releases; for
// a removed display, its framebuffer (IODisplayCreateInfoDictionary answers for both); 0 for
// an id never seen.
uint32_t CGDisplayIOServicePort(CGDirectDisplayID display);

// The calling process's hide count; the cursor shows when no process hides it.
CGError CGDisplayHideCursor(CGDirectDisplayID display);
CGError CGDisplayShowCursor(CGDirectDisplayID display);

// ---- Display modes.

// One entry of a display's mode list. A 1x mode has points = pixels; its HiDPI twin half the
// points, the same pixels and the same I/O Kit mode id.
struct CGDisplayMode {
    CGDirectDisplayID display = 0; // the display whose list holds it
    int32_t number = 0;            // its index in that list
    uint32_t width = 0;            // points
    uint32_t height = 0;
    uint32_t pixelWidth = 0;
    uint32_t pixelHeight = 0;
    double resolution = 1.0; // 1.0 or 2.0: the backing scale it gives
    int32_t ioDisplayModeID = 0;
    uint32_t ioFlags = 0;
    double refreshRate = 0; // Hz
};
using CGDisplayModeRef = std::shared_ptr<const CGDisplayMode>;

// Option key of CGDisplayCopyAllDisplayModes: true (or 1) lists both modes of a twin pair;
// otherwise a 1x mode whose point size equals a listed twin's is left out.
inline constexpr char kCGDisplayShowDuplicateLowResolutionModes[] =
    "kCGDisplayShowDuplicateLowResolutionModes";

// Null for an unknown display.
CGDisplayModeRef CGDisplayCopyDisplayMode(CGDirectDisplayID display);
// Nothing for an unknown display; options may be null.
std::optional<std::vector<CGDisplayModeRef>> CGDisplayCopyAllDisplayModes(CGDirectDisplayID display,
                                                                          const cf::Value* options);
size_t CGDisplayModeGetWidth(const CGDisplayModeRef& mode);
size_t CGDisplayModeGetHeight(const CGDisplayModeRef& mode);
size_t CGDisplayModeGetPixelWidth(const CGDisplayModeRef& mode);
size_t CGDisplayModeGetPixelHeight(const CGDisplayModeRef& mode);
int32_t CGDisplayModeGetIODisplayModeID(const CGDisplayModeRef& mode);
uint32_t CGDisplayModeGetIOFlags(const CGDisplayModeRef& mode);
double CGDisplayModeGetRefreshRate(const CGDisplayModeRef& mode);

} // namespace cg
