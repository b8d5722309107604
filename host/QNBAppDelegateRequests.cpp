// The application delegate's side of the traffic with the screen server: observed
// notifications and their handlers, connect and disconnect requests, disconnect-all, the
// display limit, and the status tick with auto-connect.
#include "host/QNBAppDelegate.h"

#include "host/HostAlerts.h"
#include "host/QNBBonjourManager.h"
#include "host/QNBViewManagerInterface.h"
#include "host/TSEUpdater.h"
#include "host/UserInfo.h"

#include "foundation/QNBBonjourServiceHelper.h"
#include "foundation/QNBDisplayQuery.h"
#include "foundation/QNBPreferences.h"
#include "foundation/Vocabulary.h"

#include "platform/core/Format.h"
#include "platform/core/Log.h"
#include "platform/foundation/NSBundle.h"
#include "platform/services/NSDistributedNotificationCenter.h"
#include "platform/services/NSNetService.h"

#include <cmath>

namespace host {

namespace {

constexpr uint64_t kDeliverImmediatelyToAllSessions =
    ns::NSNotificationDeliverImmediately | ns::NSNotificationPostToAllSessions;

} // namespace

const std::vector<std::pair<std::string, QNBAppDelegate::Handler>>&
QNBAppDelegate::distributedObservations() {
    static const std::vector<std::pair<std::string, Handler>> observations = {
        {foundation::kTerminateMenuExtra, &QNBAppDelegate::processDistributedTerminationRequest},
        {foundation::kPrefsDidChangeNotification, &QNBAppDelegate::prefsChangedNotification},
        {foundation::kServerConnectedToDevice, &QNBAppDelegate::serverConnectedToDeviceNotification},
        {foundation::kServerDisconnectedFromDevice,
         &QNBAppDelegate::serverDisconnectedFromDeviceNotification},
        {foundation::kInformationRequestFromHost, &QNBAppDelegate::hostInformationRequest},
        {foundation::kDisplayHostingResponse, &QNBAppDelegate::displayHostingResponse},
        {foundation::kDisplayHostingMultiResponse, &QNBAppDelegate::displayHostingMultiResponse},
        {foundation::kDisconnectAllConnectedDisplays, &QNBAppDelegate::remoteDisconnectAllConnectedDisplays},
    };
    return observations;
}

const std::vector<std::pair<std::string, QNBAppDelegate::Handler>>& QNBAppDelegate::localObservations() {
    static const std::vector<std::pair<std::string, Handler>> observations = {
        {kQNBBonjourBrowserDidAddService, &QNBAppDelegate::virtualScreensDidChange},
        {kQNBBonjourBrowserDidRemoveService, &QNBAppDelegate::virtualScreensDidRemoveService},
        {kQNBBonjourBrowserDidUpdateTXTRecord, &QNBAppDelegate::netServiceTXTRecordChanged},
        {kTSEUpdaterWillInstallUpdate, &QNBAppDelegate::updaterWillInstallUpdate},
    };
    return observations;
}

void QNBAppDelegate::registerObservers() {
    if (m_observing) return;
    m_observing = true;
    std::weak_ptr<QNBAppDelegate> weak = weak_from_this();
    auto bind = [weak](Handler handler) {
        return [weak, handler](const ns::NSNotification& notification) {
            if (auto self = weak.lock()) ((*self).*handler)(notification);
        };
    };
    if (m_env.observe)
        for (const auto& [name, handler] : distributedObservations())
            m_env.observe(name, bind(handler));
    if (m_env.observeLocal)
        for (const auto& [name, handler] : localObservations())
            m_env.observeLocal(name, bind(handler));
}

// ---- Handlers ------------------------------------------------------------------------------------

void QNBAppDelegate::processDistributedTerminationRequest(const ns::NSNotification&) {
    if (m_env.application) m_env.application->terminate();
}

void QNBAppDelegate::prefsChangedNotification(const ns::NSNotification&) {
    toggleLoginItemWithPreference();
    preferences().synchronize();
}

void QNBAppDelegate::serverConnectedToDeviceNotification(const ns::NSNotification& notification) {
    if (!notification.userInfo || !notification.userInfo->isDictionary()) return;
    auto reported =
        foundation::QNBDisplayModel::displayModelWithNotificationDictionary(notification.userInfo);
    if (!reported || !reported->uniqueIdentifier()) return; // no identifier: nothing to keep it by
    auto kept = models().addDisplayModel(reported);
    models().localConnectionMadeForDisplayModel(kept);
}

void QNBAppDelegate::serverDisconnectedFromDeviceNotification(const ns::NSNotification& notification) {
    models().localConnectionEndedWithDictionary(notification.userInfo);
}

void QNBAppDelegate::hostInformationRequest(const ns::NSNotification&) {
    std::optional<std::string> version;
    if (m_env.bundle)
        if (auto value = m_env.bundle->objectForInfoDictionaryKey("CFBundleVersion");
            value && value->asString())
            version = *value->asString();
    auto system = m_env.systemVersion ? m_env.systemVersion() : std::nullopt;
    post(foundation::kInformationResponseFromHost,
         cf::Value(cf::Dictionary{{foundation::kHostSystemVersionKey, system.value_or("")},
                                  {foundation::kHostVersionKey, version.value_or("")}}),
         ns::NSNotificationPostToAllSessions);
}

void QNBAppDelegate::displayHostingResponse(const ns::NSNotification& notification) {
    serverAnswered();
    auto name = textIn(notification.userInfo, foundation::kDeviceNameKey);
    auto response = textIn(notification.userInfo, foundation::kDisplayHostingResponseKey);
    if (!name || !response) return;
    auto connected = textIn(notification.userInfo, foundation::kDisplayHostingConnectedKey);
    models().displayHostingUpdateForDeviceName(*name, cf::Value(*response).boolValue(),
                                               connected && cf::Value(*connected).boolValue());
}

void QNBAppDelegate::displayHostingMultiResponse(const ns::NSNotification& notification) {
    models().displayHostingUpdateForDisplayQueries(
        foundation::QNBDisplayQuery::queryArrayWithDictionary(notification.userInfo));
    serverAnswered();
}

void QNBAppDelegate::serverAnswered() {
    // The first answer of a (re)started server: the devices waiting for it need not wait for
    // the next tick.
    if (m_serverAwaited.exchange(false)) refreshAvailableServices();
}

void QNBAppDelegate::remoteDisconnectAllConnectedDisplays(const ns::NSNotification&) {
    disconnectAllConnectedDisplays();
}

void QNBAppDelegate::virtualScreensDidChange(const ns::NSNotification&) {
    refreshAvailableServices();
    post(foundation::kQueryRequestForConnectedHost, std::nullopt, ns::NSNotificationPostToAllSessions);
}

void QNBAppDelegate::virtualScreensDidRemoveService(const ns::NSNotification&) {
    refreshAvailableServices();
}

void QNBAppDelegate::netServiceTXTRecordChanged(const ns::NSNotification&) {
    refreshAvailableServices();
}

// ---- Connect and disconnect ----------------------------------------------------------------------

void QNBAppDelegate::connectToVirtualScreenWith(const ModelPtr& model) {
    if (!model) return;
    if (model->displayMechanism() == foundation::QNBNetworkAddressMechanism) {
        connectVirtualScreenWithAddressString(model->hostName().value_or(""));
        return;
    }
    auto service = model->netService();
    if (!service && m_env.bonjourManager) {
        auto helper = m_env.bonjourManager->resolvedServiceWithServiceKey(model->serviceKey());
        if (!helper) helper = m_env.bonjourManager->unresolvedServiceWithServiceKey(model->serviceKey());
        if (helper) service = helper->service();
    }
    if (!service) {
        platform::log("Net service is nil");
        models().removeDisplayModel(model);
        presentConnectionError();
        return;
    }
    if (auto hostName = service->hostName()) {
        if (!mediateClientCapabilities(model)) return;
        models().removeDeferredConnectionForDisplayModel(model);
        models().removeHostDisconnectionsForDisplayModel(model);
        models().addConnectionAttemptWithDisplayModel(model);
        cf::Dictionary request{{foundation::kConnectToHostName, *hostName}};
        if (model->serviceKey()) request.insert_or_assign(foundation::kServiceKey, *model->serviceKey());
        if (model->displayName())
            request.insert_or_assign(foundation::kDisplayNameKey, *model->displayName());
        post(foundation::kConnectServerToHost, cf::Value(std::move(request)),
             ns::NSNotificationDeliverImmediately);
        return;
    }
    platform::log("Hostname is currently unavailable for service");
    if (model->failedToResolve()) {
        platform::log("Failed to resolve service for deferred connection");
        models().removeDisplayModel(model);
        presentConnectionError();
        return;
    }
    models().addDeferredConnectionForDisplayModel(model);
    if (m_env.bonjourManager) m_env.bonjourManager->resolveService(service);
}

void QNBAppDelegate::connectVirtualScreenWithAddressString(const std::string& address) {
    auto model = foundation::QNBDisplayModel::displayModelWithAddressString(address);
    if (!model) return;
    auto kept = models().addDisplayModel(model);
    if (!kept) return;
    if (m_viewManager) m_viewManager->assertConnectingStateForDisplayModel(*kept);
    models().removeHostDisconnectionsForDisplayModel(kept);
    models().addConnectionAttemptWithDisplayModel(kept);
    // A value that is absent ends the dictionary there.
    cf::Dictionary request;
    if (kept->hostName()) {
        request.insert_or_assign(foundation::kConnectToHostName, *kept->hostName());
        if (kept->serviceKey()) request.insert_or_assign(foundation::kServiceKey, *kept->serviceKey());
    }
    post(foundation::kConnectServerToHost, cf::Value(std::move(request)), kDeliverImmediatelyToAllSessions);
}

void QNBAppDelegate::disconnectVirtualScreenWith(const ModelPtr& model) {
    if (!model) return;
    models().addHostDisconnectionForDisplayModel(model);
    models().addDisconnectionAttemptWithDisplayModel(model);
    cf::Value request(cf::Dictionary{{foundation::kDisconnectedHostName, model->hostName().value_or("")},
                                     {foundation::kServiceKey, model->serviceKey().value_or("")},
                                     {foundation::kDeviceIdentifier, model->deviceIdentifier().value_or("")},
                                     {foundation::kDisableDisplay, cf::Value(true)}});
    auto poster = m_env.post;
    auto send = [poster, request] {
        if (poster)
            poster(foundation::kDisconnectCurrentServerFromHost, request, kDeliverImmediatelyToAllSessions);
    };
    if (m_env.runOnGlobalQueue)
        m_env.runOnGlobalQueue(send);
    else
        send();
}

void QNBAppDelegate::disconnectAllConnectedDisplays() {
    auto disconnectable = models().disconnectableDisplayModels();
    if (disconnectable.empty()) return;
    models().hostWillDisconnectAll(disconnectable);
    disconnectConnectedDisplays(disconnectable);
}

void QNBAppDelegate::disconnectConnectedDisplays(const Models& list) {
    for (const auto& model : list) {
        disconnectVirtualScreenWith(model);
        if (m_env.sleepFor) m_env.sleepFor(kDisconnectAllPause);
    }
}

bool QNBAppDelegate::mediateClientCapabilities(const ModelPtr&) {
    if (models().roomForOneMore()) return true;
    if (m_env.alerts)
        m_env.alerts->runModal(
            localized("Display limit reached"),
            platform::format(localized("You may only connect %lu display devices using Tessel."),
                             QNBDisplayModelManager::totalAvailableScreens));
    return false;
}

void QNBAppDelegate::presentConnectionError() {
    if (m_env.alerts)
        m_env.alerts->runModal(localized("Could not connect"),
                               localized("Tessel could not communicate with the display device."));
}

bool QNBAppDelegate::exileSingleDisplayClients() {
    return exileDisplayModels(models().exilableDisplaysInUse());
}

bool QNBAppDelegate::exileDisplayModels(const Models& list) {
    if (list.empty()) return false;
    if (list.size() > 1) platform::log("Found more than one exileable client.");
    disconnectConnectedDisplays(list);
    // Recursive: an exile asked for while this alert runs its modal loop finds the flag set and
    // shows no second alert.
    std::lock_guard lock(m_lock);
    if (!m_versionDisconnectPanelShowing) {
        m_versionDisconnectPanelShowing = true;
        const auto& name = list.front()->displayName();
        if (m_env.alerts)
            m_env.alerts->runModal(
                localized("Disconnecting display"),
                platform::format(
                    "%@ %@: %@",
                    localized("Multiple connections are only supported for Tessel 2 and greater clients."),
                    localized("Disconnecting"), name ? *name : std::string()));
        m_versionDisconnectPanelShowing = false;
    }
    return true;
}

// ---- The status tick and auto-connect ------------------------------------------------------------

void QNBAppDelegate::connectionStatusCheck() {
    // A server that is gone is launched again now, not up to a watchdog period later, so that
    // the devices it served are not left waiting that long.
    int32_t pids[kProcessSlots] = {};
    unsigned count = 0;
    if (lookUpServer(pids, &count) == -1) startVirtualScreenIfNotRunning();
    models().validateConnections();
    models().assertConnectionStatusForReconciledModels();
    refreshAvailableServices();
}

void QNBAppDelegate::refreshAvailableServices() {
    models().queryConnectionStatusForCurrentDisplays();
    const double now = m_env.wallNow ? m_env.wallNow() : 0;
    if (std::fabs(now - m_lastAutoConnectDate.load()) <= kAutoConnectInterval ||
        m_autoConnectInProgress.load() || m_serverAwaited.load())
        return;
    // Set here, before the thread exists, so a second refresh cannot start a second pass.
    m_autoConnectInProgress = true;
    m_lastAutoConnectDate = now;
    auto self = shared_from_this();
    if (m_env.startThread)
        m_env.startThread([self] { self->autoConnectDisplays(); });
    else
        m_autoConnectInProgress = false;
}

void QNBAppDelegate::autoConnectDisplays() {
    m_autoConnectInProgress = true;
    auto onMain = [this](const Block& block) {
        if (m_env.performOnMainThreadAndWait)
            m_env.performOnMainThreadAndWait(block);
        else
            block();
    };
    Models candidates;
    onMain([&] { candidates = models().availableAutoConnectDisplayModels(); });
    for (const auto& model : candidates) {
        bool wanted = false;
        onMain([&] {
            wanted = !model->connected() && model->availability() &&
                     !models().connectionAttemptInProgressForDisplayModel(model);
        });
        if (!wanted) continue;
        // A connect request while no server runs would reach nobody, and its attempt would
        // end in a false alert: wait for the relaunched server to answer.
        int32_t pids[kProcessSlots] = {};
        unsigned count = 0;
        if (lookUpServer(pids, &count) == -1) {
            m_serverAwaited = true;
            break;
        }
        if (m_env.sleepFor) m_env.sleepFor(kAutoConnectPause);
        onMain([&] { connectToVirtualScreenWith(model); });
    }
    m_autoConnectInProgress = false;
}

void QNBAppDelegate::displayHostingQueryForService(const std::shared_ptr<ns::NSNetService>& service) {
    if (service) displayHostingQueryForHostname(service->hostName());
}

void QNBAppDelegate::displayHostingQueryForHostname(const std::optional<std::string>& hostName) {
    if (!hostName) return;
    post(foundation::kDisplayHostingQuery, cf::Value(cf::Dictionary{{foundation::kDeviceNameKey, *hostName}}),
         0);
}

} // namespace host
