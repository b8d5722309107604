// The screen server's application delegate: start-up and shutdown, the distributed
// notifications the screen server observes and the answers it posts, the reaction to
// preference changes, and the program's own answers to the sessions (ports, invitations).
//
// What it reaches outside the mediator is an environment given at construction (the
// application object, the distributed centre, the display configuration, the driver check,
// queues), so tests drive it without platformd.
#pragma once

#include "server/BaseLimnerAppDelegate.h"

#include "platform/appkit/BITHockeyManager.h"
#include "platform/appkit/NSApplication.h"
#include "platform/corefoundation/Value.h"
#include "platform/foundation/NSNotification.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace display {
class QNBDisplayConfiguration;
} // namespace display

namespace foundation {
class QNBPreferences;
}

namespace input {
class QNBAboutWindowController;
}

namespace appkit {
class NSActionTarget;
class NSMenu;
class NSAlert;
class NSScreen;
class NSWindow;
} // namespace appkit

namespace dispatch {
class RunLoop;
}

namespace ns {
class NSThread;
class NSTimer;
} // namespace ns

namespace server {

class ScreenServerMediator;

class LimnerAppDelegate final : public BaseLimnerAppDelegate,
                                public appkit::NSApplicationDelegate,
                                public appkit::NSActionTarget,
                                public appkit::BITHockeyManagerDelegate,
                                public std::enable_shared_from_this<LimnerAppDelegate> {
  public:
    // The crash-reporting service's identifier for this application, and the maker's name.
    static constexpr const char* kCrashReporterIdentifier = "3b9e07c1d4a2f65e8c71b0d9a4e2f356";
    static constexpr const char* kCompanyName = "Quenby";

    using Block = std::function<void()>;
    using Handler = void (LimnerAppDelegate::*)(const ns::NSNotification&);

    struct Environment {
        std::shared_ptr<appkit::NSApplication> application;
        // The mediator (ScreenServerMediator::sharedInstance in the program).
        std::function<std::shared_ptr<ScreenServerMediator>()> makeMediator;
        // Whether the virtual graphics card's driver ("QNExGFX") is in the I/O Registry.
        std::function<bool()> driverInstalled;
        // The display configuration (none in most unit tests).
        std::shared_ptr<display::QNBDisplayConfiguration> displayConfiguration;
        // Posts a distributed notification (object null).
        std::function<void(const std::string& name, const std::optional<cf::Value>& userInfo,
                           uint64_t options)>
            post;
        // Observes a distributed notification by name (object null), in registration order.
        std::function<void(const std::string& name, std::function<void(const ns::NSNotification&)> block)>
            observe;
        // Drops every distributed observation of the delegate.
        std::function<void()> removeObservers;
        std::function<void(Block)> runOnMainQueue;
        std::function<void(Block)> runOnGlobalQueue;
        std::function<double()> wallNow;
        // Re-activates a session's display (its activateDisplay).
        std::function<void(ScreenServer&)> activateDisplay;
        // The running system's version as 0x00MMmmbb.
        std::function<uint32_t()> systemVersion;
        foundation::QNBPreferences* preferences = nullptr;
        // Whether the Mac has switchable graphics and is a model that freezes with it (the
        // launch then warns once); none in most unit tests: no warning.
        std::function<bool()> graphicsSwitchingFreezes;

        // platformd's centre, the process's application object and display configuration,
        // the mediator's shared instance, the I/O Registry.
        static Environment standard();
    };

    static std::shared_ptr<LimnerAppDelegate> make(Environment environment);
    // The standard answer of graphicsSwitchingFreezes.
    static bool computerFreezesWithGraphicsSwitching();
    explicit LimnerAppDelegate(Environment environment);
    ~LimnerAppDelegate() override;

    // ---- Application life ------------------------------------------------------------------
    void applicationDidFinishLaunching(const ns::NSNotification& notification) override;
    // Safe to repeat: the termination road runs it twice.
    void applicationWillTerminate(const ns::NSNotification& notification) override;
    bool applicationShouldTerminateAfterLastWindowClosed(appkit::NSApplication&) override { return false; }

    // ---- Distributed notifications ---------------------------------------------------------
    void processDistributedTerminationRequest(const ns::NSNotification& notification);
    void connectServerToHost(const ns::NSNotification& notification);
    void disconnectCurrentServerWithNotification(const ns::NSNotification& notification);
    void preferencesChanged(const ns::NSNotification& notification);
    void hostRequestedDisplayHostingQuery(const ns::NSNotification& notification);
    void hostRequestedDisplayHostingMultiQuery(const ns::NSNotification& notification);
    void serverConnectedToDevice(const ns::NSNotification& notification);
    void serverDisconnectedFromDevice(const ns::NSNotification& notification);
    void switchHandler(const ns::NSNotification& notification);
    void setDisplayIDForHost(const ns::NSNotification& notification);

    void serverDidConnectToDevice(const std::optional<cf::Value>& userInfo);
    void preferencesDidChange();
    void preferencesDidChangeUpdateResolutions(bool activate);
    void negotiateWithClients();

    // Menu action: accessory again, then "DisconnectAllConnectedDisplays" with an empty
    // dictionary, from the main queue.
    void disconnectAllConnections(appkit::NSActionTarget* sender = nullptr);
    // The crash reporter's callback: nothing to show.
    void showMainApplicationWindowForCrashManager() {}

    // ---- Answers to the sessions -----------------------------------------------------------
    uint16_t mainDataTrafficPort() override { return 6001; }
    uint16_t clientSidebandPort() override { return 6000; }
    uint16_t serverSidebandPort() override { return 6002; }
    int32_t activeProtocol() override { return 0; }
    bool supportsAppInfo() override { return false; }
    bool isDisplayActive() override { return true; }
    std::string bonjourServiceName() const { return "_qnexvscreen._udp"; }
    bool mapOrUnmapSharedFrameBufferMemory(bool) { return true; }
    uint64_t getDeviceFrameBufferPointer() const { return m_frameBufferAddress.load(); }
    uint64_t getDeviceFrameBufferSize() const { return m_frameBufferSize.load(); }
    uint64_t getDeviceFrameBufferBytesPerRow() const { return 0; }
    // The driver's cursor is not read through the delegate: an empty record.
    struct DriverCursor {
        const void* data = nullptr;
        double width = 0, height = 0;
        double hotSpotX = 0, hotSpotY = 0;
    };
    DriverCursor updateCursorFromDriver() const { return {}; }
    std::optional<std::string> reflectorClass() const override { return "QNDesktopReflectorPanel"; }
    // The mirror window of a device that is away invites it again.
    void sendInvite(const net::SocketAddress& address) override;

    // ---- Local windows (LimnerAppDelegateWindows.cpp; main thread) --------------------------
    // The About window's controller, made from its nib on first use with its window centred
    // and kept when closed; the same one afterwards.
    std::shared_ptr<input::QNBAboutWindowController> aboutWindowController();
    // Centres the About window and makes it key and front, unless it is already showing.
    void showAbout(appkit::NSActionTarget* sender);
    // The main menu as the program's main interface file holds it: the application menu
    // "TesselHelper" with "About TesselHelper" (showAbout:) and "Disconnect All Displays"
    // (disconnectAllConnections:), both sent up the responder chain to this delegate.
    static std::shared_ptr<appkit::NSMenu> mainMenu();
    // The menu actions above.
    static const appkit::NSActionTable& classActions();
    const appkit::NSActionTable& actionTable() const override { return classActions(); }

    // ---- The local-window check (LimnerAppDelegateLocalWindows.cpp) --------------------------
    // How many reflector panels are on screen (any thread).
    int localWindowCount() const;
    // Watches a panel's screen changes and its becoming main. A window is watched once however
    // often its session connects; null is ignored.
    void
    registerNotificationsForWindow(const std::shared_ptr<input::QNDesktopReflectorPanel>& window) override;
    void windowDidChangeScreen(const ns::NSNotification& notification);
    void windowDidBecomeMain(const ns::NSNotification& notification);

    // The check thread: started when a mirror window becomes main, it looks every 2 s whether
    // a mirror window sits on a display that is gone, and ends at the first tick that finds no
    // session in the background.
    void launchPeriodicClientWindowCheck();
    void launchPeriodicClientWindowCheckThread();
    void clientWindowCheckThreadExited(const ns::NSNotification& notification);
    // On the check thread: invalidates the timer and ends the thread.
    void stopClientWindowThread();
    void clientWindowCheck(ns::NSTimer& timer);
    bool shouldExitWindowCheckThread();
    void checkAllClientWindows();
    // A mirror window on an unknown display is moved to the first screen (on the main thread).
    void checkClientWindowCandidate(const std::shared_ptr<appkit::NSWindow>& window);
    void menuScreenMoveForWindow(const std::shared_ptr<appkit::NSWindow>& window);
    // Moves a window near the top-left of the screen's visible frame, after a left-mouse-up that
    // ends any drag of it.
    void moveWindow(const std::shared_ptr<appkit::NSWindow>& window,
                    const std::shared_ptr<appkit::NSScreen>& screen);
    // Moves a window back onto its own screen when its frame is outside that screen's visible frame.
    void checkScreenLocationForWindow(const std::shared_ptr<appkit::NSWindow>& window);
    std::shared_ptr<ns::NSThread> clientWindowThread() const;
    std::shared_ptr<ns::NSTimer> clientWindowTimer() const;

    bool previousHiDPIState() const { return m_previousHiDPIState.load(); }
    void setPreviousHiDPIState(bool state) { m_previousHiDPIState.store(state); }
    bool shouldUpdateHiDPIState() const { return m_shouldUpdateHiDPIState.load(); }
    void setShouldUpdateHiDPIState(bool update) { m_shouldUpdateHiDPIState.store(update); }
    // Cleared each time the check thread is launched; nothing asks the thread to stop by it.
    bool clientWindowCheckStopRequest() const { return m_clientWindowCheckStopRequest.load(); }

    // The "Performance Tip" alert while it is on screen (null otherwise).
    std::shared_ptr<appkit::NSAlert> retinaPerformanceAlert() const {
        return m_retinaPerformanceAlert.lock();
    }

    // The names observed at launch, in order (the eleven observations).
    static const std::vector<std::pair<std::string, Handler>>& distributedObservations();

  private:
    void doInitializations();
    // Launch: the graphics-switching warning, until the user has pressed its default button.
    void warnAboutGraphicsSwitching();
    // A device connected: one "Performance Tip" per session with Retina resolutions, in turn.
    void showRetinaPerformanceAlerts();
    void registerDistributedObservers();
    std::shared_ptr<ScreenServerMediator> mediator() const;
    foundation::QNBPreferences& preferences() const;

    Environment m_env;
    std::atomic<uint64_t> m_frameBufferAddress{0};
    std::atomic<uint64_t> m_frameBufferSize{0};
    std::atomic<bool> m_previousHiDPIState{false};
    std::atomic<bool> m_shouldUpdateHiDPIState{false};
    std::atomic<bool> m_clientWindowCheckStopRequest{false};
    std::atomic<bool> m_observing{false};
    std::shared_ptr<input::QNBAboutWindowController> m_aboutWindowController;
    std::weak_ptr<appkit::NSAlert> m_retinaPerformanceAlert;

    // The windows watched by registerNotificationsForWindow (main thread).
    struct WatchedWindow {
        std::weak_ptr<appkit::NSWindow> window;
        const void* identity = nullptr;
    };
    std::vector<WatchedWindow> m_watchedWindows;

    // The check thread, its timer and its run loop, under m_clientWindowLock.
    mutable std::recursive_mutex m_clientWindowLock;
    std::shared_ptr<ns::NSThread> m_clientWindowThread;
    std::shared_ptr<ns::NSTimer> m_clientWindowTimer;
    std::shared_ptr<dispatch::RunLoop> m_clientWindowRunLoop;
};

} // namespace server
