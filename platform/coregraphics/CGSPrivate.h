// The window server's private calls ("CGS…"): the process's connection id, display lists and
// mode descriptions as the display code reads them, display aliases, the global cursor, and
// the window registry AppKit and test applications write.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/coregraphics/CGError.h"
#include "platform/coregraphics/CGGeometry.h"
#include "platform/coregraphics/SystemCursors.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace cg {

// This process's connection id (NSApp contextID): non-zero, never reused; 0 when no window
// server can be reached.
CGSConnectionID CGSMainConnectionID();

// ---- Displays.
CGError CGSGetActiveDisplayList(uint32_t maxDisplays, CGDirectDisplayID* displays, uint32_t* displayCount);
CGError CGSGetOnlineDisplayList(uint32_t maxDisplays, CGDirectDisplayID* displays, uint32_t* displayCount);
uint32_t CGSGetNumberOfDisplays();
// kCGErrorIllegalArgument for an unknown display or a null bounds.
CGError CGSGetDisplayBounds(CGDirectDisplayID display, CGRect* bounds);
// Changes on every add, remove, move, mode and mirroring change.
uint32_t CGSDisplayMappingChangedSeed();
// Our own call, read off the window server's shared page without a request: it moves after every
// cursor state (location, visibility, image, layout) the window server gives the framebuffers, so
// a driver's cursor answer stays good while it stands still. 0 when it cannot be read: nothing is
// known then.
uint64_t CGSCursorStateSeed();

// Modes by list number (0-based). The description is 212 bytes of little-endian fields:
// 0 number, 4 flags, 8/12 width/height (points), 20 bytes per row, 24/28/32 bits per pixel,
// per sample, samples per pixel, 40/44 resolution h/v (72 × scale), 188 refresh (16.16),
// 192 I/O flags, 196 I/O Kit mode id, 200/204 pixels wide/high, 208 resolution (float);
// every other byte 0. min(length, 212) bytes are written; a length outside 0–212, an unknown
// display or number gives kCGErrorIllegalArgument and writes nothing.
inline constexpr int32_t kCGSDisplayModeDescriptionLength = 212;
CGError CGSGetNumberOfDisplayModes(CGDirectDisplayID display, int32_t* count);
CGError CGSGetCurrentDisplayMode(CGDirectDisplayID display, int32_t* modeNumber);
CGError CGSGetDisplayModeDescriptionOfLength(CGDirectDisplayID display, int32_t modeNumber, void* description,
                                             int32_t length);

// The display itself, then the main display's further aliases 0x80000000 + k (profile
// DisplayAliases); other displays have one.
CGError CGSGetDisplayAliasList(CGDirectDisplayID display, uint32_t maxDisplays, CGDirectDisplayID* aliases,
                               uint32_t* aliasCount);

// ---- The global cursor.
// rowBytes × height of the current image; kCGErrorIllegalArgument for an unknown cid.
CGError CGSGetGlobalCursorDataSize(CGSConnectionID cid, int32_t* size);
// Pixels B, G, R, A premultiplied, rowBytes = 4 × width rounded up to 16; rect = (location −
// hot spot, image size) in CG global points; depth 32, 4 components of 8 bits. On entry *size
// is the buffer's capacity: a short one answers kCGErrorRangeCheck with *size set to the need.
CGError CGSGetGlobalCursorData(CGSConnectionID cid, void* data, int32_t* size, int32_t* rowBytes,
                               CGRect* rect, CGPoint* hotSpot, int32_t* depth, int32_t* components,
                               int32_t* bitsPerComponent);
uint32_t CGSCurrentCursorSeed();
CGPoint CGSCurrentInputPointerPosition(); // CG global
// Makes image the system cursor (NSCursor set); the seed changes.
CGError CGSSetSystemCursorImage(CGSConnectionID cid, const CGSCursorImage& image);
CGError CGSSetSystemCursor(CGSConnectionID cid, CGSSystemCursor cursor);

// ---- The window registry (what AppKit registers for each window; test applications too).
struct CGSWindowRecord {
    int32_t ownerPID = 0; // 0: this process; a fake application's pid when it owns the window
    std::string title;    // up to 1024 bytes
    int32_t level = 0;
    CGRect frame; // CG global points
    double alpha = 1.0;
    bool onScreen = false;
    bool ignoresMouse = false;
    bool nonActivating = false; // a click on it leaves the active application alone
};
// A window's backing store as its owner maps it: BGRA premultiplied rows (32-bit little-endian,
// alpha first), frame times scale pixels, shared with the window server, which shows what is
// flushed (CGSFlushWindow).
struct CGSWindowStore {
    uint8_t* bytes = nullptr;
    size_t width = 0;
    size_t height = 0;
    size_t bytesPerRow = 0;
    double scale = 1.0;
    size_t length = 0;
    CGSWindowStore() = default;
    CGSWindowStore(const CGSWindowStore&) = delete;
    CGSWindowStore& operator=(const CGSWindowStore&) = delete;
    ~CGSWindowStore();
};
using CGSWindowStoreRef = std::shared_ptr<CGSWindowStore>;

// The new window's number (non-zero, never reused), or kCGNullWindowID when refused. With store,
// its backing store (null for a zero-size window or one over 16384 pixels a side).
CGWindowID CGSNewWindow(const CGSWindowRecord& record, CGSWindowStoreRef* store = nullptr);
// The owner (or the test hook) changes its window; the frame moves it (damage). When the
// window's pixel size changed, store (if given) gets its new backing store (else is untouched).
CGError CGSSetWindowFrame(CGWindowID window, CGRect frame, CGSWindowStoreRef* store = nullptr,
                          bool* storeReplaced = nullptr);
CGError CGSSetWindowLevel(CGWindowID window, int32_t level);
CGError CGSSetWindowAlpha(CGWindowID window, double alpha);
CGError CGSSetWindowIgnoresMouse(CGWindowID window, bool ignoresMouse);
// The rectangles (window-local points, top-left origin) of the backing store become the
// window's picture; answered once the window server has them.
CGError CGSFlushWindow(CGWindowID window, const std::vector<CGRect>& rects);
// Mouse events for this process's windows, and the pointer leaving one, as the window server
// pushes them ({kind "mouse", type, window, x, y (window base), flags} or {kind "pointer-left",
// window}), on a thread that runs no user code; null stops them.
void CGSSetWindowEventHandler(std::function<void(const cf::Value& body)> handler);
CGError CGSSetWindowTitle(CGWindowID window, const std::string& title);
// Ordered in front of its level (onScreen) or out.
CGError CGSOrderWindow(CGWindowID window, bool onScreen);
CGError CGSReleaseWindow(CGWindowID window);

// ---- Applications: the one active application, key windows, global monitors, open alerts.
// Makes this process's application the active one (the previous one hears resign-active);
// *changed says whether it was not active already.
CGError CGSActivateApplication(bool* changed);
// The same for the application connected as pid (platformctl's ui key); kCGErrorIllegalArgument
// when no process of that pid is connected.
CGError CGSActivateApplicationOfPID(int32_t pid);
// The active application's pid; 0 when none is active or no window server answers.
int32_t CGSActiveApplicationPID();
// Where the window server sends key events while this application is active; 0: none.
CGError CGSSetKeyWindow(CGWindowID window);
// The event types (bit 1 << type: 5, 6, 7, 23, 27) this process's global monitors want.
CGError CGSSetEventMonitorMask(uint64_t mask);
// Pushes about this process's application ({kind "become-active"}, {kind "resign-active"},
// {kind "key", type, window, key, flags, characters}, {kind "monitor", type, x, y, flags,
// pressure}), on a thread that runs no user code; null stops them.
void CGSSetApplicationEventHandler(std::function<void(const cf::Value& body)> handler);
// An alert or sheet up in one of this process's windows (kind "alert" or "sheet"), and its end.
struct CGSAlertRecord {
    std::string kind = "alert";
    std::string message;
    std::string informative;
    std::vector<std::string> buttons;
    int32_t style = 0;
};
CGError CGSAlertBegan(CGWindowID window, const CGSAlertRecord& alert);
CGError CGSAlertEnded(CGWindowID window, int32_t button, int64_t code, bool suppressed);
// The alerts open in every process, in the order they began: [{pid, window, kind, message,
// informative, buttons, style}]; an empty array when no window server answers.
cf::Value CGSCopyOpenAlerts();

// ---- Test hooks the window server offers (platformctl uses them).
// Marks a CG global rectangle dirty.
CGError CGSDamageRect(CGRect rect);
CGError CGSMoveCursor(CGPoint location);

} // namespace cg
