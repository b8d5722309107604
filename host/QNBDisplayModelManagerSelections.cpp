// The display-model manager's lookups over its sets, the wrappers that find a model before
// reporting on it, and the selections of displays in use.
#include "host/QNBDisplayModelManager.h"

#include "foundation/QNBBonjourServiceHelper.h"

#include "platform/services/NSNetService.h"

#include <algorithm>

namespace host {

using foundation::QNBDisplayModel;

namespace {

bool inUse(const QNBDisplayModelManager::ModelPtr& model) {
    return model->hasActiveConnection() || model->hasBackgroundConnection();
}

} // namespace

// ---- Sets ----------------------------------------------------------------------------------------

std::optional<QNBDisplayModelManager::Models>
QNBDisplayModelManager::displayModelsInSet(const Models& set, const Text& identifier,
                                           const std::string& keyPath) {
    return displayModelsInArray(set, identifier, keyPath);
}

std::optional<QNBDisplayModelManager::Models>
QNBDisplayModelManager::connectionRequestsMatchingIdentifier(const Text& identifier,
                                                             const std::string& keyPath) const {
    return displayModelsInSet(m_connectionStatusSet, identifier, keyPath);
}

std::optional<QNBDisplayModelManager::Models>
QNBDisplayModelManager::disconnectionRequestsMatchingIdentifier(const Text& identifier,
                                                                const std::string& keyPath) const {
    return displayModelsInSet(m_disconnectionStatusSet, identifier, keyPath);
}

bool QNBDisplayModelManager::connectionAttemptInProgressForIdentifier(const Text& identifier,
                                                                      const std::string& keyPath) const {
    return connectionRequestsMatchingIdentifier(identifier, keyPath).has_value();
}

bool QNBDisplayModelManager::disconnectionAttemptInProgressForIdentifier(const Text& identifier,
                                                                         const std::string& keyPath) const {
    return disconnectionRequestsMatchingIdentifier(identifier, keyPath).has_value();
}

void QNBDisplayModelManager::resolveFailedForService(const std::shared_ptr<ns::NSNetService>& service) {
    auto model = displayModelForService(service);
    if (!model) return;
    // Dropping the deferred connection clears the model's deferred flags, the failed one with
    // them; the failure is marked after it, so it stays for whoever looks next.
    removeDeferredConnectionForDisplayModel(model);
    model->setFailedToResolve(true);
}

// ---- List changes --------------------------------------------------------------------------------

void QNBDisplayModelManager::resetDisplayModels() {
    willChangeValueForKey(displayModelArrayKeyPath);
    m_displayModelArray.clear();
    didChangeValueForKey(displayModelArrayKeyPath);
}

void QNBDisplayModelManager::addDisplayModelWithServiceAndTXTRecordData(
    const std::shared_ptr<ns::NSNetService>& service, const std::optional<cf::Bytes>& txtRecordData) {
    if (!service) return;
    if (displayModelForService(service)) {
        updateDisplayModelWithService(service, txtRecordData);
        updateBackgroundStateForService(false, service);
        return;
    }
    addDisplayModel(QNBDisplayModel::displayModelWithServiceAndTXTRecordData(service, txtRecordData));
}

// ---- Reports through a lookup --------------------------------------------------------------------

void QNBDisplayModelManager::localConnectionMadeForDeviceIdentifier(const Text& deviceIdentifier) {
    localConnectionMadeForDisplayModel(displayModelForDeviceIdentifier(deviceIdentifier));
}

void QNBDisplayModelManager::localConnectionMadeForUniqueIdentifier(const Text& uniqueIdentifier) {
    localConnectionMadeForDisplayModel(displayModelForUniqueIdentifier(uniqueIdentifier));
}

void QNBDisplayModelManager::localConnectionMadeForHostName(const Text& hostName) {
    localConnectionMadeForDisplayModel(displayModelWithHostName(hostName));
}

void QNBDisplayModelManager::localConnectionEndedForDeviceIdentifier(const Text& deviceIdentifier) {
    localConnectionEndedForDisplayModel(displayModelForDeviceIdentifier(deviceIdentifier));
}

void QNBDisplayModelManager::localConnectionEndedForHostName(const Text& hostName) {
    localConnectionEndedForDisplayModel(displayModelWithHostName(hostName));
}

void QNBDisplayModelManager::localConnectionEndedForService(
    const std::shared_ptr<ns::NSNetService>& service) {
    if (!service) return;
    localConnectionEndedForDisplayModel(
        displayModelForUniqueIdentifier(foundation::QNBBonjourServiceHelper::serviceKeyForService(*service)));
}

void QNBDisplayModelManager::updateBackgroundStateForServiceKey(bool inBackground, const Text& serviceKey) {
    updateBackgroundStateForDisplayModel(inBackground, displayModelForServiceKey(serviceKey));
}

bool QNBDisplayModelManager::isConnectedQueryWithServiceKey(const Text& serviceKey) const {
    auto model = displayModelForServiceKey(serviceKey);
    return model && model->connected();
}

// ---- Selections ----------------------------------------------------------------------------------

QNBDisplayModelManager::Models QNBDisplayModelManager::exilableDisplaysInUse() const {
    Models out;
    std::copy_if(m_displayModelArray.begin(), m_displayModelArray.end(), std::back_inserter(out),
                 [](const ModelPtr& m) { return inUse(m) && m->isExilable(); });
    return out;
}

QNBDisplayModelManager::Models QNBDisplayModelManager::locallyConnectedDisplayModels() const {
    Models out;
    std::copy_if(m_displayModelArray.begin(), m_displayModelArray.end(), std::back_inserter(out),
                 [](const ModelPtr& m) { return m->localConnection() && m->connected(); });
    return out;
}

bool QNBDisplayModelManager::displayInUse() const {
    return std::any_of(m_displayModelArray.begin(), m_displayModelArray.end(), inUse);
}

bool QNBDisplayModelManager::bonjourMechanismDisplayInUse() const {
    return std::any_of(m_displayModelArray.begin(), m_displayModelArray.end(), [](const ModelPtr& m) {
        return inUse(m) && m->displayMechanism() == foundation::QNBBonjourDiscoveryMechanism;
    });
}

bool QNBDisplayModelManager::nonExilableDisplayInUse() const {
    return std::any_of(m_displayModelArray.begin(), m_displayModelArray.end(),
                       [](const ModelPtr& m) { return inUse(m) && !m->isExilable(); });
}

} // namespace host
