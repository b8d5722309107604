// Tessel Host's application delegate: start-up and its driver check, launching, watching and
// stopping the screen server, quitting, the login item, the distributed notifications between
// the host and the screen server, connect and disconnect requests, disconnect-all, the display
// limit, and the status tick with auto-connect.
//
// What it reaches outside the host's own objects is an environment given at construction
// (posting, launching, process lookup, kext information, clock, alerts, view manager, thread
// start), so tests drive it without platformd.
#pragma once

#include "host/QNBDisplayModelManager.h"

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

namespace ns {
class NSBundle;
class NSNetService;
class NSTimer;
} // namespace ns

namespace dispatch {
class Source;
} // namespace dispatch

namespace foundation {
class QNBPreferences;
} // namespace foundation

namespace host {

class HostAlerts;
class QNBBonjourManager;
class QNBViewManagerInterface;

class QNBAppDelegate final : public appkit::NSApplicationDelegate,
                             public appkit::BITHockeyManagerDelegate,
                             public std::enable_shared_from_this<QNBAppDelegate> {
  public:
    using ModelPtr = QNBDisplayModelManager::ModelPtr;
    using Models = QNBDisplayModelManager::Models;
    using Block = std::function<void()>;
    using Handler = void (QNBAppDelegate::*)(const ns::NSNotification&);

    // The crash-reporting service's identifier for the host, and the maker's name.
    static constexpr const char* kCrashReporterIdentifier = "a4c09e7b31d25f86e0b9c4d7f2a61e38";
    static constexpr const char* kCompanyName = "Quenby";
    static constexpr const char* kDriverBundleIdentifiers[] = {"com.quenby.QNExVideo",
                                                               "com.quenby.QNExFramebuffer"};
    static constexpr double kWatchdogInterval = 10.0;
    static constexpr double kConnectionStatusInterval = 3.0;
    static constexpr double kAutoConnectInterval = 3.0;
    static constexpr double kAutoConnectPause = 0.25;
    static constexpr double kDisconnectAllPause = 0.1;
    static constexpr unsigned kProcessSlots = 10;
    static constexpr double kTerminateWait = 0.4; // after the terminate notification
    static constexpr double kKillWait = 0.2;      // between SIGTERM and SIGKILL

    struct Environment {
        std::shared_ptr<appkit::NSApplication> application;
        // The host's bundle: its resources, Info.plist and path.
        std::shared_ptr<ns::NSBundle> bundle;
        foundation::QNBPreferences* preferences = nullptr;
        std::shared_ptr<QNBDisplayModelManager> displayModelManager;
        std::shared_ptr<QNBBonjourManager> bonjourManager;
        // Made at launch (the view manager builds the status item and popover).
        std::function<std::shared_ptr<QNBViewManagerInterface>()> makeViewManager;
        std::shared_ptr<HostAlerts> alerts;

        // Distributed posts (object null) and observations (object filter none).
        std::function<void(const std::string& name, const std::optional<cf::Value>& userInfo,
                           uint64_t options)>
            post;
        std::function<void(const std::string& name, std::function<void(const ns::NSNotification&)> block)>
            observe;
        // In-process observations on the default centre.
        std::function<void(const std::string& name, std::function<void(const ns::NSNotification&)> block)>
            observeLocal;

        // Whether a file is there (the screen server's bundle, once found among the resources).
        std::function<bool(const std::string& path)> fileExists;
        // The workspace's launch of an application bundle, and its opening of a URL.
        std::function<bool(const std::string& path)> launchApplication;
        std::function<bool(const std::string& url)> openURL;
        // GetAllPIDsForProcessName and kill(2).
        std::function<int(const char* name, int32_t* pids, unsigned capacity, unsigned* count, int* error)>
            lookupProcesses;
        std::function<void(int32_t pid, int signal)> sendSignal;
        // The kernel-extension manager: loaded kexts of the identifiers, installed kext URL.
        std::function<std::optional<cf::Value>(const cf::Value& identifiers)> loadedKextInfo;
        std::function<std::optional<std::string>(const std::string& identifier)> installedKextURL;
        // Login items of the user, by the application's file URL.
        std::function<void(const std::string& url)> addLoginItem;
        std::function<void(const std::string& url)> deleteLoginItem;

        // Clock: wall time, and sleeping the calling thread.
        std::function<double()> wallNow;
        std::function<void(double seconds)> sleepFor;
        // A new background thread, and the queues.
        std::function<void(Block)> startThread;
        std::function<void(Block)> runOnGlobalQueue;
        // Runs the block on the main thread and waits for it (at once on the main thread).
        std::function<void(Block)> performOnMainThreadAndWait;
        // The updater's activation (first thing at start-up) and the system version text.
        std::function<void()> activateUpdater;
        std::function<std::optional<std::string>()> systemVersion;
        // How many running applications have the bundle identifier.
        std::function<size_t(const std::string& bundleIdentifier)> runningApplicationCount;

        // platformd's centres and workspace, the process's application, bundle, preferences,
        // shared managers and alerts, the process clock and threads.
        static Environment standard();
    };

    static std::shared_ptr<QNBAppDelegate> make(Environment environment);
    explicit QNBAppDelegate(Environment environment);
    ~QNBAppDelegate() override;

    // ---- Application life ------------------------------------------------------------------
    void applicationDidFinishLaunching(const ns::NSNotification& notification) override;
    void applicationWillTerminate(const ns::NSNotification& notification) override;
    void applicationDidBecomeActive(const ns::NSNotification& notification);
    void applicationDidResignActive(const ns::NSNotification& notification);
    void hostStartup();
    void showMainApplicationWindowForCrashManager() {}

    // ---- The screen server ------------------------------------------------------------------
    void startServerProcess();
    void killServerProcess();
    void virtualScreenOff();
    void restartServerProcess();
    void startVirtualScreenIfNotRunning();
    void launchWatchdogTimer();
    void launchPeriodicConnectionStatusTimer();
    void toggleLoginItemWithPreference();
    // The stop sequence, then quit; what SIGTERM leads to, once.
    void terminateApplication();
    void updaterWillInstallUpdate(const ns::NSNotification& notification);

    std::optional<std::string> aboutURL() const;
    std::optional<std::string> helpURL() const;
    std::optional<std::string> installerURL() const;
    void openAboutURL();
    void openHelpURL();
    void openGetInstallerURL();
    void validateURLs();
    // A second copy of the host tells the user so and quits.
    void exitDuplicateInstances();

    // ---- Notifications -------------------------------------------------------------------------
    void processDistributedTerminationRequest(const ns::NSNotification& notification);
    void prefsChangedNotification(const ns::NSNotification& notification);
    void serverConnectedToDeviceNotification(const ns::NSNotification& notification);
    void serverDisconnectedFromDeviceNotification(const ns::NSNotification& notification);
    void hostInformationRequest(const ns::NSNotification& notification);
    void displayHostingResponse(const ns::NSNotification& notification);
    void displayHostingMultiResponse(const ns::NSNotification& notification);
    void remoteDisconnectAllConnectedDisplays(const ns::NSNotification& notification);
    void virtualScreensDidChange(const ns::NSNotification& notification);
    void virtualScreensDidRemoveService(const ns::NSNotification& notification);
    void netServiceTXTRecordChanged(const ns::NSNotification& notification);

    // ---- Requests ------------------------------------------------------------------------------
    void connectToVirtualScreenWith(const ModelPtr& model);
    void connectVirtualScreenWithAddressString(const std::string& address);
    void disconnectVirtualScreenWith(const ModelPtr& model);
    void disconnectAllConnectedDisplays();
    void disconnectConnectedDisplays(const Models& models);
    bool mediateClientCapabilities(const ModelPtr& model);
    void presentConnectionError();
    // Sends away the displays of old single-connection clients that are in use, telling the
    // user once (not while that alert is already up); YES when any display was sent away.
    bool exileSingleDisplayClients();
    bool exileDisplayModels(const Models& models);
    void refreshAvailableServices();
    void autoConnectDisplays();
    void displayHostingQueryForService(const std::shared_ptr<ns::NSNetService>& service);
    void displayHostingQueryForHostname(const std::optional<std::string>& hostName);
    void connectionStatusCheck();

    // ---- State ---------------------------------------------------------------------------------
    const std::optional<std::string>& screenServerApplication() const { return m_screenServerApplication; }
    double lastAutoConnectDate() const { return m_lastAutoConnectDate.load(); }
    bool autoConnectInProgress() const { return m_autoConnectInProgress.load(); }
    bool automaticallyChecksForUpdates() const { return m_automaticallyChecksForUpdates; }
    void setAutomaticallyChecksForUpdates(bool on) { m_automaticallyChecksForUpdates = on; }
    bool versionDisconnectPanelShowing() const { return m_versionDisconnectPanelShowing; }
    // Kept for a timeout of connection attempts and the driver's installation; nothing uses them.
    std::shared_ptr<ns::NSTimer> connectionAttemptTimeoutTimer() const {
        return m_connectionAttemptTimeoutTimer.lock();
    }
    void setConnectionAttemptTimeoutTimer(std::weak_ptr<ns::NSTimer> timer) {
        m_connectionAttemptTimeoutTimer = std::move(timer);
    }
    bool videoDriverInstalled() const { return m_videoDriverInstalled; }
    void setVideoDriverInstalled(bool installed) { m_videoDriverInstalled = installed; }
    const std::shared_ptr<QNBViewManagerInterface>& viewManager() const { return m_viewManager; }
    bool watchdogRunning() const;
    bool statusTimerRunning() const;
    // Set while no server has answered since a process lookup last found none: auto-connect
    // sends nothing then, as the request would reach nobody and stand as an attempt.
    bool serverAwaited() const { return m_serverAwaited.load(); }

    // The distributed observations of start-up, in order, and the in-process ones.
    static const std::vector<std::pair<std::string, Handler>>& distributedObservations();
    static const std::vector<std::pair<std::string, Handler>>& localObservations();

  private:
    void registerObservers();
    void installTerminationHandler();
    // The process lookup of the screen server (status as GetAllPIDsForProcessName).
    int lookUpServer(int32_t* pids, unsigned* count) const;
    // A server's notification proves it listens: auto-connect may go ahead.
    void serverAnswered();
    std::optional<std::string> urlForInfoKey(const char* key) const;
    std::string localized(const char* text) const;
    bool driversLoaded();
    QNBDisplayModelManager& models() const { return *m_env.displayModelManager; }
    foundation::QNBPreferences& preferences() const;
    void post(const std::string& name, std::optional<cf::Value> userInfo, uint64_t options) const;

    Environment m_env;
    std::shared_ptr<QNBViewManagerInterface> m_viewManager;
    std::optional<std::string> m_screenServerApplication;
    std::weak_ptr<ns::NSTimer> m_watchdogTimer;
    std::weak_ptr<ns::NSTimer> m_connectionStatusTimer;
    std::shared_ptr<dispatch::Source> m_terminationSource;
    std::atomic<double> m_lastAutoConnectDate{0};
    std::atomic<bool> m_autoConnectInProgress{false};
    std::atomic<bool> m_terminating{false};
    std::atomic<bool> m_serverAwaited{false};
    bool m_automaticallyChecksForUpdates = false;
    bool m_observing = false;
    // The delegate's own lock; it guards the version-disconnect alert's flag.
    std::recursive_mutex m_lock;
    bool m_versionDisconnectPanelShowing = false;
    std::weak_ptr<ns::NSTimer> m_connectionAttemptTimeoutTimer;
    bool m_videoDriverInstalled = false;
};

} // namespace host
