// The application object and its life: NSApplicationMain builds the application and its
// delegate, registers with platformd (pid, bundle identifier, name, activation policy), sends
// will-finish-launching, runs the main run loop and sends did-finish-launching on its first
// turn, after which platformd marks the application finished launching. terminate asks the
// delegate, sends will-terminate, flushes the user defaults and exits 0.
#pragma once

#include "platform/appkit/NSAction.h"
#include "platform/foundation/NSNotification.h"
#include "platform/services/NSRunningApplication.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace appkit {

class NSWindow;
class NSEvent;
class NSMenu;

using ns::NSApplicationActivationPolicy;
using ns::NSApplicationActivationPolicyAccessory;
using ns::NSApplicationActivationPolicyProhibited;
using ns::NSApplicationActivationPolicyRegular;

inline constexpr const char* NSApplicationWillFinishLaunchingNotification =
    "NSApplicationWillFinishLaunchingNotification";
inline constexpr const char* NSApplicationDidFinishLaunchingNotification =
    "NSApplicationDidFinishLaunchingNotification";
inline constexpr const char* NSApplicationWillTerminateNotification =
    "NSApplicationWillTerminateNotification";

// What a modal loop or session answers. Alerts answer their buttons' codes (NSAlert.h).
using NSModalResponse = int64_t;
inline constexpr NSModalResponse NSModalResponseStop = -1000;
inline constexpr NSModalResponse NSModalResponseAbort = -1001;
inline constexpr NSModalResponse NSModalResponseContinue = -1002;

// A modal session's handle (beginModalSessionForWindow:); null is no session.
struct NSModalSessionRecord;
using NSModalSession = std::shared_ptr<NSModalSessionRecord>;

inline constexpr const char* NSApplicationDidBecomeActiveNotification =
    "NSApplicationDidBecomeActiveNotification";
// Observers of resign-active end what must not outlive it: a tracking menu cancels its tracking.
inline constexpr const char* NSApplicationDidResignActiveNotification =
    "NSApplicationDidResignActiveNotification";

enum NSApplicationTerminateReply { NSTerminateCancel = 0, NSTerminateNow = 1, NSTerminateLater = 2 };

class NSApplication;

// Every operation is optional; the defaults are the framework's.
class NSApplicationDelegate {
  public:
    virtual ~NSApplicationDelegate() = default;
    virtual void applicationWillFinishLaunching(const ns::NSNotification& notification) {
        (void)notification;
    }
    virtual void applicationDidFinishLaunching(const ns::NSNotification& notification) { (void)notification; }
    virtual NSApplicationTerminateReply applicationShouldTerminate(NSApplication& sender) {
        (void)sender;
        return NSTerminateNow;
    }
    virtual void applicationWillTerminate(const ns::NSNotification& notification) { (void)notification; }
    virtual void applicationDidBecomeActive(const ns::NSNotification& notification) { (void)notification; }
    virtual void applicationDidResignActive(const ns::NSNotification& notification) { (void)notification; }
    virtual bool applicationShouldTerminateAfterLastWindowClosed(NSApplication& sender) {
        (void)sender;
        return false;
    }
};

class NSApplication : public NSActionTarget, public std::enable_shared_from_this<NSApplication> {
  public:
    // The application's own actions: orderFrontStandardAboutPanel:.
    static const NSActionTable& classActions();
    const NSActionTable& actionTable() const override { return classActions(); }
    // The process's application object, made on first use.
    static std::shared_ptr<NSApplication> sharedApplication();
    // The same, made by makeApplication when nothing has asked for it yet (the program's own
    // application class); once made, the maker is not used and the existing object answers.
    using Maker = std::function<std::shared_ptr<NSApplication>()>;
    static std::shared_ptr<NSApplication> sharedApplication(const Maker& makeApplication);

    // The delegate is held strongly here: NSApplicationMain's delegate lives as the process.
    void setDelegate(std::shared_ptr<NSApplicationDelegate> delegate);
    std::shared_ptr<NSApplicationDelegate> delegate() const;

    // Kept locally and in platformd's registry of running applications (`platformctl apps`).
    // NO for a policy out of range; the local value holds even without platformd.
    bool setActivationPolicy(NSApplicationActivationPolicy policy);
    NSApplicationActivationPolicy activationPolicy() const;

    // Will-finish-launching to the delegate and the local centre; did-finish-launching follows
    // on the main run loop's first turn (performed, so a run loop must run it).
    void finishLaunching();
    // Runs the main run loop in the default mode until stop (or terminate).
    void run();
    void stop();
    bool isRunning() const { return m_running.load(); }
    bool didFinishLaunching() const { return m_finishedLaunching.load(); }

    // terminate: — asks applicationShouldTerminate:, sends will-terminate, synchronizes the
    // user defaults and exits 0 through the exit handler. Cancel or Later: nothing.
    void terminate();
    // Tests replace std::exit so terminate returns.
    void setExitHandler(std::function<void(int)> handler);

    // ---- Windows (main thread). Every live window in creation order; ordered-in windows are
    // kept alive here. Key and main window are per application (null when none).
    std::vector<std::shared_ptr<NSWindow>> windows() const;
    std::shared_ptr<NSWindow> keyWindow() const;
    std::shared_ptr<NSWindow> mainWindow() const;
    // Mouse events to the window they name, key events to the key window (overridable).
    virtual void sendEvent(const NSEvent& event);
    // While a menu tracks it takes all input: sendEvent hands every event to this filter first,
    // and an event it answers YES to goes no further. Null: no filter.
    void setTrackingEventFilter(std::function<bool(const NSEvent&)> filter) {
        m_trackingFilter = std::move(filter);
    }
    virtual ~NSApplication() = default;
    // What NSWindow tells the application.
    void windowCreated(const std::shared_ptr<NSWindow>& window);
    void windowOrdered(const std::shared_ptr<NSWindow>& window, bool in);
    void windowClosed(const NSWindow* window);
    void setKeyWindow(const std::shared_ptr<NSWindow>& window);
    void setMainWindow(const std::shared_ptr<NSWindow>& window);
    // Whether a modal loop or a sheet keeps the window from taking input now (accessibility then
    // refuses its actions and settings). Modal loops install the answer; without one nothing is
    // blocked.
    void setWindowBlockedHandler(std::function<bool(const NSWindow&)> handler);
    bool isWindowBlocked(const NSWindow& window) const;

    // ---- Activation (NSApplicationActivation.cpp; main thread). platformd's window server
    // holds at most one active application: activateIgnoringOtherApps makes this one active (the
    // previous one resigns), and a mouse-down activates the clicked window's owner unless the
    // window is a status item's, a menu or a non-activating panel. Becoming and resigning call
    // the delegate, then post the notification. Resigning orders out the visible windows that
    // hide on deactivation (panels by default) until the application is active again.
    void activateIgnoringOtherApps(bool flag);
    bool isActive() const { return m_active.load(); }
    // What platformd's become-active and resign-active pushes do.
    void becomeActive();
    void resignActive();

    // ---- Modal work (NSApplicationModal.cpp; main thread). runModalForWindow makes the window
    // key and front and serves the main run loop in the modal-panel mode until stopModal,
    // stopModalWithCode, abortModal (or stop) ends it: the main queue, performs, window-server
    // callbacks, accessibility requests and common-mode timers run meanwhile; default-mode work
    // (plain timers, distributed notifications, Bonjour, the updater) waits. Loops nest: the
    // stop calls end the innermost loop or session. The window stays on screen.
    NSModalResponse runModalForWindow(const std::shared_ptr<NSWindow>& window);
    void stopModal();
    void stopModalWithCode(NSModalResponse code);
    void abortModal();
    // A session only shows its window, marked modal; runModalSession serves one pass of what
    // is ready and answers Continue until the session was stopped. Ending (or running) a null
    // or ended session is a logged no-op.
    NSModalSession beginModalSessionForWindow(const std::shared_ptr<NSWindow>& window);
    NSModalResponse runModalSession(const NSModalSession& session);
    void endModalSession(const NSModalSession& session);
    // The innermost modal loop's or session's window; null when none.
    std::shared_ptr<NSWindow> modalWindow() const;
    // Whether input may reach the window now: not while a sheet is up on it, and under a modal
    // loop or session only for the modal window, its sheet and menus above it.
    bool windowAcceptsInput(const NSWindow& window) const;
    // Sheets: the sheet shows at its parent, which refuses input until the sheet ends.
    void attachSheet(const std::shared_ptr<NSWindow>& sheet, const std::shared_ptr<NSWindow>& parent);
    void detachSheet(const NSWindow& sheet);
    std::shared_ptr<NSWindow> attachedSheet(const NSWindow& parent) const;
    std::shared_ptr<NSWindow> sheetParent(const NSWindow& sheet) const;

    // ---- The standard About panel (NSApplicationAbout.cpp; main thread): a titled, closable
    // panel "About <CFBundleName>" showing the name and "Version <CFBundleShortVersionString>"
    // of the main bundle, centred and brought to the front; one at a time.
    void orderFrontStandardAboutPanel(NSActionTarget* sender);
    std::shared_ptr<NSWindow> aboutPanel() const { return m_aboutPanel.lock(); }

    // ---- The main menu (main thread): its items' submenus are the menu bar's menus, the first
    // the application menu. Only the accessibility export shows it (a menu-bar item per item
    // with a submenu, pressed to pop its menu up under the menu bar); nothing draws a menu bar.
    std::shared_ptr<NSMenu> mainMenu() const { return m_mainMenu; }
    void setMainMenu(std::shared_ptr<NSMenu> menu) { m_mainMenu = std::move(menu); }

    NSApplication() = default;
    NSApplication(const NSApplication&) = delete;
    NSApplication& operator=(const NSApplication&) = delete;

  private:
    void sendDidFinishLaunching();

    mutable std::mutex m_mutex;
    std::shared_ptr<NSApplicationDelegate> m_delegate;
    std::function<void(int)> m_exit;
    std::atomic<int64_t> m_policy{NSApplicationActivationPolicyRegular};
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_finishedLaunching{false};
    std::atomic<bool> m_terminating{false};
    std::vector<std::weak_ptr<NSWindow>> m_windows;
    std::vector<std::shared_ptr<NSWindow>> m_orderedIn;
    std::weak_ptr<NSWindow> m_keyWindow;
    std::weak_ptr<NSWindow> m_mainWindow;
    std::function<bool(const NSEvent&)> m_trackingFilter; // main thread
    std::function<bool(const NSWindow&)> m_windowBlocked;
    std::atomic<bool> m_active{false};
    std::vector<std::weak_ptr<NSWindow>> m_hiddenOnDeactivate;
    // Innermost last: the loops and sessions under way.
    std::vector<NSModalSession> m_modalStack;
    struct SheetLink {
        std::weak_ptr<NSWindow> sheet;
        std::weak_ptr<NSWindow> parent;
    };
    std::vector<SheetLink> m_sheets;
    // Shown, the panel lives as every ordered-in window does; closed, it goes.
    std::weak_ptr<NSWindow> m_aboutPanel; // main thread
    std::shared_ptr<NSMenu> m_mainMenu;   // main thread
};

// NSApp.
std::shared_ptr<NSApplication> NSApp();

// The running system's AppKit release (the profile's AppKitVersion).
double NSAppKitVersionNumber();

// Builds the application, makes the delegate, registers with platformd and runs; returns
// only when the run loop was stopped without terminating (0).
using NSApplicationDelegateMaker = std::function<std::shared_ptr<NSApplicationDelegate>()>;
int NSApplicationMain(int argc, char** argv, const NSApplicationDelegateMaker& makeDelegate);
// The same with the program's application class, made before the delegate.
int NSApplicationMain(int argc, char** argv, const NSApplication::Maker& makeApplication,
                      const NSApplicationDelegateMaker& makeDelegate);

} // namespace appkit
