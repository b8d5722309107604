// The application monitor: what a device needs to show the Mac's applications — the running
// applications (name, pid, icon), their visible windows (bounds, stacking, workspace, title, a
// thumbnail of at most 256 pixels and its hash) and their menu bars, read through
// accessibility — and the table of icons the device already holds. One process-wide instance
// serves every session.
//
// Locks, in this order: pollLock (one poll, menu refresh or launch handler at a time), the
// monitor's own lock (recursive; the live lists), the icon table's lock. Menu rebuilding runs
// under the monitor's lock.
#pragma once

#include "input/QNBApplicationRecords.h"

#include <any>
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace input {

// One running application as the workspace lists it.
struct RunningApplicationInfo {
    pid_t pid = 0;
    std::string localizedName;
    std::shared_ptr<appkit::NSImage> icon;
};

// Where the monitor learns the running applications: the workspace, or a test's list.
class RunningApplicationSource {
  public:
    virtual ~RunningApplicationSource() = default;
    // In the order the platform lists them.
    virtual std::vector<RunningApplicationInfo> runningApplications() = 0;
    // The same without icons. A device's window request looks its pid up here, as often as the
    // device likes: building every application's icon for that would be the device's to order.
    // By default the list above with its icons dropped, for sources whose icons cost nothing.
    virtual std::vector<RunningApplicationInfo> runningApplicationsWithoutIcons() {
        auto list = runningApplications();
        for (RunningApplicationInfo& application : list)
            application.icon = nullptr;
        return list;
    }
};
// NSWorkspace's running applications, with their icons or without.
std::shared_ptr<RunningApplicationSource> workspaceApplicationSource();

inline constexpr char kApplicationMonitorAppOrWindowCountChanged[] =
    "kApplicationMonitorAppOrWindowCountChanged";
inline constexpr char kApplicationMonitorReceivedWindowUpdate[] = "applicationMonitorReceivedWindowUpdate";
inline constexpr char kApplicationMonitorReceivedWindowUpdateWindow[] =
    "applicationMonitorReceivedWindowUpdateWindow";

class QNBApplicationMonitor : public std::enable_shared_from_this<QNBApplicationMonitor> {
  public:
    // The most icon hashes the table keeps: a device reconnecting again and again adds no more.
    static constexpr size_t kMaxKnownIcons = 65535;
    static constexpr double kPollInterval = 30.0;
    static constexpr double kThumbnailPause = 0.1;
    static constexpr double kThumbnailSide = 256;

    // The process's monitor, made on first use.
    static std::shared_ptr<QNBApplicationMonitor> sharedMonitor();
    // A table of monitors keyed by a pointer value (nothing in the screen server uses it).
    static std::shared_ptr<QNBApplicationMonitor> sharedMonitorForContext(const void* context);
    static std::shared_ptr<QNBApplicationMonitor> createSharedMonitorForContext(const void* context);
    static void removeSharedMonitorForContext(const void* context);

    QNBApplicationMonitor();
    void setRunningApplicationSource(std::shared_ptr<RunningApplicationSource> source);
    std::shared_ptr<RunningApplicationSource> runningApplicationSource() const;

    // Last run 0, no Apple-menu slot, first run, no complete poll; every list and the icon
    // table emptied.
    void fullReset();

    // ---- Polling.
    // One refresh of applications, windows and menus; returns at once within 30 s of the last
    // or while another poll, menu refresh or launch handler holds pollLock.
    void poll();
    // YES once after a poll that found new applications.
    bool hasApplicationInfoToSend();
    void ackPoll();
    // listed, when given, runs once the list is rebuilt, before the thumbnails are taken.
    void updateWindowsFromAppStates(const std::vector<QNBApplicationStateRef>& states, bool updateThumbnails,
                                    bool inBackground, const std::function<void()>& listed = nullptr);
    QNBApplicationStateRef updateApplicationState(const RunningApplicationInfo& application,
                                                  const std::vector<QNBApplicationStateRef>& states);
    // Stores one window under the monitor's lock; YES when it was new.
    bool updateWindowState(const QNBApplicationWindowRef& window, bool shouldReplaceThumb);

    // ---- Look-ups.
    QNBApplicationStateRef applicationStateForPID(uint64_t pid);
    static QNBApplicationStateRef applicationStateForPID(uint64_t pid,
                                                         const std::vector<QNBApplicationStateRef>& states);
    QNBApplicationWindowRef copyWindowForWID(uint64_t windowID);
    bool applicationHasWindows(const QNBApplicationState& state);
    QNBApplicationMenuRef menuForElementID(uint64_t elementHandle, uint64_t pid);
    static QNBApplicationMenuRef findMenuForElementID(uint64_t elementHandle,
                                                      const QNBApplicationMenuRef& menu);

    // ---- Menus.
    void refreshApplicationTopMenuForApplication(const QNBApplicationState& state);
    void manageMenuState();
    void continueMenu(const ax::AXUIElementRef& element, const QNBApplicationMenuRef& parent, uint64_t level,
                      uint64_t maxLevel, QNBApplicationMenuRef& appleMenu);
    void walkMenu(const ax::AXUIElementRef& element, const QNBApplicationMenuRef& parent, uint64_t level,
                  uint64_t maxLevel, QNBApplicationMenuRef& appleMenu);

    // ---- The icon table.
    // Records a 16-byte hash under its lower-case hex text; false (nothing recorded) for
    // another length, or a new hash while the table is full.
    bool cacheHash(const std::vector<uint8_t>& hash);
    bool cacheIcon(const std::vector<uint8_t>& hash) { return cacheHash(hash); }
    bool knowsIcon(const std::string& hexHash) const;
    size_t knownIconCount() const;
    // "<Caches>/icons", made when missing; none when it does not exist afterwards.
    std::optional<std::string> obtainIconCacheDirectory();
    void refreshIconCache();
    void flushIconCache();
    void flushInMemoryIconCache();

    // ---- List maintenance.
    void addApplicationState(const QNBApplicationStateRef& state);
    void removeApplicationState(uint64_t pid);
    void removeWindowState(const QNBApplicationWindow& window);
    void pruneWindowStates();
    void setTopMenu(const QNBApplicationMenuRef& menu, uint64_t pid);
    void refreshWindowLocation(cg::CGPoint origin, cg::CGSize size, uint64_t windowID);
    void notifiedOfNewApplication(const RunningApplicationInfo& application);
    void notifiedOfTerminatedApplication(uint64_t pid);

    // ---- Notifications (on the main thread).
    void notifyAppOrWindowCountChange();
    void notifyWindowThumbnail(const QNBApplicationWindowRef& window);

    // ---- State. Copies of the live lists are taken under lock().
    std::recursive_mutex& lock() const { return m_lock; }
    std::mutex& pollLock() { return m_pollLock; }
    std::vector<QNBApplicationStateRef> applicationStates() const;
    std::vector<QNBApplicationWindowRef> applicationWindows() const;
    std::vector<uint64_t> discoveredApplications() const;
    bool firstRun() const;
    bool pollComplete() const;
    double lastRun() const;
    QNBApplicationMenuRef appleMenu() const;
    // Stores the slot a menu walk carried when the monitor holds none.
    void storeAppleMenuIfNone(const QNBApplicationMenuRef& slot);
    void setActivePID(uint64_t pid);

  private:
    QNBApplicationMenuRef buildTopMenu(const QNBApplicationState& state);
    void postOnMainThread(std::string name, std::optional<cf::Value> userInfo,
                          std::map<std::string, std::any> userObjects);

    mutable std::recursive_mutex m_lock;
    std::mutex m_pollLock;
    std::vector<QNBApplicationStateRef> m_applicationStates;   // under m_lock
    std::vector<QNBApplicationWindowRef> m_applicationWindows; // under m_lock
    std::vector<uint64_t> m_discoveredApplications;            // under m_lock
    mutable std::mutex m_iconLock;
    std::map<std::string, std::shared_ptr<QNBIconCacheEntry>> m_knownIconCache; // under m_iconLock
    bool m_firstRun = true;                                                     // under m_lock
    double m_lastRun = 0;                                                       // under m_lock
    bool m_pollComplete = false;                                                // under m_lock
    QNBApplicationMenuRef m_appleMenu;                                          // under m_lock
    uint64_t m_activePID = 0;                                                   // under m_lock
    bool m_hasNewApplicationStates = false;                                     // under m_lock
    std::shared_ptr<RunningApplicationSource> m_source;                         // under m_lock
};

} // namespace input
