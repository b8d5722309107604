#include "host/QNBDisplayModelManager.h"
#include "host/UserInfo.h"

#include "host/QNBButler.h"
#include "host/QNBViewManagerInterface.h"

#include "foundation/QNBBonjourServiceHelper.h"
#include "foundation/Vocabulary.h"

#include "platform/core/Log.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/services/NSDistributedNotificationCenter.h"
#include "platform/services/NSNetService.h"

#include <algorithm>
#include <mutex>

namespace host {

using foundation::QNBDisplayModel;

namespace {

bool contains(const QNBDisplayModelManager::Models& list, const QNBDisplayModelManager::ModelPtr& model) {
    return std::find(list.begin(), list.end(), model) != list.end();
}

std::string failureReason(const platform::Error& error) {
    auto it = error.userInfo.find("NSLocalizedFailureReason");
    if (it != error.userInfo.end() && it->second.asString()) return *it->second.asString();
    return "(null)";
}

} // namespace

// ---- Making ------------------------------------------------------------------------------------

std::shared_ptr<QNBDisplayModelManager> QNBDisplayModelManager::sharedInstance() {
    static std::once_flag once;
    static std::shared_ptr<QNBDisplayModelManager> shared;
    std::call_once(once, [] {
        Collaborators c;
        c.post = [](const std::string& name, const std::optional<cf::Value>& userInfo, uint64_t options) {
            ns::NSDistributedNotificationCenter::defaultCenter().postNotificationName(name, std::nullopt,
                                                                                      userInfo, options);
        };
        shared = create(std::move(c));
    });
    return shared;
}

std::shared_ptr<QNBDisplayModelManager> QNBDisplayModelManager::create(Collaborators collaborators) {
    auto manager = std::make_shared<QNBDisplayModelManager>(std::move(collaborators));
    manager->doInitializations();
    return manager;
}

QNBDisplayModelManager::QNBDisplayModelManager(Collaborators collaborators)
    : m_collaborators(std::move(collaborators)) {
    QNBDisplayModel::registerArchiveClass();
}

void QNBDisplayModelManager::doInitializations() {
    m_unarchiveSuccessAtInit = unarchiveDisplayModels();
}

void QNBDisplayModelManager::setViewManager(std::shared_ptr<QNBViewManagerInterface> viewManager) {
    m_collaborators.viewManager = std::move(viewManager);
}
void QNBDisplayModelManager::setAlerts(std::shared_ptr<HostAlerts> alerts) {
    m_collaborators.alerts = std::move(alerts);
}
void QNBDisplayModelManager::setConnector(std::function<void(const ModelPtr&)> connect) {
    m_collaborators.connect = std::move(connect);
}

const ns::KeyTable& QNBDisplayModelManager::classKeys() {
    static const ns::KeyTable table =
        ns::KeyTable("QNBDisplayModelManager", &NSObject::classKeys())
            .property(displayModelArrayKeyPath, &QNBDisplayModelManager::displayModelArrayValue)
            .manualNotification(displayModelArrayKeyPath);
    return table;
}

ns::IdArray QNBDisplayModelManager::displayModelArrayValue() const {
    ns::IdArray out;
    for (const auto& model : m_displayModelArray)
        out.emplace_back(model);
    return out;
}

std::weak_ptr<foundation::QNBDisplayModelDelegateProtocol> QNBDisplayModelManager::weakDelegate() {
    auto self = std::static_pointer_cast<QNBDisplayModelManager>(shared_from_this());
    return std::shared_ptr<foundation::QNBDisplayModelDelegateProtocol>(self);
}

QNBDisplayModelManager::Text QNBDisplayModelManager::displayModelArchivePath() const {
    if (m_collaborators.archivePath) return m_collaborators.archivePath;
    auto folder = QNBButler::tesselSupportDirectory();
    if (!folder) return std::nullopt;
    return *folder + "/" + displayModelArchiveName;
}

// ---- Lookups -----------------------------------------------------------------------------------

std::optional<QNBDisplayModelManager::Models>
QNBDisplayModelManager::displayModelsInArray(const Models& array, const Text& identifier,
                                             const std::string& keyPath) {
    if (keyPath.empty()) return std::nullopt;
    Models found;
    if (!identifier || identifier->empty()) return std::nullopt;
    for (const auto& model : array) {
        if (!model) continue;
        platform::Error error;
        ns::Id value = model->valueForKeyPath(keyPath, &error);
        if (!error.domain.empty()) {
            platform::log("Exception raised attempting valueForKeypath: \"%@\"", keyPath);
            continue;
        }
        if (value.string() && *value.string() == *identifier) found.push_back(model);
    }
    if (found.empty()) return std::nullopt;
    return found;
}

QNBDisplayModelManager::ModelPtr QNBDisplayModelManager::displayModelInArray(const Models& array,
                                                                             const Text& identifier,
                                                                             const std::string& keyPath) {
    auto found = displayModelsInArray(array, identifier, keyPath);
    return found ? found->front() : nullptr;
}

QNBDisplayModelManager::ModelPtr
QNBDisplayModelManager::displayModelForUniqueIdentifier(const Text& id) const {
    return displayModelInArray(m_displayModelArray, id, "uniqueIdentifier");
}
QNBDisplayModelManager::ModelPtr
QNBDisplayModelManager::displayModelForDeviceIdentifier(const Text& id) const {
    return displayModelInArray(m_displayModelArray, id, "deviceIdentifier");
}
QNBDisplayModelManager::ModelPtr QNBDisplayModelManager::displayModelForServiceKey(const Text& id) const {
    return displayModelInArray(m_displayModelArray, id, "serviceKey");
}
QNBDisplayModelManager::ModelPtr
QNBDisplayModelManager::displayModelForAddressIdentifier(const Text& id) const {
    return displayModelInArray(m_displayModelArray, id, "addressIdentifier");
}
QNBDisplayModelManager::ModelPtr
QNBDisplayModelManager::displayModelWithHostName(const Text& hostName) const {
    return displayModelInArray(m_displayModelArray, hostName, "hostName");
}

QNBDisplayModelManager::ModelPtr
QNBDisplayModelManager::displayModelForService(const std::shared_ptr<ns::NSNetService>& service) const {
    if (!service) return nullptr;
    auto deviceIdentifier = QNBDisplayModel::deviceIdentifierFromService(service);
    if (deviceIdentifier && !deviceIdentifier->empty())
        return displayModelForDeviceIdentifier(deviceIdentifier);
    return displayModelForServiceKey(foundation::QNBBonjourServiceHelper::serviceKeyForService(*service));
}

std::optional<QNBDisplayModelManager::Models>
QNBDisplayModelManager::findDuplicatesForDisplayModel(const ModelPtr& model, const Models& list,
                                                      bool withNames, bool onlyCurrentIdentifier) {
    if (!model) return std::nullopt;
    Models found;
    for (const auto& other : list) {
        if (!other || other == model) continue;
        bool duplicate = false;
        if (onlyCurrentIdentifier) {
            const int64_t type = model->currentIdentifierType();
            duplicate = sameIdentifier(model->identifierOfType(type), other->identifierOfType(type));
        } else {
            duplicate = sameIdentifier(model->deviceIdentifier(), other->deviceIdentifier()) ||
                        sameIdentifier(model->serviceKey(), other->serviceKey()) ||
                        sameIdentifier(model->addressIdentifier(), other->addressIdentifier()) ||
                        (withNames && sameIdentifier(model->displayName(), other->displayName()));
        }
        if (duplicate) found.push_back(other);
    }
    return found;
}

// ---- List changes ------------------------------------------------------------------------------

QNBDisplayModelManager::ModelPtr QNBDisplayModelManager::addDisplayModel(const ModelPtr& model) {
    if (!model) return nullptr;
    if (!model->uniqueIdentifier() || !model->displayName() || model->displayName()->empty()) return model;
    // A model the list already holds is its own kept model: merging it with itself would drop it.
    if (contains(m_displayModelArray, model)) return model;
    willChangeValueForKey(displayModelArrayKeyPath);
    Models duplicates =
        findDuplicatesForDisplayModel(model, m_displayModelArray, true, false).value_or(Models{});
    ModelPtr kept;
    if (duplicates.empty()) {
        m_displayModelArray.push_back(model);
        kept = model;
    } else if (duplicates.size() == 1) {
        kept = duplicates.front();
        kept->updateStateWithDisplayModel(*model);
    } else {
        kept = QNBDisplayModel::mergeDuplicateDisplayModels(duplicates);
        for (const auto& duplicate : duplicates)
            removeDisplayModel(duplicate);
        kept->updateStateWithDisplayModel(*model);
        m_displayModelArray.push_back(kept);
    }
    addPersistentDisplayModel(kept, true);
    kept->setDelegate(weakDelegate());
    didChangeValueForKey(displayModelArrayKeyPath);
    return kept;
}

void QNBDisplayModelManager::removeDuplicatesForDisplayModel(const ModelPtr& model) {
    auto duplicates = findDuplicatesForDisplayModel(model, m_displayModelArray, false, true);
    if (!duplicates) return;
    for (const auto& duplicate : *duplicates)
        std::erase(m_displayModelArray, duplicate);
}

void QNBDisplayModelManager::removeDisplayModel(const ModelPtr& model) {
    if (!model) return;
    platform::log("Removed Display Model: %@", model->description());
    archiveDisplayModels();
    willChangeValueForKey(displayModelArrayKeyPath);
    std::erase(m_displayModelArray, model);
    removeDuplicatesForDisplayModel(model);
    didChangeValueForKey(displayModelArrayKeyPath);
}

void QNBDisplayModelManager::removeDisplayModelForServiceKey(const Text& serviceKey) {
    if (!serviceKey) return;
    if (auto model = displayModelForServiceKey(serviceKey)) removeDisplayModel(model);
}

void QNBDisplayModelManager::removeDisplayModelForService(const std::shared_ptr<ns::NSNetService>& service) {
    if (!service) return;
    removeDisplayModelForServiceKey(foundation::QNBBonjourServiceHelper::serviceKeyForService(*service));
}

void QNBDisplayModelManager::addDisplayModelWithService(const std::shared_ptr<ns::NSNetService>& service) {
    if (!service) return;
    if (displayModelForService(service)) {
        updateDisplayModelWithService(service, service->TXTRecordData());
        updateBackgroundStateForService(false, service);
        return;
    }
    addDisplayModel(QNBDisplayModel::displayModelWithService(service));
}

void QNBDisplayModelManager::updateDisplayModelWithService(const std::shared_ptr<ns::NSNetService>& service,
                                                           const std::optional<cf::Bytes>& txtRecordData) {
    updateDisplayModelStateWithReferenceModel(
        QNBDisplayModel::displayModelWithServiceAndTXTRecordData(service, txtRecordData));
}

void QNBDisplayModelManager::updateDisplayModelStateWithReferenceModel(const ModelPtr& reference) {
    if (!reference) return;
    if (auto live = displayModelForUniqueIdentifier(reference->uniqueIdentifier()))
        live->updateStateWithDisplayModel(*reference);
    else
        addDisplayModel(reference);
}

// ---- Remembered list and archive ---------------------------------------------------------------

QNBDisplayModelManager::Models
QNBDisplayModelManager::persistentDisplayModelsForDisplayModel(const ModelPtr& model) const {
    Models found;
    if (!model) return found;
    for (const auto& remembered : m_persistentModelArray)
        if (sameIdentifier(model->serviceKey(), remembered->serviceKey()) ||
            sameIdentifier(model->deviceIdentifier(), remembered->deviceIdentifier()) ||
            sameIdentifier(model->addressIdentifier(), remembered->addressIdentifier()))
            found.push_back(remembered);
    return found;
}

QNBDisplayModelManager::ModelPtr
QNBDisplayModelManager::persistentDisplayModelForDisplayModel(const ModelPtr& model) const {
    if (!model) return nullptr;
    std::vector<int64_t> order{model->currentIdentifierType(), foundation::QNBServiceKey,
                               foundation::QNBDeviceIdentifier, foundation::QNBAddressIdentifier};
    for (int64_t type : order)
        for (const auto& remembered : m_persistentModelArray)
            if (sameIdentifier(model->identifierOfType(type), remembered->identifierOfType(type)))
                return remembered;
    return nullptr;
}

void QNBDisplayModelManager::removePersistentDisplayModel(const ModelPtr& model) {
    for (const auto& remembered : persistentDisplayModelsForDisplayModel(model))
        std::erase(m_persistentModelArray, remembered);
}

void QNBDisplayModelManager::impartArchiveStateOnDisplayModel(const ModelPtr& model) {
    if (auto remembered = persistentDisplayModelForDisplayModel(model))
        if (remembered != model) model->updateArchivedStateWithDisplayModel(*remembered);
}

void QNBDisplayModelManager::addPersistentDisplayModel(const ModelPtr& model, bool shouldImpartState) {
    if (!model) return;
    if (!persistentDisplayModelsForDisplayModel(model).empty()) {
        if (shouldImpartState) impartArchiveStateOnDisplayModel(model);
        removePersistentDisplayModel(model);
    }
    std::erase(m_persistentModelArray, model);
    m_persistentModelArray.push_back(model);
}

bool QNBDisplayModelManager::archiveDisplayModels() {
    auto path = displayModelArchivePath();
    if (!path) {
        platform::log("Error archiving to file: %@ with object: %@", "(null)", "(display models)");
        return false;
    }
    return QNBButler::archiveObjectWithPath(ns::ArchivedObject::arrayOfInstances(m_persistentModelArray),
                                            *path);
}

bool QNBDisplayModelManager::unarchiveDisplayModels() {
    auto path = displayModelArchivePath();
    std::optional<ns::ArchivedObject> root;
    if (path) root = QNBButler::unarchiveFileWithPath(*path);
    // Readable, but no list of models: unreadable for the host, and kept aside for the user.
    // Only a list whose first model has another version is out of date (and deleted).
    if (root &&
        (!root->isArray() || (!root->items().empty() && !root->items().front().as<QNBDisplayModel>()))) {
        platform::log("Error reading archive: %@", *path);
        QNBButler::setAsideDamagedFile(*path);
        root.reset();
    }
    if (!root) {
        platform::log("Could not unarchive display models");
        return false;
    }
    const uint64_t prototypeVersion = QNBDisplayModel::create()->version();
    platform::log("Display model prototype version: %lu", prototypeVersion);
    const auto& items = root->items();
    bool current = items.empty();
    if (!current) current = items.front().as<QNBDisplayModel>()->version() == prototypeVersion;
    m_persistentModelArray.clear();
    if (current) {
        for (const auto& item : items)
            if (auto model = item.as<QNBDisplayModel>()) addPersistentDisplayModel(model, false);
    } else {
        platform::Error error;
        if (!ns::NSFileManager::defaultManager()->removeItemAtPath(*path, &error))
            platform::log("Error removing out of date archive: %@ %@", error.description(),
                          failureReason(error));
    }
    return true;
}

// ---- Counts and selections ---------------------------------------------------------------------

uint64_t QNBDisplayModelManager::activeServerCount() const {
    return std::count_if(m_displayModelArray.begin(), m_displayModelArray.end(),
                         [](const ModelPtr& m) { return m->hasActiveConnection(); });
}

uint64_t QNBDisplayModelManager::backgroundServerCount() const {
    return std::count_if(m_displayModelArray.begin(), m_displayModelArray.end(),
                         [](const ModelPtr& m) { return m->hasBackgroundConnection(); });
}

QNBDisplayModelManager::Models QNBDisplayModelManager::availableAutoConnectDisplayModels() const {
    Models out;
    std::copy_if(m_displayModelArray.begin(), m_displayModelArray.end(), std::back_inserter(out),
                 [](const ModelPtr& m) { return m->autoConnectMode(); });
    return out;
}

QNBDisplayModelManager::Models QNBDisplayModelManager::disconnectableDisplayModels() const {
    Models out;
    std::copy_if(m_displayModelArray.begin(), m_displayModelArray.end(), std::back_inserter(out),
                 [](const ModelPtr& m) { return m->isDisconnectable(); });
    return out;
}

bool QNBDisplayModelManager::listed(const ModelPtr& model) const {
    return contains(m_displayModelArray, model);
}

void QNBDisplayModelManager::queryConnectionStatusForCurrentDisplays() {
    if (m_collaborators.post)
        m_collaborators.post(foundation::kDisplayHostingMultiQuery, std::nullopt,
                             ns::NSNotificationDeliverImmediately | ns::NSNotificationPostToAllSessions);
}

void QNBDisplayModelManager::stateTypeUpdateForDisplayModel(Model&) {
    if (m_collaborators.viewManager) m_collaborators.viewManager->rearrangeDisplayArray();
}

} // namespace host
