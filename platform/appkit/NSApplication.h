// The application object and its life: NSApplicationMain builds the application and its
// delegate, registers with platformd (pid, bundle identifier, name, activation policy), sends
// will-finish-launching, runs the main run loop and sends did-finish-launching on its first
// turn, after which platformd marks the application finished launching. terminate asks the
// delegate, sends will-terminate, flushes the user defaults and exits 0.
#pragma once

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
    virtual bool applicationShouldTerminateAfterLastWindowClosed(NSApplication& sender) {
        (void)sender;
        return false;
    }
};

class NSApplication : public std::enable_shared_from_this<NSApplication> {
  public:
    // The process's application object, made on first use.
    static std::shared_ptr<NSApplication> sharedApplication();

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
    std::function<bool(const NSWindow&)> m_windowBlocked;
};

// NSApp.
std::shared_ptr<NSApplication> NSApp();

// The running system's AppKit release (the profile's AppKitVersion).
double NSAppKitVersionNumber();

// Builds the application, makes the delegate, registers with platformd and runs; returns
// only when the run loop was stopped without terminating (0).
int NSApplicationMain(int argc, char** argv,
                      const std::function<std::shared_ptr<NSApplicationDelegate>()>& makeDelegate);

} // namespace appkit
