// The local mirror windows of devices that are away: counting them, watching where they are,
// and the periodic check that brings one back from a display that is gone.
#include "server/LimnerAppDelegate.h"

#include "input/QNDesktopReflectorPanel.h"

#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSWindow.h"
#include "platform/core/Log.h"
#include "platform/foundation/NSNotificationCenter.h"

#include <algorithm>

namespace server {

namespace {

// The reflector panel behind a window, if it is one.
input::QNDesktopReflectorPanel* reflectorPanel(appkit::NSWindow* window) {
    return dynamic_cast<input::QNDesktopReflectorPanel*>(window);
}

std::shared_ptr<appkit::NSWindow> windowOf(const ns::NSNotification& notification) {
    // Windows post themselves as the object; only a window may have that identity here.
    auto app = appkit::NSApp();
    if (!app || !notification.object) return nullptr;
    for (const auto& window : app->windows())
        if (window.get() == notification.objectIdentity()) return window;
    return nullptr;
}

} // namespace

int LimnerAppDelegate::localWindowCount() const {
    auto app = appkit::NSApp();
    if (!app) return 0;
    int count = 0;
    for (const auto& window : app->windows())
        if (window && window->isVisible() && reflectorPanel(window.get())) ++count;
    return count;
}

void LimnerAppDelegate::registerNotificationsForWindow(
    const std::shared_ptr<input::QNDesktopReflectorPanel>& panel) {
    auto* window = dynamic_cast<appkit::NSWindow*>(panel.get());
    if (!window) return;
    auto self = weak_from_this().lock();
    if (!self) return;
    // Forget windows that are gone, so a new window at a reused address is watched.
    std::erase_if(m_watchedWindows, [](const WatchedWindow& watched) { return watched.window.expired(); });
    const void* identity = window;
    for (const auto& watched : m_watchedWindows)
        if (watched.identity == identity) return;
    m_watchedWindows.push_back({window->weak_from_this(), identity});
    auto& center = ns::NSNotificationCenter::defaultCenter();
    center.addObserver(self, &LimnerAppDelegate::windowDidChangeScreen,
                       appkit::NSWindowDidChangeScreenNotification, identity);
    center.addObserver(self, &LimnerAppDelegate::windowDidBecomeMain,
                       appkit::NSWindowDidBecomeMainNotification, identity);
}

void LimnerAppDelegate::windowDidChangeScreen(const ns::NSNotification& notification) {
    (void)windowOf(notification);
}

void LimnerAppDelegate::windowDidBecomeMain(const ns::NSNotification& notification) {
    auto window = windowOf(notification);
    if (!window || !reflectorPanel(window.get())) return;
    platform::log("Local client window did become main");
}

} // namespace server
