// Every request the window server answers over platformd's socket, the events it pushes and
// the event-log kinds it records, in one place. The Core Graphics and accessibility facades
// and platformd's dispatch name requests through these constants. Requests answer the
// facade's error code in "status" (a CGError, or an AXError for "ax." requests) where the
// call can fail; a malformed request is refused (logged) and changes nothing.
#pragma once

#include "platform/ipc/Protocol.h"

#include <string_view>

namespace windowserver {

namespace op {
// The online displays, main first: {displays [DisplayInfo dictionaries]}.
constexpr std::string_view displays = "windowserver.displays";
// The caller's connection id.
constexpr std::string_view connect = "ws.connect";
// Ids in list order (online: the same list; mirrors included).
constexpr std::string_view displayList = "ws.displayList";
// One display's record, or no "display" for an unknown id (removed ones keep identity).
constexpr std::string_view display = "ws.display";
constexpr std::string_view seed = "ws.seed";
// The page the seed is published on, as one memfd opened read-only beside an empty reply, so
// that a process reads the seed without asking (platform/coregraphics/MappingSeedPage.h).
constexpr std::string_view seedPage = "ws.seedPage";
// A display's mode list (mode dictionaries) and the current mode's number.
constexpr std::string_view modes = "ws.modes";
constexpr std::string_view aliases = "ws.aliases";
// One transaction: {option, modes [{display, modeDisplay, ioMode, resolution, width, height}],
// mirrors [{display, master}]}.
constexpr std::string_view configure = "ws.configure";
// {reconfiguration?, refresh?}: whether this process hears reconfiguration passes and
// refresh pushes.
constexpr std::string_view subscribe = "ws.subscribe";
// The refresh push was handled: the next one may go.
constexpr std::string_view refreshAcknowledge = "ws.refreshAck";
constexpr std::string_view damage = "ws.damage";
// Test windows of the caller: {name, layer, display | x y width height, pattern ("solid",
// "blocks", "photo", "pixels"), value, pixels (premultiplied BGRA at the display's scale)};
// erase {name?}; move {name x y}. With hook true the windows are the hooks' (platformctl's),
// kept past the caller's connection until a hook erases them.
constexpr std::string_view draw = "ws.draw";
constexpr std::string_view erase = "ws.erase";
constexpr std::string_view move = "ws.move";
// {display}: {status, vblanks?, compositions?, grabs?, streamFrames?, streamSkipped?, composedAt?}.
constexpr std::string_view counters = "ws.counters";
// {display, x? y? width? height? (display-local points)}: {status, width?, height?,
// bytesPerRow?} and the pixels as one sealed memfd (B, G, R, X).
constexpr std::string_view displayImage = "ws.displayImage";
// Display streams: create {display, width, height, format, minimumFrameTime?, queueDepth?,
// showCursor?} answers {status, stream?, width?, height?, bytesPerRow?} and the pool's surfaces
// as memfds; start and stop {stream}: {status}. Frames are pushed (push::stream).
constexpr std::string_view streamCreate = "ws.streamCreate";
constexpr std::string_view streamStart = "ws.streamStart";
constexpr std::string_view streamStop = "ws.streamStop";
// {on}: pool surfaces given back are overwritten with a poison pattern.
constexpr std::string_view poison = "ws.poison";
// {display}: {status, bytesPerRow?, length?, offset?, generation?} and the memfd holding the
// display's composed pixels, to be mapped read-only; with a generation, a second memfd: the
// composition sequence page (CompositionSequence.h), the display's target being at that generation.
constexpr std::string_view framebuffer = "ws.framebuffer";
// Cursor: state {seed, x, y}; data for a cid; image (a system cursor or pixels); moves and
// the hide count (per process, or the hooks').
constexpr std::string_view cursorState = "ws.cursor";
constexpr std::string_view cursorData = "ws.cursorData";
constexpr std::string_view cursorImage = "ws.cursorImage";
constexpr std::string_view cursorMove = "ws.cursorMove";
constexpr std::string_view cursorHide = "ws.cursorHide";
// Windows. A new window's answer, and a frame change's when the window's pixel size changed
// (frame times its screen's scale), carry its backing store: {storeWidth, storeHeight,
// storeBytesPerRow, storeScale} and one memfd of BGRA premultiplied rows, zero-filled, sealed
// against resizing. A window whose store would be over 16384 pixels a side has none: it stays
// listed, undrawn.
constexpr std::string_view newWindow = "ws.newWindow";
constexpr std::string_view setWindow = "ws.setWindow";
// {window, rects [[x, y, width, height]...] (window-local points, top-left origin)}: the
// rectangles of the store reach the window server's copy and are composed. {status}.
constexpr std::string_view flushWindow = "ws.flushWindow";
// {window, x? y? width? height? (global points; none: the window's bounds), nominal?}: the
// window's pixels as last flushed, {status, width?, height?, bytesPerRow?} and one sealed memfd
// (B, G, R, A premultiplied); nominal gives one pixel per point.
constexpr std::string_view windowImage = "ws.windowImage";
constexpr std::string_view releaseWindow = "ws.releaseWindow";
constexpr std::string_view windowList = "ws.windowList";
constexpr std::string_view windowDescriptions = "ws.windowDescriptions";
// Applications. activate {pid?}: the caller's application (or the one connected as pid) becomes
// the active one, {status, changed}; activeApplication {}: {pid} (0: none). setKeyWindow {window} (0: none): the
// caller's key window, where key events go while it is active. setEventMonitor {mask}: the
// event types (bit 1 << type) its global monitors want. Alerts and sheets: begin {window, kind
// ("alert", "sheet"), message, informative, buttons [titles], style}, end {window, button
// (index, -1 none), code, suppressed}; alerts {}: {alerts [{pid, window, kind, message,
// informative, buttons, style}]} in the order they began.
constexpr std::string_view activate = "ws.activate";
constexpr std::string_view activeApplication = "ws.activeApplication";
constexpr std::string_view setKeyWindow = "ws.setKeyWindow";
constexpr std::string_view setEventMonitor = "ws.setEventMonitor";
constexpr std::string_view alertBegin = "ws.alertBegin";
constexpr std::string_view alertEnd = "ws.alertEnd";
constexpr std::string_view alerts = "ws.alerts";
// Accessibility: the switch, fake applications, who answers for a pid, requests and answers.
constexpr std::string_view axEnabled = "ax.enabled";
constexpr std::string_view axSetEnabled = "ax.setEnabled";
constexpr std::string_view axFakeApplication = "ax.fakeApplication";
constexpr std::string_view axRespond = "ax.respond";
// A read, a setting (set, value), an action (action: attribute names it), several reads
// (attributes, up to 64) or a query (query: "names", "count", "values" with index and maximum,
// "actionDescription" with attribute the action).
constexpr std::string_view axRequest = "ax.request";
constexpr std::string_view axAnswer = "ax.answer";
} // namespace op

inline constexpr ipc::OpSignature kWindowServerOps[] = {
    {op::displays, "", "displays"},
    {op::connect, "", "cid"},
    {op::displayList, "online?", "ids"},
    {op::display, "display", "display?"},
    {op::seed, "", "seed"},
    {op::seedPage, "", ""},
    {op::modes, "display", "status modes? current?"},
    {op::aliases, "display", "status ids?"},
    {op::configure, "option modes mirrors", "status"},
    {op::subscribe, "reconfiguration? refresh?", ""},
    {op::refreshAcknowledge, "", ""},
    {op::damage, "x y width height", "status"},
    {op::cursorState, "", "seed x y"},
    {op::cursorData, "cid", "status width? height? rowBytes? x? y? hotX? hotY? pixels?"},
    {op::cursorImage, "system? width? height? hotX? hotY? pixels?", "status"},
    {op::cursorMove, "x y", "status"},
    {op::cursorHide, "hide hook?", "status"},
    {op::draw, "name? layer? hook? display? x? y? width? height? pattern value pixels?", "status window?"},
    {op::erase, "name? hook?", "status"},
    {op::move, "name hook? x y", "status"},
    {op::counters, "display",
     "status vblanks? compositions? grabs? streamFrames? streamSkipped? composedAt?"},
    {op::displayImage, "display x? y? width? height?", "status width? height? bytesPerRow?"},
    {op::streamCreate, "display width height format minimumFrameTime? queueDepth? showCursor?",
     "status stream? width? height? bytesPerRow?"},
    {op::streamStart, "stream", "status"},
    {op::streamStop, "stream", "status"},
    {op::poison, "on", "status"},
    {op::framebuffer, "display", "status bytesPerRow? length? offset? generation?"},
    {op::newWindow, "owner? title level x y width height alpha onScreen ignoresMouse nonActivating?",
     "status window? storeWidth? storeHeight? storeBytesPerRow? storeScale?"},
    {op::setWindow, "window x? y? width? height? title? onScreen? level? alpha? ignoresMouse?",
     "status storeWidth? storeHeight? storeBytesPerRow? storeScale?"},
    {op::flushWindow, "window rects", "status"},
    {op::windowImage, "window x? y? width? height? nominal?", "status width? height? bytesPerRow?"},
    {op::releaseWindow, "window", "status"},
    {op::windowList, "option window", "windows"},
    {op::windowDescriptions, "windows", "windows"},
    {op::activate, "pid?", "status changed"},
    {op::activeApplication, "", "pid"},
    {op::setKeyWindow, "window", "status"},
    {op::setEventMonitor, "mask", "status"},
    {op::alertBegin, "window kind message informative buttons style", "status"},
    {op::alertEnd, "window button code suppressed", "status"},
    {op::alerts, "", "alerts"},
    {op::axEnabled, "", "enabled"},
    {op::axSetEnabled, "enabled", ""},
    {op::axFakeApplication, "name bundleIdentifier", "status pid?"},
    {op::axRespond, "pid responding", "status"},
    {op::axRequest, "pid element attribute set? value? action? attributes? query? index? maximum?", "status value?"},
    {op::axAnswer, "request status value?", ""},
};

// Pushed to a process on topic "windowserver": {kind, ...}.
// A stream frame names at most this many dirty rectangles; more are refused.
inline constexpr size_t kMaxStreamRects = 4096;

namespace topic {
constexpr std::string_view windowServer = "windowserver";
// Display stream events, kept apart so that a process's stream frames reach its streams
// directly.
constexpr std::string_view stream = "windowserver.stream";
}
namespace push {
constexpr std::string_view reconfiguration = "reconfiguration"; // pass, changes [{display, flags}]
constexpr std::string_view refresh = "refresh";                 // rects [[x, y, w, h]...]
// stream, status, time, surface, rects [[x, y, w, h]...] (output pixels), drops
constexpr std::string_view stream = "stream";
// request, pid, element, attribute, set?, value?, action? (attribute: its name), attributes?,
// query? (with index and maximum)
constexpr std::string_view axRequest = "ax-request";
// The application became or resigned the active one: {}.
constexpr std::string_view becomeActive = "become-active";
constexpr std::string_view resignActive = "resign-active";
constexpr std::string_view key = "key"; // type, window, key, flags, characters
// A copy for global monitors: type, x, y (Core Graphics global), flags, pressure.
constexpr std::string_view monitor = "monitor";
} // namespace push

namespace eventKind {
constexpr std::string_view displayAdded = "display-added";     // id, serial, name, location, width, height
constexpr std::string_view displayRemoved = "display-removed"; // id, serial, name, location
constexpr std::string_view accessibility = "accessibility";    // pid, element, attribute (settings)
// An alert or sheet began: pid, window, kind, message, informative, buttons, style.
constexpr std::string_view alertBegin = "alert-begin";
// It ended: pid, window, button, code, suppressed.
constexpr std::string_view alertEnd = "alert-end";
} // namespace eventKind

} // namespace windowserver
