// The local mirror windows of devices that are away: counting them, watching where they are,
// and the periodic check that brings one back from a display that is gone.
#include "server/LimnerAppDelegate.h"

#include "input/QNDesktopReflectorPanel.h"
#include "server/ScreenServerMediator.h"

#include "platform/appkit/NSApplication.h"
#include "platform/appkit/NSScreen.h"
#include "platform/appkit/NSWindow.h"
#include "platform/core/Log.h"
#include "platform/coregraphics/CGEvent.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/NSThread.h"
#include "platform/foundation/NSTimer.h"
#include "platform/foundation/PerformSelector.h"

#include <algorithm>
#include <utility>

namespace server {

namespace {

constexpr double kClientWindowCheckInterval = 2.0;
// A moved window's top-left corner lies this far inside the screen's visible frame.
constexpr double kMoveInset = 50;
// Where the left-mouse-up before a move goes: right of the moved window's left edge, in the
// menu bar's band below the top of the main display.
constexpr double kMouseUpOffsetX = 80;
constexpr double kMouseUpY = 82;
// The mediator's class of a screen that carries the unknown-display description.
constexpr int kUnknownDisplayScreen = 3;

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
    if (auto window = windowOf(notification)) checkClientWindowCandidate(window);
}

void LimnerAppDelegate::windowDidBecomeMain(const ns::NSNotification& notification) {
    auto window = windowOf(notification);
    if (!window || !reflectorPanel(window.get())) return;
    platform::log("Local client window did become main");
    launchPeriodicClientWindowCheck();
}

// ---- The check thread -------------------------------------------------------------------------

void LimnerAppDelegate::launchPeriodicClientWindowCheck() {
    auto self = weak_from_this().lock();
    if (!self) return;
    std::shared_ptr<ns::NSThread> thread;
    {
        std::lock_guard lock(m_clientWindowLock);
        if (m_clientWindowThread) return;
        m_clientWindowCheckStopRequest = false;
        std::weak_ptr<LimnerAppDelegate> weak = self;
        thread = ns::NSThread::create([weak] {
            if (auto delegate = weak.lock())
                delegate->launchPeriodicClientWindowCheckThread();
            else
                return;
            // The loop runs without holding the delegate; its timer reaches it weakly.
            ns::NSRunLoop::currentRunLoop()->run();
        });
        m_clientWindowThread = thread;
    }
    ns::NSNotificationCenter::defaultCenter().addObserver(self,
                                                          &LimnerAppDelegate::clientWindowCheckThreadExited,
                                                          ns::NSThreadWillExitNotification, thread.get());
    thread->start();
}

void LimnerAppDelegate::launchPeriodicClientWindowCheckThread() {
    std::weak_ptr<LimnerAppDelegate> weak = weak_from_this();
    auto timer =
        ns::NSTimer::scheduledTimerWithTimeInterval(kClientWindowCheckInterval, true, [weak](ns::NSTimer& t) {
            if (auto self = weak.lock())
                self->clientWindowCheck(t);
            else
                t.invalidate();
        });
    std::lock_guard lock(m_clientWindowLock);
    m_clientWindowTimer = timer;
    m_clientWindowRunLoop = dispatch::RunLoop::current();
}

void LimnerAppDelegate::clientWindowCheckThreadExited(const ns::NSNotification& notification) {
    ns::NSNotificationCenter::defaultCenter().removeObserver(
        static_cast<const void*>(this), ns::NSThreadWillExitNotification, notification.objectIdentity());
    std::lock_guard lock(m_clientWindowLock);
    if (m_clientWindowThread.get() == notification.objectIdentity()) {
        m_clientWindowThread.reset();
        m_clientWindowTimer.reset();
        m_clientWindowRunLoop.reset();
    }
}

void LimnerAppDelegate::clientWindowCheck(ns::NSTimer&) {
    {
        // Deciding and clearing under one lock: a mirror window becoming main from here on
        // finds no thread and starts a new one instead of counting on this one.
        std::lock_guard lock(m_clientWindowLock);
        if (shouldExitWindowCheckThread()) stopClientWindowThread();
    }
    checkAllClientWindows();
}

void LimnerAppDelegate::stopClientWindowThread() {
    std::lock_guard lock(m_clientWindowLock);
    if (!m_clientWindowRunLoop || m_clientWindowRunLoop != dispatch::RunLoop::current())
        return; // only the check thread ends itself
    auto timer = std::exchange(m_clientWindowTimer, nullptr);
    m_clientWindowThread.reset();
    m_clientWindowRunLoop.reset();
    if (timer) timer->invalidate();
    ns::NSThread::exit(); // unwinds, releasing the lock
}

bool LimnerAppDelegate::shouldExitWindowCheckThread() {
    auto m = mediator();
    return !m || m->backgroundServerCount() == 0;
}

void LimnerAppDelegate::checkAllClientWindows() {
    auto app = appkit::NSApp();
    if (!app) return;
    for (const auto& window : app->windows())
        checkClientWindowCandidate(window);
}

void LimnerAppDelegate::checkClientWindowCandidate(const std::shared_ptr<appkit::NSWindow>& window) {
    if (!window || !reflectorPanel(window.get())) return;
    auto m = mediator();
    if (!m || m->isVirtualScreen(window->screen()) != kUnknownDisplayScreen) return;
    std::weak_ptr<LimnerAppDelegate> weakSelf = weak_from_this();
    std::weak_ptr<appkit::NSWindow> weakWindow = window;
    ns::performSelectorOnMainThread(
        [weakSelf, weakWindow] {
            auto self = weakSelf.lock();
            auto target = weakWindow.lock();
            if (self && target) self->menuScreenMoveForWindow(target);
        },
        false);
}

void LimnerAppDelegate::menuScreenMoveForWindow(const std::shared_ptr<appkit::NSWindow>& window) {
    auto screens = appkit::NSScreen::screens();
    if (screens.empty() || !screens.front()) return;
    moveWindow(window, screens.front());
}

void LimnerAppDelegate::moveWindow(const std::shared_ptr<appkit::NSWindow>& window,
                                   const std::shared_ptr<appkit::NSScreen>& screen) {
    if (!window || !screen) return;
    const cg::CGRect visible = screen->visibleFrame();
    const cg::CGSize size = window->frame().size;
    const double x = visible.origin.x + kMoveInset;
    const double y = visible.origin.y + visible.size.height - (size.height + kMoveInset);
    // A drag of the window in progress ends here, or the window would follow the pointer back.
    cg::CGEventPost(cg::kCGHIDEventTap,
                    cg::CGEventCreateMouseEvent(nullptr, cg::kCGEventLeftMouseUp,
                                                cg::CGPointMake(x + kMouseUpOffsetX, kMouseUpY),
                                                cg::kCGMouseButtonLeft));
    window->setFrame(cg::CGRectMake(x, y, size.width, size.height), true);
}

void LimnerAppDelegate::checkScreenLocationForWindow(const std::shared_ptr<appkit::NSWindow>& window) {
    if (!window) return;
    auto screen = window->screen();
    if (!screen) return;
    if (!cg::CGRectIntersectsRect(window->frame(), screen->visibleFrame())) moveWindow(window, screen);
}

std::shared_ptr<ns::NSThread> LimnerAppDelegate::clientWindowThread() const {
    std::lock_guard lock(m_clientWindowLock);
    return m_clientWindowThread;
}

std::shared_ptr<ns::NSTimer> LimnerAppDelegate::clientWindowTimer() const {
    std::lock_guard lock(m_clientWindowLock);
    return m_clientWindowTimer;
}

} // namespace server
