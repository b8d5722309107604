#include "host/QNBAppDelegate.h"

#include "host/HostAlerts.h"
#include "host/ProcessLookup.h"
#include "host/QNBBonjourManager.h"
#include "host/QNBViewManager.h"
#include "host/QNBViewManagerInterface.h"
#include "host/TSEUpdater.h"

#include "foundation/FileURL.h"
#include "foundation/QNBLaunchServices.h"
#include "foundation/QNBPreferences.h"
#include "foundation/QNBSystemInformation.h"
#include "foundation/Vocabulary.h"

#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/NSThread.h"
#include "platform/foundation/NSTimer.h"
#include "platform/services/KextManager.h"
#include "platform/services/NSDistributedNotificationCenter.h"
#include "platform/services/NSWorkspace.h"

#include <csignal>
#include <mutex>

namespace host {

namespace {

constexpr uint64_t kDeliverImmediatelyToAllSessions =
    ns::NSNotificationDeliverImmediately | ns::NSNotificationPostToAllSessions;

} // namespace

// ---- The program's environment ---------------------------------------------------------------

QNBAppDelegate::Environment QNBAppDelegate::Environment::standard() {
    Environment e;
    e.application = appkit::NSApplication::sharedApplication();
    e.bundle = ns::NSBundle::mainBundle();
    e.preferences = &foundation::QNBPreferences::sharedAppPrefs();
    e.displayModelManager = QNBDisplayModelManager::sharedInstance();
    e.bonjourManager = QNBBonjourManager::sharedInstance();
    e.makeViewManager = [] { return QNBViewManager::sharedInstance(); };
    e.alerts = std::make_shared<NSAlertHostAlerts>();
    e.post = [](const std::string& name, const std::optional<cf::Value>& userInfo, uint64_t options) {
        ns::NSDistributedNotificationCenter::defaultCenter().postNotificationName(name, std::nullopt,
                                                                                  userInfo, options);
    };
    // Observations last as long as the process.
    auto distributedTokens =
        std::make_shared<std::vector<ns::NSDistributedNotificationCenter::ObserverToken>>();
    e.observe = [distributedTokens](const std::string& name,
                                    std::function<void(const ns::NSNotification&)> block) {
        distributedTokens->push_back(ns::NSDistributedNotificationCenter::defaultCenter().addObserverForName(
            name, std::nullopt, std::move(block)));
    };
    auto localTokens = std::make_shared<std::vector<ns::NSNotificationCenter::ObserverToken>>();
    e.observeLocal = [localTokens](const std::string& name,
                                   std::function<void(const ns::NSNotification&)> block) {
        localTokens->push_back(
            ns::NSNotificationCenter::defaultCenter().addObserverForName(name, nullptr, std::move(block)));
    };
    e.fileExists = [](const std::string& path) {
        return ns::NSFileManager::defaultManager()->fileExistsAtPath(path);
    };
    e.launchApplication = [](const std::string& path) {
        return ns::NSWorkspace::sharedWorkspace().launchApplication(path);
    };
    e.openURL = [](const std::string& url) { return ns::NSWorkspace::sharedWorkspace().openURL(url); };
    e.lookupProcesses = [](const char* name, int32_t* pids, unsigned capacity, unsigned* count, int* error) {
        return GetAllPIDsForProcessName(name, pids, capacity, count, error);
    };
    e.sendSignal = [](int32_t pid, int signal) { ::kill(pid, signal); };
    e.loadedKextInfo = [](const cf::Value& identifiers) {
        return iokit::KextManagerCopyLoadedKextInfo(identifiers, std::nullopt);
    };
    e.installedKextURL = [](const std::string& identifier) {
        return iokit::KextManagerCreateURLForBundleIdentifier(nullptr, identifier);
    };
    e.addLoginItem = [](const std::string& url) { foundation::QNBLaunchServices::addAppAsLoginItem(url); };
    e.deleteLoginItem = [](const std::string& url) {
        foundation::QNBLaunchServices::deleteAppFromLoginItem(url);
    };
    e.wallNow = [] { return platform::wallNow(); };
    e.sleepFor = [](double seconds) { platform::sleepFor(seconds); };
    e.startThread = [](Block block) { ns::NSThread::detachNewThread(std::move(block)); };
    e.runOnGlobalQueue = [](Block block) {
        dispatch::dispatch_async(
            dispatch::dispatch_get_global_queue(dispatch::DISPATCH_QUEUE_PRIORITY_DEFAULT), std::move(block));
    };
    e.performOnMainThreadAndWait = [](Block block) {
        if (ns::NSThread::isMainThread())
            block();
        else
            dispatch::dispatch_sync(dispatch::dispatch_get_main_queue(), std::move(block));
    };
    e.activateUpdater = [] { TSEUpdater::activate(); };
    e.systemVersion = [] { return foundation::QNBSystemInformation::getSystemVersion(); };
    e.runningApplicationCount = [](const std::string& bundleIdentifier) {
        return ns::NSWorkspace::sharedWorkspace()
            .runningApplicationsWithBundleIdentifier(bundleIdentifier)
            .size();
    };
    return e;
}

// ---- Making ----------------------------------------------------------------------------------

std::shared_ptr<QNBAppDelegate> QNBAppDelegate::make(Environment environment) {
    auto delegate = std::make_shared<QNBAppDelegate>(std::move(environment));
    std::weak_ptr<QNBAppDelegate> weak = delegate;
    if (auto& models = delegate->m_env.displayModelManager) {
        models->setAlerts(delegate->m_env.alerts);
        models->setConnector([weak](const ModelPtr& model) {
            if (auto self = weak.lock()) self->connectToVirtualScreenWith(model);
        });
    }
    if (auto& bonjour = delegate->m_env.bonjourManager)
        bonjour->setDisplayHostingQuery([weak](const std::shared_ptr<ns::NSNetService>& service) {
            if (auto self = weak.lock()) self->displayHostingQueryForService(service);
        });
    return delegate;
}

QNBAppDelegate::QNBAppDelegate(Environment environment) : m_env(std::move(environment)) {}

QNBAppDelegate::~QNBAppDelegate() {
    if (m_terminationSource) dispatch::dispatch_source_cancel(m_terminationSource);
    if (auto timer = m_watchdogTimer.lock()) timer->invalidate();
    if (auto timer = m_connectionStatusTimer.lock()) timer->invalidate();
}

foundation::QNBPreferences& QNBAppDelegate::preferences() const {
    return m_env.preferences ? *m_env.preferences : foundation::QNBPreferences::sharedAppPrefs();
}

void QNBAppDelegate::post(const std::string& name, std::optional<cf::Value> userInfo,
                          uint64_t options) const {
    if (m_env.post) m_env.post(name, userInfo, options);
}

std::string QNBAppDelegate::localized(const char* text) const {
    return m_env.bundle ? m_env.bundle->localizedStringForKey(text, std::nullopt, std::nullopt)
                        : std::string(text);
}

// ---- Launch ----------------------------------------------------------------------------------

void QNBAppDelegate::applicationDidFinishLaunching(const ns::NSNotification&) {
    auto& crashReporter = appkit::BITHockeyManager::sharedHockeyManager();
    crashReporter.configureWithIdentifier(kCrashReporterIdentifier, kCompanyName, weak_from_this());
    crashReporter.startManager();
    m_lastAutoConnectDate = m_env.wallNow ? m_env.wallNow() : platform::wallNow();
    m_autoConnectInProgress = false;
    {
        std::lock_guard lock(m_lock);
        m_versionDisconnectPanelShowing = false;
    }
    if (m_env.application)
        m_env.application->setActivationPolicy(appkit::NSApplicationActivationPolicyAccessory);
    if (m_env.makeViewManager) m_viewManager = m_env.makeViewManager();
    if (m_env.displayModelManager) m_env.displayModelManager->setViewManager(m_viewManager);
    hostStartup();
}

void QNBAppDelegate::hostStartup() {
    if (m_env.activateUpdater) m_env.activateUpdater();
    preferences().setupDefaultPreferenceValues();
    if (driversLoaded()) {
        registerObservers();
        auto path = m_env.bundle
                        ? m_env.bundle->pathForResource(foundation::kTSEScreenServerApplicationName, "app")
                        : std::nullopt;
        if (!path) {
            platform::log("Screen server application path is nil");
        } else {
            m_screenServerApplication = path;
            if (m_env.fileExists && !m_env.fileExists(*path)) {
                const std::string text = localized(
                    "Critical application resources are missing.  Please re-install this application.");
                platform::log("Screen server application not found at path: %@", *path);
                platform::log("%@", text);
                if (m_env.alerts)
                    m_env.alerts->runModal(localized(foundation::kQNBTesselHostApplicationName), text,
                                           {localized("Quit")});
                platform::log("Exitting");
                if (m_env.application) m_env.application->terminate();
                return;
            }
        }
        validateURLs();
        if (m_env.bonjourManager) m_env.bonjourManager->startBonjourBrowsing();
        startVirtualScreenIfNotRunning();
        launchWatchdogTimer();
        launchPeriodicConnectionStatusTimer();
    }
    toggleLoginItemWithPreference();
    platform::log("Tessel Host startup");
}

bool QNBAppDelegate::driversLoaded() {
    cf::Array identifiers;
    for (const char* identifier : kDriverBundleIdentifiers)
        identifiers.emplace_back(identifier);
    auto loaded = m_env.loadedKextInfo ? m_env.loadedKextInfo(cf::Value(identifiers)) : std::nullopt;
    bool missing = false;
    for (const char* identifier : kDriverBundleIdentifiers)
        if (!loaded || !loaded->isDictionary() || !loaded->find(identifier)) missing = true;
    if (!missing) return true;
    int installed = 0;
    for (const char* identifier : kDriverBundleIdentifiers)
        if (m_env.installedKextURL && m_env.installedKextURL(identifier)) ++installed;
    if (m_viewManager) {
        if (installed == 2)
            m_viewManager->showAllowDriversView();
        else
            m_viewManager->showInstallDriversView();
    }
    return false;
}

// ---- The screen server -------------------------------------------------------------------------

void QNBAppDelegate::installTerminationHandler() {
    if (m_terminationSource) return;
    // Through a dispatch signal source, not a handler of its own: a handler may do only
    // async-signal-safe work, and the stop sequence posts, logs and sleeps. The handler only
    // feeds the source; the stop sequence and the quit run on the main queue like everything
    // else here.
    m_terminationSource = dispatch::dispatch_source_create(dispatch::DISPATCH_SOURCE_TYPE_SIGNAL, SIGTERM, 0,
                                                           dispatch::dispatch_get_main_queue());
    std::weak_ptr<QNBAppDelegate> weak = weak_from_this();
    dispatch::dispatch_source_set_event_handler(m_terminationSource, [weak] {
        if (auto self = weak.lock()) self->terminateApplication();
    });
    dispatch::dispatch_resume(m_terminationSource);
}

void QNBAppDelegate::startServerProcess() {
    platform::log("Starting screen server process");
    platform::log("startServerProcess");
    installTerminationHandler();
    if (m_screenServerApplication && m_env.launchApplication)
        m_env.launchApplication(*m_screenServerApplication);
}

int QNBAppDelegate::lookUpServer(int32_t* pids, unsigned* count) const {
    int error = 0;
    return m_env.lookupProcesses ? m_env.lookupProcesses(foundation::kTSEScreenServerApplicationNameCString,
                                                         pids, kProcessSlots, count, &error)
                                 : -2;
}

void QNBAppDelegate::startVirtualScreenIfNotRunning() {
    int32_t pids[kProcessSlots] = {};
    unsigned count = 0;
    const int status = lookUpServer(pids, &count);
    const uint64_t state = preferences().currentState();
    if (status == -1) {
        m_serverAwaited = true;
        startServerProcess();
        preferences().setCurrentState(1);
    } else if (status == 0) {
        if (state != 1) preferences().setCurrentState(1);
        if (count >= 2) platform::log("Warning: Limner has multiple processes running.");
    }
}

void QNBAppDelegate::killServerProcess() {
    post(foundation::kTerminateScreenServer, std::nullopt, kDeliverImmediatelyToAllSessions);
    if (m_env.sleepFor) m_env.sleepFor(kTerminateWait);
    int32_t pids[kProcessSlots] = {};
    unsigned count = 0;
    if (lookUpServer(pids, &count) != 0) return;
    for (unsigned i = 0; i < count; ++i)
        if (m_env.sendSignal) m_env.sendSignal(pids[i], SIGTERM);
    if (m_env.sleepFor) m_env.sleepFor(kKillWait);
    for (unsigned i = 0; i < count; ++i)
        if (m_env.sendSignal) m_env.sendSignal(pids[i], SIGKILL);
}

void QNBAppDelegate::virtualScreenOff() {
    killServerProcess();
}

void QNBAppDelegate::restartServerProcess() {
    killServerProcess();
    startServerProcess();
}

void QNBAppDelegate::terminateApplication() {
    // Further SIGTERMs while the first is handled change nothing.
    if (m_terminating.exchange(true)) return;
    killServerProcess();
    if (m_env.application) m_env.application->terminate();
}

void QNBAppDelegate::updaterWillInstallUpdate(const ns::NSNotification&) {
    killServerProcess();
}

void QNBAppDelegate::launchWatchdogTimer() {
    std::weak_ptr<QNBAppDelegate> weak = weak_from_this();
    auto timer = ns::NSTimer::scheduledTimerWithTimeInterval(kWatchdogInterval, true, [weak](ns::NSTimer& t) {
        if (auto self = weak.lock())
            self->startVirtualScreenIfNotRunning();
        else
            t.invalidate();
    });
    if (auto held = m_watchdogTimer.lock(); held && held != timer) held->invalidate();
    m_watchdogTimer = timer;
}

void QNBAppDelegate::launchPeriodicConnectionStatusTimer() {
    std::weak_ptr<QNBAppDelegate> weak = weak_from_this();
    m_connectionStatusTimer =
        ns::NSTimer::scheduledTimerWithTimeInterval(kConnectionStatusInterval, true, [weak](ns::NSTimer& t) {
            if (auto self = weak.lock())
                self->connectionStatusCheck();
            else
                t.invalidate();
        });
}

bool QNBAppDelegate::watchdogRunning() const {
    auto timer = m_watchdogTimer.lock();
    return timer && timer->isValid();
}

bool QNBAppDelegate::statusTimerRunning() const {
    auto timer = m_connectionStatusTimer.lock();
    return timer && timer->isValid();
}

// ---- Quitting, activation, the login item ------------------------------------------------------

void QNBAppDelegate::applicationWillTerminate(const ns::NSNotification&) {
    virtualScreenOff();
    preferences().synchronize();
    if (m_env.displayModelManager) m_env.displayModelManager->archiveDisplayModels();
    if (m_viewManager) m_viewManager->removeStatusItem();
}

void QNBAppDelegate::applicationDidBecomeActive(const ns::NSNotification&) {
    if (m_viewManager) m_viewManager->activateMenuletPopover();
}

void QNBAppDelegate::applicationDidResignActive(const ns::NSNotification&) {
    if (m_viewManager) m_viewManager->closeMenuletPopover();
}

void QNBAppDelegate::toggleLoginItemWithPreference() {
    if (!m_env.bundle) return;
    const std::string url = foundation::fileURLWithPath(m_env.bundle->bundlePath(), true);
    // The stored choice: the plain start-at-login flag is never set, and would remove the
    // host's login item at every start.
    if (preferences().startAtLogin()) {
        if (m_env.addLoginItem) m_env.addLoginItem(url);
    } else if (m_env.deleteLoginItem) {
        m_env.deleteLoginItem(url);
    }
}

// ---- Addresses of the bundle -------------------------------------------------------------------

std::optional<std::string> QNBAppDelegate::urlForInfoKey(const char* key) const {
    if (!m_env.bundle) return std::nullopt;
    auto value = m_env.bundle->objectForInfoDictionaryKey(key);
    if (!value || !value->asString() || value->asString()->empty()) return std::nullopt;
    return *value->asString();
}

std::optional<std::string> QNBAppDelegate::aboutURL() const {
    return urlForInfoKey("QNBAboutURL");
}
std::optional<std::string> QNBAppDelegate::helpURL() const {
    return urlForInfoKey("QNBHelpURL");
}
std::optional<std::string> QNBAppDelegate::installerURL() const {
    return urlForInfoKey("QNBInstallerURL");
}

void QNBAppDelegate::openAboutURL() {
    if (auto url = aboutURL(); url && m_env.openURL) m_env.openURL(*url);
}
void QNBAppDelegate::openHelpURL() {
    if (auto url = helpURL(); url && m_env.openURL) m_env.openURL(*url);
}
void QNBAppDelegate::openGetInstallerURL() {
    if (auto url = installerURL(); url && m_env.openURL) m_env.openURL(*url);
}

void QNBAppDelegate::validateURLs() {
    if (!installerURL()) platform::log("Installer URL string is nil");
    if (!helpURL()) platform::log("Help URL string is nil");
    if (!aboutURL()) platform::log("About URL string is nil");
}

void QNBAppDelegate::exitDuplicateInstances() {
    // This copy counts itself: one more than itself is a duplicate.
    if (!m_env.runningApplicationCount || m_env.runningApplicationCount(foundation::kApplicationID) <= 1)
        return;
    if (m_env.alerts)
        m_env.alerts->runModal(localized("Another copy of Tessel is already running."),
                               localized("This copy will now quit."));
    if (m_env.application) m_env.application->terminate();
}

} // namespace host
