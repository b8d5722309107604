#include "input/QNBApplicationMonitor.h"

#include "foundation/ImageAdditions.h"
#include "platform/appkit/NSImage.h"
#include "platform/appkit/NSRunningApplicationIcon.h"
#include "platform/core/Clock.h"
#include "platform/coregraphics/CGWindow.h"
#include "platform/coregraphics/CGWindowImage.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/dispatch/Thread.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/services/NSWorkspace.h"

#include <algorithm>
#include <future>
#include <thread>

namespace input {

namespace {

class WorkspaceApplicationSource final : public RunningApplicationSource {
  public:
    std::vector<RunningApplicationInfo> runningApplications() override { return list(true); }
    std::vector<RunningApplicationInfo> runningApplicationsWithoutIcons() override { return list(false); }

  private:
    static std::vector<RunningApplicationInfo> list(bool withIcons) {
        std::vector<RunningApplicationInfo> out;
        for (const auto& app : ns::NSWorkspace::sharedWorkspace().runningApplications())
            out.push_back({app->processIdentifier(), app->localizedName(),
                           withIcons ? appkit::iconOfRunningApplication(*app) : nullptr});
        return out;
    }
};

struct SharedMonitors {
    std::mutex lock;
    std::shared_ptr<QNBApplicationMonitor> shared;
    std::map<const void*, std::shared_ptr<QNBApplicationMonitor>> byContext;
};

SharedMonitors& sharedMonitors() {
    static SharedMonitors* monitors = new SharedMonitors;
    return *monitors;
}

// An entry's number, 0 when absent.
double numberAt(const cf::Value& entry, const char* key, double absent = 0) {
    const cf::Value* value = entry.find(key);
    return value && (value->isNumber() || value->isBoolean()) ? value->doubleValue() : absent;
}

std::string textAt(const cf::Value& entry, const char* key) {
    const cf::Value* value = entry.find(key);
    return value && value->asString() ? *value->asString() : std::string();
}

} // namespace

std::shared_ptr<RunningApplicationSource> workspaceApplicationSource() {
    return std::make_shared<WorkspaceApplicationSource>();
}

std::shared_ptr<QNBApplicationMonitor> QNBApplicationMonitor::sharedMonitor() {
    SharedMonitors& monitors = sharedMonitors();
    std::lock_guard lock(monitors.lock);
    if (!monitors.shared) monitors.shared = std::make_shared<QNBApplicationMonitor>();
    return monitors.shared;
}

std::shared_ptr<QNBApplicationMonitor> QNBApplicationMonitor::sharedMonitorForContext(const void* context) {
    SharedMonitors& monitors = sharedMonitors();
    std::lock_guard lock(monitors.lock);
    auto it = monitors.byContext.find(context);
    return it == monitors.byContext.end() ? nullptr : it->second;
}

std::shared_ptr<QNBApplicationMonitor>
QNBApplicationMonitor::createSharedMonitorForContext(const void* context) {
    SharedMonitors& monitors = sharedMonitors();
    std::lock_guard lock(monitors.lock);
    auto& monitor = monitors.byContext[context];
    if (!monitor) monitor = std::make_shared<QNBApplicationMonitor>();
    return monitor;
}

void QNBApplicationMonitor::removeSharedMonitorForContext(const void* context) {
    SharedMonitors& monitors = sharedMonitors();
    std::lock_guard lock(monitors.lock);
    monitors.byContext.erase(context);
}

QNBApplicationMonitor::QNBApplicationMonitor() : m_source(workspaceApplicationSource()) {}

void QNBApplicationMonitor::setRunningApplicationSource(std::shared_ptr<RunningApplicationSource> source) {
    std::lock_guard lock(m_lock);
    m_source = std::move(source);
}

std::shared_ptr<RunningApplicationSource> QNBApplicationMonitor::runningApplicationSource() const {
    std::lock_guard lock(m_lock);
    return m_source;
}

void QNBApplicationMonitor::fullReset() {
    std::lock_guard lock(m_lock);
    m_lastRun = 0;
    m_appleMenu = nullptr;
    m_firstRun = true;
    m_pollComplete = false;
    m_applicationStates.clear();
    m_applicationWindows.clear();
    {
        std::lock_guard icons(m_iconLock);
        m_knownIconCache.clear();
    }
    m_discoveredApplications.clear();
}

// ---- Polling.

void QNBApplicationMonitor::poll() {
    const double now = platform::wallNow();
    {
        std::lock_guard lock(m_lock);
        if (m_lastRun != 0 && now - m_lastRun < kPollInterval) return;
    }
    std::unique_lock polling(m_pollLock, std::try_to_lock);
    if (!polling.owns_lock()) return;
    std::vector<QNBApplicationStateRef> snapshot;
    std::shared_ptr<RunningApplicationSource> source;
    bool firstRun = false;
    {
        std::lock_guard lock(m_lock);
        m_pollComplete = false;
        m_lastRun = now;
        snapshot = m_applicationStates;
        source = m_source;
        firstRun = m_firstRun;
    }
    if (source)
        for (const RunningApplicationInfo& application : source->runningApplications())
            updateApplicationState(application, snapshot);
    const std::vector<QNBApplicationStateRef> states = applicationStates();
    // The thumbnails and the menus of new applications, side by side. The menus go to
    // applications with windows, so they wait for the window list itself: otherwise a new
    // application's windows might not be listed yet, and it would never get its menus.
    // Two threads of their own, joined here, rather than a group on a concurrent queue: the
    // poll waits for both either way, and the menus half blocks on the windows half, which
    // would hold one of a shared queue's workers idle for the whole thumbnail loop.
    std::promise<void> listed;
    std::thread windows(
        [&] { updateWindowsFromAppStates(states, true, !firstRun, [&] { listed.set_value(); }); });
    std::thread menus([&] {
        listed.get_future().wait();
        std::lock_guard lock(m_lock);
        manageMenuState();
    });
    windows.join();
    menus.join();
    std::lock_guard lock(m_lock);
    m_pollComplete = true;
    m_hasNewApplicationStates = !m_discoveredApplications.empty();
}

bool QNBApplicationMonitor::hasApplicationInfoToSend() {
    std::lock_guard lock(m_lock);
    if (!m_pollComplete || !m_hasNewApplicationStates) return false;
    m_hasNewApplicationStates = false;
    return true;
}

void QNBApplicationMonitor::ackPoll() {
    {
        std::lock_guard polling(m_pollLock);
        std::lock_guard lock(m_lock);
        if (!m_hasNewApplicationStates) m_discoveredApplications.clear();
    }
    std::lock_guard lock(m_lock);
    m_firstRun = false;
}

QNBApplicationStateRef
QNBApplicationMonitor::updateApplicationState(const RunningApplicationInfo& application,
                                              const std::vector<QNBApplicationStateRef>& states) {
    const uint64_t pid = static_cast<uint64_t>(static_cast<int64_t>(application.pid));
    QNBApplicationStateRef state = applicationStateForPID(pid, states);
    if (!state) {
        {
            std::lock_guard lock(m_lock);
            m_discoveredApplications.push_back(pid);
        }
        state = std::make_shared<QNBApplicationState>();
        state->applicationID = pid;
        addApplicationState(state);
    }
    std::lock_guard lock(m_lock);
    state->name = application.localizedName;
    state->applicationID = pid;
    if (!state->icon && application.icon) {
        auto icon = application.icon->copy();
        foundation::removeRepresentationsLargerThanSize(*icon, {128, 128}, {64, 64});
        state->icon = icon;
    }
    return state;
}

void QNBApplicationMonitor::updateWindowsFromAppStates(const std::vector<QNBApplicationStateRef>& states,
                                                       bool updateThumbnails, bool inBackground,
                                                       const std::function<void()>& listed) {
    std::vector<QNBApplicationWindowRef> leftovers = applicationWindows();
    const auto list = cg::CGWindowListCopyWindowInfo(cg::kCGWindowListOptionOnScreenOnly, 0);
    uint32_t number = 0;
    for (size_t i = 0; list && i < list->count(); ++i) {
        const cf::Value& entry = *list->at(i);
        ++number; // skipped entries count too
        if (numberAt(entry, cg::kCGWindowAlpha) == 0) continue;
        if (entry.find(cg::kCGWindowIsOnscreen) && !entry.find(cg::kCGWindowIsOnscreen)->boolValue())
            continue;
        if (numberAt(entry, cg::kCGWindowLayer) != 0) continue;
        const auto owner = static_cast<int64_t>(numberAt(entry, cg::kCGWindowOwnerPID));
        const QNBApplicationStateRef state = applicationStateForPID(static_cast<uint64_t>(owner), states);
        if (!state) continue;
        std::string ownerName;
        {
            std::lock_guard lock(m_lock);
            ownerName = state->name;
        }
        const std::string title = textAt(entry, cg::kCGWindowName);
        if (ownerName == "Dock" || ownerName == "SystemUIServer") continue;
        // An untitled window of the simulator has no name at all in the list.
        if (ownerName == "iOS Simulator" && title.empty()) continue;
        const auto windowID = static_cast<uint64_t>(numberAt(entry, cg::kCGWindowNumber));
        QNBApplicationWindowRef window;
        auto known = std::find_if(leftovers.begin(), leftovers.end(),
                                  [&](const QNBApplicationWindowRef& w) { return w->windowID == windowID; });
        if (known != leftovers.end()) {
            window = (*known)->copy();
            leftovers.erase(known);
        } else if (auto live = copyWindowForWID(windowID)) {
            window = live;
        } else {
            window = std::make_shared<QNBApplicationWindow>();
            window->applicationID = static_cast<uint64_t>(owner);
            window->windowID = windowID;
        }
        window->windowName = title;
        window->refreshWithDictionary(entry);
        window->windowZOrder = number;
        updateWindowState(window, false);
    }
    {
        std::lock_guard lock(m_lock);
        std::erase_if(m_applicationWindows, [&](const QNBApplicationWindowRef& w) {
            return std::any_of(leftovers.begin(), leftovers.end(), [&](const QNBApplicationWindowRef& gone) {
                return gone->windowID == w->windowID;
            });
        });
    }
    if (listed) listed();
    if (!updateThumbnails) return;
    for (const QNBApplicationWindowRef& live : applicationWindows()) {
        QNBApplicationWindowRef window = live->copy();
        const cg::CGImageRef image = cg::CGWindowListCreateImageFromArray(
            cg::CGRectNull, {static_cast<uint32_t>(window->windowID)},
            cg::kCGWindowImageBoundsIgnoreFraming | cg::kCGWindowImageNominalResolution);
        std::string hash;
        window->thumbnail = image ? foundation::newResizedCGImage(image, kThumbnailSide, &hash) : nullptr;
        window->freshThumbnail = true;
        window->thumbnailHash = hash;
        updateWindowState(window, true);
        if (inBackground) platform::sleepFor(kThumbnailPause);
    }
}

bool QNBApplicationMonitor::updateWindowState(const QNBApplicationWindowRef& window,
                                              bool shouldReplaceThumb) {
    std::lock_guard lock(m_lock);
    auto old =
        std::find_if(m_applicationWindows.begin(), m_applicationWindows.end(),
                     [&](const QNBApplicationWindowRef& w) { return w->windowID == window->windowID; });
    if (old == m_applicationWindows.end()) {
        m_applicationWindows.push_back(window);
        notifyAppOrWindowCountChange();
        return true;
    }
    if (shouldReplaceThumb) {
        const bool changed = window->thumbnailHash != (*old)->thumbnailHash;
        if (changed) notifyWindowThumbnail(window);
        // A thumbnail made fresh by an earlier poll and not yet sent stays fresh.
        window->freshThumbnail = (*old)->freshThumbnail || changed;
    } else {
        window->thumbnail = (*old)->thumbnail;
        window->freshThumbnail = (*old)->freshThumbnail;
    }
    *old = window;
    return false;
}

// ---- Look-ups.

QNBApplicationStateRef QNBApplicationMonitor::applicationStateForPID(uint64_t pid) {
    std::lock_guard lock(m_lock);
    return applicationStateForPID(pid, m_applicationStates);
}

QNBApplicationStateRef
QNBApplicationMonitor::applicationStateForPID(uint64_t pid,
                                              const std::vector<QNBApplicationStateRef>& states) {
    for (const QNBApplicationStateRef& state : states)
        if (state->applicationID == pid) return state;
    return nullptr;
}

QNBApplicationWindowRef QNBApplicationMonitor::copyWindowForWID(uint64_t windowID) {
    std::lock_guard lock(m_lock);
    for (const QNBApplicationWindowRef& window : m_applicationWindows)
        if (window->windowID == windowID) return window->copy();
    return nullptr;
}

bool QNBApplicationMonitor::applicationHasWindows(const QNBApplicationState& state) {
    std::lock_guard lock(m_lock);
    return std::any_of(
        m_applicationWindows.begin(), m_applicationWindows.end(),
        [&](const QNBApplicationWindowRef& w) { return w->applicationID == state.applicationID; });
}

// ---- List maintenance.

void QNBApplicationMonitor::addApplicationState(const QNBApplicationStateRef& state) {
    std::lock_guard lock(m_lock);
    m_applicationStates.push_back(state);
    notifyAppOrWindowCountChange();
}

void QNBApplicationMonitor::removeApplicationState(uint64_t pid) {
    std::lock_guard lock(m_lock);
    auto it = std::find_if(m_applicationStates.begin(), m_applicationStates.end(),
                           [&](const QNBApplicationStateRef& s) { return s->applicationID == pid; });
    if (it == m_applicationStates.end()) return;
    m_applicationStates.erase(it);
    notifyAppOrWindowCountChange();
}

void QNBApplicationMonitor::removeWindowState(const QNBApplicationWindow& window) {
    std::lock_guard lock(m_lock);
    auto it = std::find_if(m_applicationWindows.begin(), m_applicationWindows.end(),
                           [&](const QNBApplicationWindowRef& w) { return w->windowID == window.windowID; });
    if (it == m_applicationWindows.end()) return;
    m_applicationWindows.erase(it);
    notifyAppOrWindowCountChange();
}

void QNBApplicationMonitor::pruneWindowStates() {
    std::lock_guard lock(m_lock);
    const size_t removed = std::erase_if(m_applicationWindows, [&](const QNBApplicationWindowRef& w) {
        return !applicationStateForPID(w->applicationID, m_applicationStates);
    });
    if (removed) notifyAppOrWindowCountChange();
}

void QNBApplicationMonitor::setTopMenu(const QNBApplicationMenuRef& menu, uint64_t pid) {
    if (auto state = applicationStateForPID(pid)) state->setTopMenu(menu);
}

void QNBApplicationMonitor::refreshWindowLocation(cg::CGPoint origin, cg::CGSize size, uint64_t windowID) {
    // The bounds go to a copy, which is dropped: the live record keeps its own.
    if (auto window = copyWindowForWID(windowID)) window->bounds = cg::CGRect{origin, size};
}

void QNBApplicationMonitor::notifiedOfNewApplication(const RunningApplicationInfo& application) {
    std::lock_guard polling(m_pollLock);
    const QNBApplicationStateRef state = updateApplicationState(application, applicationStates());
    {
        std::lock_guard lock(m_lock);
        manageMenuState();
    }
    updateWindowsFromAppStates({state}, true, false);
    std::lock_guard lock(m_lock);
    m_hasNewApplicationStates = true;
}

void QNBApplicationMonitor::notifiedOfTerminatedApplication(uint64_t pid) {
    removeApplicationState(pid);
    pruneWindowStates();
    std::lock_guard lock(m_lock);
    m_hasNewApplicationStates = true;
}

// ---- Notifications.

void QNBApplicationMonitor::postOnMainThread(std::string name, std::optional<cf::Value> userInfo,
                                             std::map<std::string, std::any> userObjects) {
    auto self = shared_from_this();
    if (dispatch::isMainThread()) {
        ns::NSNotificationCenter::defaultCenter().postNotification(
            ns::NSNotification{std::move(name), self, std::move(userInfo), std::move(userObjects)});
        return;
    }
    dispatch::RunLoop::main()->perform(
        {std::string(dispatch::kCommonRunLoopModes)},
        [self, name = std::move(name), userInfo = std::move(userInfo), userObjects = std::move(userObjects)] {
            ns::NSNotification notification{name, self, userInfo, userObjects};
            ns::NSNotificationCenter::defaultCenter().postNotification(notification);
        });
}

void QNBApplicationMonitor::notifyAppOrWindowCountChange() {
    postOnMainThread(kApplicationMonitorAppOrWindowCountChanged, std::nullopt, {});
}

void QNBApplicationMonitor::notifyWindowThumbnail(const QNBApplicationWindowRef& window) {
    postOnMainThread(kApplicationMonitorReceivedWindowUpdate, std::nullopt,
                     {{kApplicationMonitorReceivedWindowUpdateWindow, window}});
}

// ---- State.

std::vector<QNBApplicationStateRef> QNBApplicationMonitor::applicationStates() const {
    std::lock_guard lock(m_lock);
    return m_applicationStates;
}

std::vector<QNBApplicationWindowRef> QNBApplicationMonitor::applicationWindows() const {
    std::lock_guard lock(m_lock);
    return m_applicationWindows;
}

std::vector<uint64_t> QNBApplicationMonitor::discoveredApplications() const {
    std::lock_guard lock(m_lock);
    return m_discoveredApplications;
}

bool QNBApplicationMonitor::firstRun() const {
    std::lock_guard lock(m_lock);
    return m_firstRun;
}

bool QNBApplicationMonitor::pollComplete() const {
    std::lock_guard lock(m_lock);
    return m_pollComplete;
}

double QNBApplicationMonitor::lastRun() const {
    std::lock_guard lock(m_lock);
    return m_lastRun;
}

QNBApplicationMenuRef QNBApplicationMonitor::appleMenu() const {
    std::lock_guard lock(m_lock);
    return m_appleMenu;
}

void QNBApplicationMonitor::storeAppleMenuIfNone(const QNBApplicationMenuRef& slot) {
    std::lock_guard lock(m_lock);
    if (!m_appleMenu) m_appleMenu = slot;
}

void QNBApplicationMonitor::setActivePID(uint64_t pid) {
    std::lock_guard lock(m_lock);
    m_activePID = pid;
}

} // namespace input
