// The display-model manager's bookkeeping of attempts and sets, the status tick's validation,
// and the reports of the screen server and of Bonjour.
#include "host/QNBDisplayModelManager.h"
#include "host/UserInfo.h"

#include "host/HostAlerts.h"
#include "host/QNBViewManagerInterface.h"

#include "foundation/QNBDisplayQuery.h"
#include "foundation/Vocabulary.h"

#include "platform/core/Clock.h"
#include "platform/core/Format.h"
#include "platform/core/Log.h"
#include "platform/foundation/NSBundle.h"
#include "platform/services/NSNetService.h"

#include <algorithm>
#include <cmath>

namespace host {

using foundation::QNBDisplayModel;

namespace {

void insert(QNBDisplayModelManager::Models& set, const QNBDisplayModelManager::ModelPtr& model) {
    if (model && std::find(set.begin(), set.end(), model) == set.end()) set.push_back(model);
}

bool holds(const QNBDisplayModelManager::Models& set, const QNBDisplayModelManager::ModelPtr& model) {
    return model && std::find(set.begin(), set.end(), model) != set.end();
}

} // namespace

// ---- Sets ----------------------------------------------------------------------------------------

bool QNBDisplayModelManager::expired(double date, double timeout) {
    return std::fabs(platform::wallNow() - date) > timeout;
}

bool QNBDisplayModelManager::attemptInProgress(const Models& set, const ModelPtr& model) {
    if (!model) return false;
    for (const auto& member : set)
        if (member == model || sameIdentifier(model->deviceIdentifier(), member->deviceIdentifier()) ||
            sameIdentifier(model->serviceKey(), member->serviceKey()) ||
            sameIdentifier(model->addressIdentifier(), member->addressIdentifier()))
            return true;
    return false;
}

void QNBDisplayModelManager::removeAttempt(Models& set, const ModelPtr& model) {
    if (!model) return;
    if (holds(set, model)) {
        std::erase(set, model);
        return;
    }
    std::erase_if(set, [&](const ModelPtr& m) {
        return sameIdentifier(model->deviceIdentifier(), m->deviceIdentifier());
    });
    std::erase_if(set,
                  [&](const ModelPtr& m) { return sameIdentifier(model->serviceKey(), m->serviceKey()); });
    std::erase_if(set, [&](const ModelPtr& m) {
        return sameIdentifier(model->addressIdentifier(), m->addressIdentifier());
    });
}

void QNBDisplayModelManager::removeFromSet(Models& set, const Text& identifier) {
    std::erase_if(set, [&](const ModelPtr& m) { return sameIdentifier(identifier, m->uniqueIdentifier()); });
}

void QNBDisplayModelManager::addConnectionAttemptWithDisplayModel(const ModelPtr& model) {
    if (!model) return;
    if (connectionAttemptInProgressForDisplayModel(model) && !connectionAttemptExpiredForDisplayModel(model))
        return;
    model->setConnectionAttemptDate(platform::wallNow());
    insert(m_connectionStatusSet, model);
}

void QNBDisplayModelManager::removeConnectionAttemptForDisplayModel(const ModelPtr& model) {
    removeAttempt(m_connectionStatusSet, model);
}

bool QNBDisplayModelManager::connectionAttemptInProgressForDisplayModel(const ModelPtr& model) const {
    return attemptInProgress(m_connectionStatusSet, model);
}

bool QNBDisplayModelManager::connectionAttemptExpiredForDisplayModel(const ModelPtr& model) const {
    return model && expired(model->connectionAttemptDate(), kConnectionAttemptTimeout);
}

void QNBDisplayModelManager::addDisconnectionAttemptWithDisplayModel(const ModelPtr& model) {
    if (!model) return;
    if (disconnectionAttemptInProgressForDisplayModel(model) &&
        !disconnectionAttemptExpiredForDisplayModel(model))
        return;
    model->setDisconnectionAttemptDate(platform::wallNow());
    insert(m_disconnectionStatusSet, model);
}

void QNBDisplayModelManager::removeDisconnectionAttemptForDisplayModel(const ModelPtr& model) {
    removeAttempt(m_disconnectionStatusSet, model);
}

bool QNBDisplayModelManager::disconnectionAttemptInProgressForDisplayModel(const ModelPtr& model) const {
    return attemptInProgress(m_disconnectionStatusSet, model);
}

bool QNBDisplayModelManager::disconnectionAttemptExpiredForDisplayModel(const ModelPtr& model) const {
    return model && expired(model->disconnectionAttemptDate(), kDisconnectionAttemptTimeout);
}

void QNBDisplayModelManager::addDeferredConnectionForDisplayModel(const ModelPtr& model) {
    if (!model) return;
    if (model->requestedDeferredConnection() && holds(m_deferredConnectionSet, model)) {
        removeConnectionAttemptForDisplayModel(model);
        return;
    }
    model->setRequestedDeferredConnection(true);
    insert(m_deferredConnectionSet, model);
}

void QNBDisplayModelManager::removeDeferredConnectionForDisplayModel(const ModelPtr& model) {
    if (!model) return;
    model->resetDeferredConnectionState();
    std::erase(m_deferredConnectionSet, model);
}

void QNBDisplayModelManager::attemptDeferredConnectionForDisplayModel(const ModelPtr& model) {
    if (holds(m_deferredConnectionSet, model) && m_collaborators.connect) m_collaborators.connect(model);
}

void QNBDisplayModelManager::resolveSucceededForService(const std::shared_ptr<ns::NSNetService>& service) {
    auto model = displayModelForService(service);
    if (!model) return;
    model->setFailedToResolve(false);
    attemptDeferredConnectionForDisplayModel(model);
}

void QNBDisplayModelManager::addHostDisconnectionForDisplayModel(const ModelPtr& model) {
    if (!model) return;
    insert(m_hostDisconnectedSet, model);
    removeConnectionAttemptForDisplayModel(model);
}

void QNBDisplayModelManager::removeHostDisconnectionsForDisplayModel(const ModelPtr& model) {
    if (model) removeFromSet(m_hostDisconnectedSet, model->uniqueIdentifier());
}

void QNBDisplayModelManager::removeHostDisconnectionsForIdentifier(const Text& identifier) {
    removeFromSet(m_hostDisconnectedSet, identifier);
}

bool QNBDisplayModelManager::onDisconnectShouldRemoveDisplayModel(const ModelPtr& model) const {
    return holds(m_hostDisconnectedSet, model) && !model->inBackground();
}

void QNBDisplayModelManager::hostWillDisconnectAll(const Models& models) {
    m_disconnectAllSet.clear();
    for (const auto& model : models)
        insert(m_disconnectAllSet, model);
    if (m_collaborators.viewManager) m_collaborators.viewManager->hostWillDisconnectAll();
}

void QNBDisplayModelManager::addDisconnectAllForDisplayModel(const ModelPtr& model) {
    insert(m_disconnectAllSet, model);
}

void QNBDisplayModelManager::removeDisconnectAllForDisplayModel(const ModelPtr& model) {
    if (model) removeFromSet(m_disconnectAllSet, model->uniqueIdentifier());
}

void QNBDisplayModelManager::removeDisconnectAllForIdentifier(const Text& identifier) {
    removeFromSet(m_disconnectAllSet, identifier);
}

// ---- The status tick -----------------------------------------------------------------------------

void QNBDisplayModelManager::validateConnections() {
    validateConnectionAttempts();
    validateDisconnectionAttempts();
    validateDisconnectAll();
}

void QNBDisplayModelManager::validateConnectionAttempts() {
    Models noted;
    for (const auto& model : Models(m_connectionStatusSet)) {
        if (!connectionAttemptExpiredForDisplayModel(model)) continue;
        noted.push_back(model);
        if (model->connected()) continue;
        platform::log("Connect to display timeout");
        std::string text;
        if (displayModelForUniqueIdentifier(model->uniqueIdentifier()))
            text = ns::NSLocalizedString("Tessel could not communicate with the display device.");
        else
            text =
                platform::format(ns::NSLocalizedString("The selected display, %@, is no longer available."),
                                 model->displayName().value_or("(null)"));
        if (model->displayMechanism() == foundation::QNBNetworkAddressMechanism) removeDisplayModel(model);
        if (auto alerts = m_collaborators.alerts) {
            alerts->activateIgnoringOtherApps();
            alerts->runModal(ns::NSLocalizedString("Could not connect"), text);
        }
    }
    for (const auto& model : noted)
        removeConnectionAttemptForDisplayModel(model);
}

void QNBDisplayModelManager::validateDisconnectionAttempts() {
    Models noted;
    for (const auto& model : Models(m_disconnectionStatusSet)) {
        if (!disconnectionAttemptExpiredForDisplayModel(model)) continue;
        noted.push_back(model);
        if (model->connected()) platform::log("Disconnect from display timeout");
    }
    for (const auto& model : noted)
        removeDisconnectionAttemptForDisplayModel(model);
}

void QNBDisplayModelManager::validateDisconnectAll() {
    if (m_disconnectAllSet.empty()) return;
    // A member is through once its disconnection is over: no longer connected, no longer
    // listed, or with no disconnection attempt left (answered or expired).
    for (const auto& model : Models(m_disconnectAllSet))
        if (!model->connected() || !listed(model) || !disconnectionAttemptInProgressForDisplayModel(model))
            removeDisconnectAllForDisplayModel(model);
    if (m_disconnectAllSet.empty() && m_collaborators.viewManager)
        m_collaborators.viewManager->disconnectAllComplete();
}

void QNBDisplayModelManager::assertConnectionStatusForReconciledModels() {
    for (const auto& model : Models(m_displayModelArray))
        assertConnectionStatusForDisplayModel(model);
}

void QNBDisplayModelManager::assertConnectionStatusForDisplayModel(const ModelPtr& model) {
    if (!model) return;
    if (connectionAttemptExpiredForDisplayModel(model)) removeConnectionAttemptForDisplayModel(model);
    if (disconnectionAttemptExpiredForDisplayModel(model)) removeDisconnectionAttemptForDisplayModel(model);
    if (connectionAttemptInProgressForDisplayModel(model) ||
        disconnectionAttemptInProgressForDisplayModel(model))
        return;
    model->setConnected(model->connected());
    if (m_collaborators.viewManager) m_collaborators.viewManager->updateListingStateForDisplayModel(*model);
}

// ---- Reports of the screen server ----------------------------------------------------------------

void QNBDisplayModelManager::localConnectionMadeForDisplayModel(const ModelPtr& model) {
    if (!model) {
        platform::log("Connection made without display model record");
        return;
    }
    model->setConnected(true);
    model->setLocalConnection(true);
    removeConnectionAttemptForDisplayModel(model);
}

void QNBDisplayModelManager::localConnectionEndedForDisplayModel(const ModelPtr& model) {
    if (!model) return;
    platform::log("Connection ended for: %@", model->displayName().value_or("(null)"));
    model->setConnected(false);
    model->setLocalConnection(false);
    removeDisconnectionAttemptForDisplayModel(model);
    const bool keep =
        holds(m_hostDisconnectedSet, model) && !model->inBackground() && !model->hasUSBMechanism();
    if (!keep) removeDisplayModel(model);
}

void QNBDisplayModelManager::localConnectionEndedWithDictionary(const std::optional<cf::Value>& userInfo) {
    ModelPtr model = displayModelForDeviceIdentifier(textIn(userInfo, foundation::kDeviceIdentifier));
    if (!model) model = displayModelForServiceKey(textIn(userInfo, foundation::kServiceKey));
    if (!model) model = displayModelWithHostName(textIn(userInfo, foundation::kDeviceNameKey));
    if (model) localConnectionEndedForDisplayModel(model);
}

void QNBDisplayModelManager::displayHostingUpdateForDeviceName(const std::string& deviceName, bool response,
                                                               bool connectionStatus) {
    auto model = displayModelWithHostName(deviceName);
    if (!model) return;
    model->setLocalConnection(response);
    if (response) model->setConnected(connectionStatus);
}

void QNBDisplayModelManager::displayHostingUpdateForDisplayQueries(
    const std::optional<std::vector<std::shared_ptr<foundation::QNBDisplayQuery>>>& queries) {
    if (!queries) return;
    for (const auto& query : *queries)
        if (query) displayHostingUpdateForDisplayQuery(*query);
    removeDanglingDisplayModelsWithQueryArray(*queries);
}

void QNBDisplayModelManager::displayHostingUpdateForDisplayQuery(const foundation::QNBDisplayQuery& query) {
    ModelPtr model = displayModelForDeviceIdentifier(query.deviceIdentifier());
    if (!model) model = displayModelForServiceKey(query.serviceKey());
    if (!model) model = displayModelForAddressIdentifier(query.addressIdentifier());
    if (!model) return;
    if (query.hosted()) {
        model->setConnected(query.connected());
        model->setInBackground(query.background());
    } else if (model->lastConnectionLocalHint() && model->connected() && !query.connected()) {
        localConnectionEndedForDisplayModel(model);
    }
    model->setLocalConnection(query.hosted());
    assertConnectionStatusForDisplayModel(model);
}

void QNBDisplayModelManager::removeDanglingDisplayModelsWithQueryArray(
    const std::vector<std::shared_ptr<foundation::QNBDisplayQuery>>& queries) {
    Models dangling;
    for (const auto& model : m_displayModelArray) {
        const uint64_t mechanism = model->displayMechanism();
        if (mechanism != foundation::QNBUSBConnectionMechanism &&
            mechanism != foundation::QNBNetworkConnectionMechanism &&
            mechanism != foundation::QNBNetworkAddressMechanism)
            continue;
        bool served = std::any_of(queries.begin(), queries.end(), [&](const auto& query) {
            return query && query->connected() &&
                   (sameIdentifier(query->deviceIdentifier(), model->deviceIdentifier()) ||
                    sameIdentifier(query->addressIdentifier(), model->addressIdentifier()));
        });
        if (!served) dangling.push_back(model);
    }
    for (const auto& model : dangling) {
        platform::log("Removed dangling mechanism display model: %@", model->description());
        removeDisplayModel(model);
    }
}

// ---- Reports of Bonjour --------------------------------------------------------------------------

void QNBDisplayModelManager::updateBackgroundStateForDisplayModel(bool inBackground, const ModelPtr& model) {
    if (!model) return;
    model->setInBackground(inBackground);
    if (!inBackground) return;
    if (model->localConnection() && model->connected())
        model->setAvailability(false);
    else if (!model->hasUSBMechanism() && !model->autoConnectMode())
        removeDisplayModel(model);
}

void QNBDisplayModelManager::updateBackgroundStateForService(
    bool inBackground, const std::shared_ptr<ns::NSNetService>& service) {
    updateBackgroundStateForDisplayModel(inBackground, displayModelForService(service));
}

bool QNBDisplayModelManager::isConnectedQueryWithService(
    const std::shared_ptr<ns::NSNetService>& service) const {
    auto model = displayModelForService(service);
    return model && model->connected();
}

} // namespace host
