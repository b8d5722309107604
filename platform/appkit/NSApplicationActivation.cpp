// Activation as platformd's window server holds it, the window server's key events for this
// application, and global monitors' copies of pointer events.
#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSEvent.h"
#include "platform/appkit/NSWindow.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGDirectDisplay.h"
#include "platform/coregraphics/CGSPrivate.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/NSNotificationCenter.h"

#include <cmath>
#include <mutex>
#include <utility>

namespace appkit {

struct NSEventMonitorRecord {
    NSEventMask mask = 0;
    std::function<void(const NSEvent&)> handler;
};

namespace {

constexpr NSEventMask kMonitorableMask = NSEventMaskMouseMoved | NSEventMaskLeftMouseDragged |
                                         NSEventMaskRightMouseDragged | NSEventMaskTabletPoint |
                                         NSEventMaskOtherMouseDragged;

// Main thread only.
std::vector<NSEventMonitor>& monitors() {
    static auto* list = new std::vector<NSEventMonitor>();
    return *list;
}

void tellMonitorMask() {
    NSEventMask mask = 0;
    for (auto& monitor : monitors())
        mask |= monitor->mask;
    if (cg::CGSSetEventMonitorMask(mask) != cg::kCGErrorSuccess)
        platform::log("appkit: the window server did not take the global monitors' mask");
}

std::optional<int64_t> integerAt(const cf::Value& body, std::string_view key) {
    const cf::Value* v = body.find(key);
    return v ? v->storedInteger() : std::nullopt;
}

std::optional<double> finiteAt(const cf::Value& body, std::string_view key) {
    const cf::Value* v = body.find(key);
    if (!v || !v->isNumber() || !std::isfinite(v->doubleValue())) return std::nullopt;
    return v->doubleValue();
}

void deliverKey(const cf::Value& body) {
    auto type = integerAt(body, "type");
    auto window = integerAt(body, "window");
    auto key = integerAt(body, "key");
    auto flags = integerAt(body, "flags");
    const cf::Value* characters = body.find("characters");
    if (!type || (*type != 10 && *type != 11) || !window || *window < 0 || *window > int64_t(UINT32_MAX) ||
        !key || *key < 0 || *key > 0xFFFF || !flags || *flags < 0 || !characters || !characters->asString()) {
        platform::log("appkit: refusing a malformed key event");
        return;
    }
    const cf::Value* unmodified = body.find("charactersIgnoringModifiers");
    std::optional<std::string> ignoringModifiers;
    if (unmodified && unmodified->asString()) ignoringModifiers = *unmodified->asString();
    NSApp()->sendEvent(NSEvent::keyEvent(NSEventType(*type), cg::CGPointZero, uint64_t(*flags), 0,
                                         uint32_t(*window), *characters->asString(), uint16_t(*key),
                                         std::move(ignoringModifiers)));
}

void deliverMonitorCopy(const cf::Value& body) {
    auto type = integerAt(body, "type");
    auto x = finiteAt(body, "x");
    auto y = finiteAt(body, "y");
    auto flags = integerAt(body, "flags");
    auto pressure = finiteAt(body, "pressure");
    if (!type || *type < 0 || *type > 63 || !(kMonitorableMask & (1ull << *type)) || !x || !y || !flags ||
        *flags < 0 || !pressure) {
        platform::log("appkit: refusing a malformed global monitor event");
        return;
    }
    const double mainHeight = cg::CGDisplayBounds(cg::CGMainDisplayID()).size.height;
    NSEvent event = NSEvent::mouseEvent(NSEventType(*type), cg::CGPointMake(*x, mainHeight - *y),
                                        uint64_t(*flags), 0, 0, 0, *pressure);
    auto list = monitors(); // a handler may remove monitors
    for (auto& monitor : list)
        if ((monitor->mask & (1ull << *type)) && monitor->handler) monitor->handler(event);
}

// A push about the application, on the main run loop (every mode).
void deliverApplicationEvent(const cf::Value& body) {
    const cf::Value* kind = body.find("kind");
    const std::string* name = kind ? kind->asString() : nullptr;
    if (!name) return;
    if (*name == "become-active") return NSApp()->becomeActive();
    if (*name == "resign-active") return NSApp()->resignActive();
    if (*name == "key") return deliverKey(body);
    if (*name == "monitor") return deliverMonitorCopy(body);
}

} // namespace

void listenForApplicationEvents() {
    static std::once_flag once;
    std::call_once(once, [] {
        cg::CGSSetApplicationEventHandler([](const cf::Value& body) {
            dispatch::RunLoop::main()->perform({std::string(dispatch::kCommonRunLoopModes)},
                                               [body] { deliverApplicationEvent(body); });
        });
    });
}

// The window server answers at once and pushes become-active behind any resign-active it sent
// earlier, so this application's state follows the pushes in order; without a window server
// the application activates itself.
void NSApplication::activateIgnoringOtherApps(bool flag) {
    (void)flag; // there is no other application's wish to respect
    listenForApplicationEvents();
    bool changed = false;
    if (cg::CGSActivateApplication(&changed) != cg::kCGErrorSuccess) {
        platform::log("appkit: no window server to activate through; active on its own");
        becomeActive();
    }
}

void NSApplication::becomeActive() {
    if (m_active.exchange(true)) return;
    // What deactivation hid comes back.
    auto hidden = std::exchange(m_hiddenOnDeactivate, {});
    for (auto& weak : hidden)
        if (auto window = weak.lock()) window->orderFront();
    auto self = shared_from_this();
    ns::NSNotification note{NSApplicationDidBecomeActiveNotification, self, std::nullopt};
    if (auto d = delegate()) d->applicationDidBecomeActive(note);
    ns::NSNotificationCenter::defaultCenter().postNotification(note);
}

void NSApplication::resignActive() {
    if (!m_active.exchange(false)) return;
    for (auto& window : windows()) {
        auto panel = std::dynamic_pointer_cast<NSPanel>(window);
        if (!panel || !panel->hidesOnDeactivate() || !panel->isVisible()) continue;
        m_hiddenOnDeactivate.push_back(window);
        window->orderOut();
    }
    auto self = shared_from_this();
    ns::NSNotification note{NSApplicationDidResignActiveNotification, self, std::nullopt};
    if (auto d = delegate()) d->applicationDidResignActive(note);
    ns::NSNotificationCenter::defaultCenter().postNotification(note);
}

NSEventMonitor NSEvent::addGlobalMonitorForEventsMatchingMask(NSEventMask mask,
                                                              std::function<void(const NSEvent&)> handler) {
    if (!(mask & kMonitorableMask) || !handler) {
        platform::log("appkit: a global monitor needs a handler and a mask of pointer events");
        return nullptr;
    }
    listenForApplicationEvents();
    auto monitor = std::make_shared<NSEventMonitorRecord>();
    monitor->mask = mask & kMonitorableMask;
    monitor->handler = std::move(handler);
    monitors().push_back(monitor);
    tellMonitorMask();
    return monitor;
}

void NSEvent::removeMonitor(const NSEventMonitor& monitor) {
    if (!monitor || std::erase(monitors(), monitor) == 0) return;
    tellMonitorMask();
}

} // namespace appkit
