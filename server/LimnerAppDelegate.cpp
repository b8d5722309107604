#include "server/LimnerAppDelegate.h"

#include "display/QNBDisplayConfiguration.h"
#include "display/QNBScreen.h"
#include "server/ScreenServer.h"
#include "server/ScreenServerMediator.h"

#include "foundation/QNBDisplayQuery.h"
#include "foundation/QNBPreferences.h"
#include "foundation/QNBRegistryExplorer.h"
#include "foundation/SystemVersion.h"
#include "foundation/TSELogging.h"
#include "foundation/Vocabulary.h"

#include "platform/core/Clock.h"
#include "platform/core/Log.h"
#include "platform/corefoundation/NSUserDefaults.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/services/NSDistributedNotificationCenter.h"

#include <mutex>

namespace server {

namespace {

constexpr char kWorkspaceSessionDidBecomeActive[] = "NSWorkspaceSessionDidBecomeActiveNotification";
constexpr char kWorkspaceSessionDidResignActive[] = "NSWorkspaceSessionDidResignActiveNotification";
constexpr uint32_t kSystemVersion10_7 = 0x0A0700;
constexpr uint64_t kPostToAllSessions = ns::NSNotificationPostToAllSessions;
constexpr uint64_t kDeliverImmediatelyToAllSessions = 3;

std::optional<std::string> textIn(const std::optional<cf::Value>& userInfo, std::string_view key) {
    if (!userInfo || !userInfo->isDictionary()) return std::nullopt;
    const cf::Value* value = userInfo->find(key);
    if (!value || !value->asString()) return std::nullopt;
    return *value->asString();
}

const char* yesNo(bool flag) {
    return flag ? "YES" : "NO";
}

} // namespace

LimnerAppDelegate::Environment LimnerAppDelegate::Environment::standard() {
    Environment e;
    e.application = appkit::NSApplication::sharedApplication();
    e.makeMediator = [] { return ScreenServerMediator::sharedInstance(); };
    e.driverInstalled = [] {
        foundation::QNBRegistryExplorer explorer;
        explorer.setCurrentPlane(std::string("IOService"));
        return explorer.findNamedIORegistryService("QNExGFX").has_value();
    };
    e.displayConfiguration = display::QNBDisplayConfiguration::displayConfigurationManager();
    e.post = [](const std::string& name, const std::optional<cf::Value>& userInfo, uint64_t options) {
        ns::NSDistributedNotificationCenter::defaultCenter().postNotificationName(name, std::nullopt,
                                                                                  userInfo, options);
    };
    struct Observations {
        std::mutex mutex;
        std::vector<ns::NSDistributedNotificationCenter::ObserverToken> tokens;
    };
    auto observations = std::make_shared<Observations>();
    e.observe = [observations](const std::string& name,
                               std::function<void(const ns::NSNotification&)> block) {
        auto token = ns::NSDistributedNotificationCenter::defaultCenter().addObserverForName(
            name, std::nullopt, std::move(block));
        std::lock_guard lock(observations->mutex);
        observations->tokens.push_back(token);
    };
    e.removeObservers = [observations] {
        std::vector<ns::NSDistributedNotificationCenter::ObserverToken> tokens;
        {
            std::lock_guard lock(observations->mutex);
            tokens.swap(observations->tokens);
        }
        for (const auto& token : tokens)
            ns::NSDistributedNotificationCenter::defaultCenter().removeObserver(token);
    };
    e.runOnMainQueue = [](Block block) {
        dispatch::dispatch_async(dispatch::dispatch_get_main_queue(), std::move(block));
    };
    e.runOnGlobalQueue = [](Block block) {
        dispatch::dispatch_async(dispatch::dispatch_get_global_queue(0), std::move(block));
    };
    e.wallNow = [] { return platform::wallNow(); };
    e.activateDisplay = [](ScreenServer& server) { server.activateDisplay(); };
    e.systemVersion = [] { return foundation::BCDSystemVersionFunction(); };
    e.preferences = &foundation::QNBPreferences::sharedAppPrefs();
    e.graphicsSwitchingFreezes = [] { return computerFreezesWithGraphicsSwitching(); };
    return e;
}

std::shared_ptr<LimnerAppDelegate> LimnerAppDelegate::make(Environment environment) {
    return std::make_shared<LimnerAppDelegate>(std::move(environment));
}

LimnerAppDelegate::LimnerAppDelegate(Environment environment) : m_env(std::move(environment)) {}

LimnerAppDelegate::~LimnerAppDelegate() {
    if (m_env.removeObservers) m_env.removeObservers();
    ns::NSNotificationCenter::defaultCenter().removeObserver(static_cast<const void*>(this));
    // The check thread's loop would run on with nothing to check.
    std::lock_guard lock(m_clientWindowLock);
    if (m_clientWindowRunLoop) m_clientWindowRunLoop->stop();
}

std::shared_ptr<ScreenServerMediator> LimnerAppDelegate::mediator() const {
    return screenServerMediator();
}

foundation::QNBPreferences& LimnerAppDelegate::preferences() const {
    return m_env.preferences ? *m_env.preferences : foundation::QNBPreferences::sharedAppPrefs();
}

const std::vector<std::pair<std::string, LimnerAppDelegate::Handler>>&
LimnerAppDelegate::distributedObservations() {
    static const std::vector<std::pair<std::string, Handler>> observations = {
        {foundation::kTerminateScreenServer, &LimnerAppDelegate::processDistributedTerminationRequest},
        {foundation::kConnectServerToHost, &LimnerAppDelegate::connectServerToHost},
        {foundation::kDisconnectCurrentServerFromHost,
         &LimnerAppDelegate::disconnectCurrentServerWithNotification},
        {foundation::kPrefsDidChangeNotification, &LimnerAppDelegate::preferencesChanged},
        {foundation::kDisplayHostingQuery, &LimnerAppDelegate::hostRequestedDisplayHostingQuery},
        {foundation::kDisplayHostingMultiQuery, &LimnerAppDelegate::hostRequestedDisplayHostingMultiQuery},
        {foundation::kServerConnectedToDevice, &LimnerAppDelegate::serverConnectedToDevice},
        {foundation::kServerDisconnectedFromDevice, &LimnerAppDelegate::serverDisconnectedFromDevice},
        {kWorkspaceSessionDidBecomeActive, &LimnerAppDelegate::switchHandler},
        {kWorkspaceSessionDidResignActive, &LimnerAppDelegate::switchHandler},
        {foundation::kSetDisplayIDForHost, &LimnerAppDelegate::setDisplayIDForHost},
    };
    return observations;
}

// ---- Start-up and shutdown ------------------------------------------------------------------

void LimnerAppDelegate::applicationDidFinishLaunching(const ns::NSNotification&) {
    // 1. The crash reporter.
    auto& crashReporter = appkit::BITHockeyManager::sharedHockeyManager();
    crashReporter.configureWithIdentifier(kCrashReporterIdentifier, kCompanyName, weak_from_this());
    crashReporter.startManager();
    // 2.-3.
    doInitializations();
    auto defaults = ns::NSUserDefaults::standardUserDefaults();
    if (defaults->boolForKey("VerboseLogging")) foundation::EnableLoggingScreenRectangleLogging();
    // 4. No Dock icon. The main menu, loaded with the main interface file in a bundle's program.
    if (m_env.application) {
        m_env.application->setActivationPolicy(appkit::NSApplicationActivationPolicyAccessory);
        m_env.application->setMainMenu(mainMenu());
    }
    // 5.-6. The mediator listens, then the user clients open; their result is not looked at.
    auto mediator = m_env.makeMediator ? m_env.makeMediator() : nullptr;
    setScreenServerMediator(mediator);
    if (mediator) {
        platform::Error error;
        mediator->setupUserClientWithError(&error);
    }
    // 7.
    warnAboutGraphicsSwitching();
    // 8.
    defaults->synchronize();
    // 9. Without the virtual graphics card there is nothing to serve.
    if (m_env.driverInstalled && !m_env.driverInstalled()) {
        platform::log("Tessel Server exiting because no driver installed.");
        if (m_env.application) m_env.application->terminate();
        return;
    }
    // 10.
    if (m_env.displayConfiguration) {
        m_env.displayConfiguration->startListeningForDevice(display::QNBScreen::virtualDisplayNameString());
        m_env.displayConfiguration->setSendNotifications(true);
    }
    // 11.
    registerDistributedObservers();
    // 12.
    m_frameBufferAddress = 0;
    m_frameBufferSize = 0;
}

void LimnerAppDelegate::doInitializations() {
    m_previousHiDPIState = preferences().enableHiDPIResolutions();
    m_shouldUpdateHiDPIState = false;
    // The display side asks the application's answer through a process-wide switch.
    display::setTransmitsRetinaGraphics(transmitsRetinaGraphics());
}

void LimnerAppDelegate::registerDistributedObservers() {
    if (!m_env.observe || m_observing.exchange(true)) return;
    std::weak_ptr<LimnerAppDelegate> weak = weak_from_this();
    for (const auto& [name, handler] : distributedObservations()) {
        Handler h = handler;
        m_env.observe(name, [weak, h](const ns::NSNotification& notification) {
            if (auto self = weak.lock()) ((*self).*h)(notification);
        });
    }
}

void LimnerAppDelegate::applicationWillTerminate(const ns::NSNotification&) {
    const bool lionOrLater = !m_env.systemVersion || m_env.systemVersion() >= kSystemVersion10_7;
    if (lionOrLater && m_env.displayConfiguration) m_env.displayConfiguration->setSendNotifications(false);
    // Ends the mirror windows' and the check thread's observations; repeating it is harmless.
    if (lionOrLater) ns::NSNotificationCenter::defaultCenter().removeObserver(static_cast<const void*>(this));
    if (m_env.displayConfiguration) m_env.displayConfiguration->stopListening();
    // A second stop repeats nothing at the driver: closed connections leave empty slots.
    if (auto m = mediator()) m->stop();
}

// ---- Distributed notifications --------------------------------------------------------------

void LimnerAppDelegate::processDistributedTerminationRequest(const ns::NSNotification& notification) {
    applicationWillTerminate(notification);
    if (m_env.application) m_env.application->terminate();
}

void LimnerAppDelegate::connectServerToHost(const ns::NSNotification& notification) {
    if (!notification.userInfo) return;
    if (!notification.userInfo->isDictionary()) {
        platform::log("Refusing connect request: its userInfo is not a dictionary");
        return;
    }
    cf::Dictionary request = *notification.userInfo->asDictionary();
    request.insert_or_assign(foundation::kConnectionInviteDate,
                             cf::Value::date(m_env.wallNow ? m_env.wallNow() : platform::wallNow()));
    auto m = mediator();
    if (!m) return;
    cf::Value copy(std::move(request));
    auto work = [m, copy] { m->connectToScreenServerWithDictionary(copy); };
    if (m_env.runOnGlobalQueue)
        m_env.runOnGlobalQueue(work);
    else
        work();
}

void LimnerAppDelegate::disconnectCurrentServerWithNotification(const ns::NSNotification& notification) {
    if (auto m = mediator()) m->shutdownWithDictionary(notification.userInfo);
}

void LimnerAppDelegate::preferencesChanged(const ns::NSNotification&) {
    preferencesDidChange();
}

void LimnerAppDelegate::hostRequestedDisplayHostingQuery(const ns::NSNotification& notification) {
    auto name = textIn(notification.userInfo, foundation::kDeviceNameKey);
    if (!name) return;
    auto m = mediator();
    auto server = m ? m->serverForHostName(*name) : nullptr;
    cf::Dictionary answer{
        {foundation::kDisplayHostingResponseKey, yesNo(server != nullptr)},
        {foundation::kDisplayHostingConnectedKey, yesNo(server && server->isActive())},
        {foundation::kDeviceNameKey, *name},
        // "" also for a session that has no identifier: the key always holds a text.
        {foundation::kDeviceIdentifier, server ? server->deviceIdentifier().value_or("") : std::string()},
    };
    auto post = m_env.post;
    cf::Value userInfo(std::move(answer));
    m_env.runOnMainQueue([post, userInfo] {
        if (post) post(foundation::kDisplayHostingResponse, userInfo, kPostToAllSessions);
    });
}

void LimnerAppDelegate::hostRequestedDisplayHostingMultiQuery(const ns::NSNotification&) {
    auto m = mediator();
    if (!m) return;
    std::vector<std::shared_ptr<foundation::QNBDisplayQuery>> queries;
    for (const auto& server : m->allServers()) {
        auto query = std::make_shared<foundation::QNBDisplayQuery>();
        query->setHosted(true);
        query->setConnected(server->isActive());
        query->setBackground(server->isInBackground());
        query->setDeviceIdentifier(server->deviceIdentifier());
        query->setHasUSBMechanism(server->isUSB());
        query->setDisplayName(server->connectedDisplayName());
        query->setHostName(server->connectedHostName());
        query->setServiceKey(server->connectedServiceKey());
        query->setAddressIdentifier(server->connectedAddressIdentifier());
        queries.push_back(query);
    }
    if (queries.empty()) return;
    auto post = m_env.post;
    cf::Value userInfo = foundation::QNBDisplayQuery::dictionaryWithQueries(queries);
    m_env.runOnMainQueue([post, userInfo] {
        if (post) post(foundation::kDisplayHostingMultiResponse, userInfo, kPostToAllSessions);
    });
}

void LimnerAppDelegate::serverConnectedToDevice(const ns::NSNotification& notification) {
    serverDidConnectToDevice(notification.userInfo);
}

void LimnerAppDelegate::serverDisconnectedFromDevice(const ns::NSNotification&) {}

void LimnerAppDelegate::switchHandler(const ns::NSNotification&) {}

void LimnerAppDelegate::setDisplayIDForHost(const ns::NSNotification& notification) {
    platform::log("Set : %@",
                  notification.userInfo ? notification.userInfo->description() : std::string("(null)"));
}

void LimnerAppDelegate::serverDidConnectToDevice(const std::optional<cf::Value>&) {
    preferencesDidChangeUpdateResolutions(false);
    negotiateWithClients();
    showRetinaPerformanceAlerts();
}

void LimnerAppDelegate::negotiateWithClients() {
    auto m = mediator();
    if (!m) return;
    auto& prefs = preferences();
    m->sendClientsNegotiationOf(prefs.enableKeyboardInput() ? 3 : 4, 2);
    m->sendClientsNegotiationOf(prefs.enableTouchDisplay() ? 3 : 4, 1);
}

void LimnerAppDelegate::preferencesDidChange() {
    bool hiDPI = preferences().enableHiDPIResolutions();
    if (!hiDPI && m_previousHiDPIState) m_shouldUpdateHiDPIState = true;
    preferencesDidChangeUpdateResolutions(true);
    m_previousHiDPIState = hiDPI;
}

void LimnerAppDelegate::preferencesDidChangeUpdateResolutions(bool activate) {
    auto& prefs = preferences();
    prefs.synchronize();
    if (m_env.displayConfiguration)
        m_env.displayConfiguration->setWindowsOfInterestSupport(prefs.autoMoveWindowsBackOption());
    bool localWindow = prefs.displayLocalClientWindow();
    bool retina = prefs.retinaResolutionsEnabled();
    if (auto m = mediator()) {
        for (const auto& server : m->allServers()) {
            server->setDisplayLocalClientWindow(localWindow);
            bool neededRetina = server->needToEnableRetinaResolutions();
            if (neededRetina) server->enableRetinaResolutions(retina, false);
            if (server->isActive() &&
                (neededRetina || server->needToEnableHiDPI() || m_shouldUpdateHiDPIState) && activate &&
                m_env.activateDisplay)
                m_env.activateDisplay(*server);
        }
    }
    m_shouldUpdateHiDPIState = false;
    negotiateWithClients();
}

void LimnerAppDelegate::disconnectAllConnections(appkit::NSActionTarget*) {
    if (m_env.application)
        m_env.application->setActivationPolicy(appkit::NSApplicationActivationPolicyAccessory);
    auto post = m_env.post;
    m_env.runOnMainQueue([post] {
        if (post)
            post(foundation::kDisconnectAllConnectedDisplays, cf::Value::emptyDictionary(),
                 kDeliverImmediatelyToAllSessions);
    });
}

void LimnerAppDelegate::sendInvite(const net::SocketAddress& address) {
    if (auto m = mediator()) m->sendInvite(address);
}

} // namespace server
