// The host's display models: the live list the device listing shows, the remembered list kept
// in the archive, and five identity sets (insertion order) that follow connect and disconnect
// attempts, deferred connections, displays the user disconnected and a running disconnect-all.
// It merges models of one device, applies the screen server's hosting reports, counts displays
// against the limit of four and expires attempts that get no answer. Main thread only.
//
// Key-value compliant: "displayModelArray" announces every change of the live list.
#pragma once

#include "foundation/QNBDisplayModel.h"

#include "platform/corefoundation/Value.h"
#include "platform/foundation/NSObject.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ns {
class NSNetService;
} // namespace ns

namespace foundation {
class QNBDisplayQuery;
} // namespace foundation

namespace host {

class HostAlerts;
class QNBViewManagerInterface;

class QNBDisplayModelManager final : public ns::NSObject, public foundation::QNBDisplayModelDelegateProtocol {
  public:
    using Model = foundation::QNBDisplayModel;
    using ModelPtr = std::shared_ptr<Model>;
    using Models = std::vector<ModelPtr>;
    using Text = std::optional<std::string>;
    using Poster = std::function<void(const std::string& name, const std::optional<cf::Value>& userInfo,
                                      uint64_t options)>;

    static constexpr double kConnectionAttemptTimeout = 20;
    static constexpr double kDisconnectionAttemptTimeout = 10;
    static constexpr uint64_t totalAvailableScreens = 4;
    static constexpr char displayModelArrayKeyPath[] = "displayModelArray";
    static constexpr char displayModelArchiveName[] = "archive.qnbDisplayModel";

    // What the manager reaches outside itself; each may be set later (the program's view
    // manager and application delegate are made after the manager).
    struct Collaborators {
        std::shared_ptr<QNBViewManagerInterface> viewManager;
        std::shared_ptr<HostAlerts> alerts;
        // Distributed posts (object null).
        Poster post;
        // The application delegate's connect (a deferred connection whose service resolved).
        std::function<void(const ModelPtr&)> connect;
        // The archive file; nothing: <tesselSupportDirectory>/archive.qnbDisplayModel.
        Text archivePath;
    };

    // The program's one manager, made on first use with the distributed centre as poster.
    static std::shared_ptr<QNBDisplayModelManager> sharedInstance();
    // A manager that has read its archive.
    static std::shared_ptr<QNBDisplayModelManager> create(Collaborators collaborators);
    explicit QNBDisplayModelManager(Collaborators collaborators);

    void setViewManager(std::shared_ptr<QNBViewManagerInterface> viewManager);
    void setAlerts(std::shared_ptr<HostAlerts> alerts);
    void setConnector(std::function<void(const ModelPtr&)> connect);

    static const ns::KeyTable& classKeys();
    const ns::KeyTable& keyTable() const override { return classKeys(); }

    // ---- Lists
    const Models& displayModelArray() const { return m_displayModelArray; }
    const Models& persistentModelArray() const { return m_persistentModelArray; }
    bool unarchiveSuccessAtInit() const { return m_unarchiveSuccessAtInit; }
    Text displayModelArchivePath() const;

    // ---- Lookups in the live list: the first model whose value at the key path equals the
    // text; nothing for an absent or empty text.
    ModelPtr displayModelForUniqueIdentifier(const Text& identifier) const;
    ModelPtr displayModelForDeviceIdentifier(const Text& identifier) const;
    ModelPtr displayModelForServiceKey(const Text& identifier) const;
    ModelPtr displayModelForAddressIdentifier(const Text& identifier) const;
    ModelPtr displayModelWithHostName(const Text& hostName) const;
    // By the device identifier of the service's TXT record, else by its service key.
    ModelPtr displayModelForService(const std::shared_ptr<ns::NSNetService>& service) const;
    static ModelPtr displayModelInArray(const Models& array, const Text& identifier,
                                        const std::string& keyPath);
    static std::optional<Models> displayModelsInArray(const Models& array, const Text& identifier,
                                                      const std::string& keyPath);
    // The same test over one of the manager's sets.
    static std::optional<Models> displayModelsInSet(const Models& set, const Text& identifier,
                                                    const std::string& keyPath);
    // Other than model itself: the models of list sharing an identifier (and, withNames, the
    // display name); only the identifier of model's current type when onlyCurrentIdentifier.
    static std::optional<Models> findDuplicatesForDisplayModel(const ModelPtr& model, const Models& list,
                                                               bool withNames, bool onlyCurrentIdentifier);

    // ---- List changes
    // Answers the model the list holds afterwards (the given one, or the listed one it merged
    // into); a model without identity or display name is answered unlisted.
    ModelPtr addDisplayModel(const ModelPtr& model);
    void removeDisplayModel(const ModelPtr& model);
    void removeDisplayModelForServiceKey(const Text& serviceKey);
    void removeDisplayModelForService(const std::shared_ptr<ns::NSNetService>& service);
    // Empties the live list (announced).
    void resetDisplayModels();
    void addDisplayModelWithService(const std::shared_ptr<ns::NSNetService>& service);
    // The same with the TXT record data given rather than the service's current record.
    void addDisplayModelWithServiceAndTXTRecordData(const std::shared_ptr<ns::NSNetService>& service,
                                                    const std::optional<cf::Bytes>& txtRecordData);
    void updateDisplayModelWithService(const std::shared_ptr<ns::NSNetService>& service,
                                       const std::optional<cf::Bytes>& txtRecordData);
    void updateDisplayModelStateWithReferenceModel(const ModelPtr& reference);

    // ---- Remembered list and archive
    void addPersistentDisplayModel(const ModelPtr& model, bool shouldImpartState);
    ModelPtr persistentDisplayModelForDisplayModel(const ModelPtr& model) const;
    Models persistentDisplayModelsForDisplayModel(const ModelPtr& model) const;
    void removePersistentDisplayModel(const ModelPtr& model);
    void impartArchiveStateOnDisplayModel(const ModelPtr& model);
    bool archiveDisplayModels();
    bool unarchiveDisplayModels();

    // ---- Attempts
    void addConnectionAttemptWithDisplayModel(const ModelPtr& model);
    void removeConnectionAttemptForDisplayModel(const ModelPtr& model);
    bool connectionAttemptInProgressForDisplayModel(const ModelPtr& model) const;
    bool connectionAttemptExpiredForDisplayModel(const ModelPtr& model) const;
    void addDisconnectionAttemptWithDisplayModel(const ModelPtr& model);
    void removeDisconnectionAttemptForDisplayModel(const ModelPtr& model);
    bool disconnectionAttemptInProgressForDisplayModel(const ModelPtr& model) const;
    bool disconnectionAttemptExpiredForDisplayModel(const ModelPtr& model) const;
    // The attempts whose value at the key path is the identifier; nothing when none.
    std::optional<Models> connectionRequestsMatchingIdentifier(const Text& identifier,
                                                               const std::string& keyPath) const;
    std::optional<Models> disconnectionRequestsMatchingIdentifier(const Text& identifier,
                                                                  const std::string& keyPath) const;
    bool connectionAttemptInProgressForIdentifier(const Text& identifier, const std::string& keyPath) const;
    bool disconnectionAttemptInProgressForIdentifier(const Text& identifier,
                                                     const std::string& keyPath) const;

    void addDeferredConnectionForDisplayModel(const ModelPtr& model);
    void removeDeferredConnectionForDisplayModel(const ModelPtr& model);
    void attemptDeferredConnectionForDisplayModel(const ModelPtr& model);
    void resolveSucceededForService(const std::shared_ptr<ns::NSNetService>& service);
    // The service's model is marked failed to resolve and waits for it no longer.
    void resolveFailedForService(const std::shared_ptr<ns::NSNetService>& service);

    void addHostDisconnectionForDisplayModel(const ModelPtr& model);
    void removeHostDisconnectionsForDisplayModel(const ModelPtr& model);
    void removeHostDisconnectionsForIdentifier(const Text& identifier);
    bool onDisconnectShouldRemoveDisplayModel(const ModelPtr& model) const;

    void hostWillDisconnectAll(const Models& models);
    void addDisconnectAllForDisplayModel(const ModelPtr& model);
    void removeDisconnectAllForDisplayModel(const ModelPtr& model);
    void removeDisconnectAllForIdentifier(const Text& identifier);
    bool isDisconnectAllInProgress() const { return !m_disconnectAllSet.empty(); }

    const Models& connectionStatusSet() const { return m_connectionStatusSet; }
    const Models& disconnectionStatusSet() const { return m_disconnectionStatusSet; }
    const Models& deferredConnectionSet() const { return m_deferredConnectionSet; }
    const Models& hostDisconnectedSet() const { return m_hostDisconnectedSet; }
    const Models& disconnectAllSet() const { return m_disconnectAllSet; }

    // ---- Reports of the screen server and of Bonjour
    void localConnectionMadeForDisplayModel(const ModelPtr& model);
    void localConnectionEndedForDisplayModel(const ModelPtr& model);
    void localConnectionEndedWithDictionary(const std::optional<cf::Value>& userInfo);
    void displayHostingUpdateForDeviceName(const std::string& deviceName, bool response,
                                           bool connectionStatus);
    void displayHostingUpdateForDisplayQueries(
        const std::optional<std::vector<std::shared_ptr<foundation::QNBDisplayQuery>>>& queries);
    void displayHostingUpdateForDisplayQuery(const foundation::QNBDisplayQuery& query);
    void removeDanglingDisplayModelsWithQueryArray(
        const std::vector<std::shared_ptr<foundation::QNBDisplayQuery>>& queries);
    void updateBackgroundStateForDisplayModel(bool inBackground, const ModelPtr& model);
    void updateBackgroundStateForService(bool inBackground, const std::shared_ptr<ns::NSNetService>& service);
    bool isConnectedQueryWithService(const std::shared_ptr<ns::NSNetService>& service) const;
    // Look the model up, then report on it as above.
    void localConnectionMadeForDeviceIdentifier(const Text& deviceIdentifier);
    void localConnectionMadeForUniqueIdentifier(const Text& uniqueIdentifier);
    void localConnectionMadeForHostName(const Text& hostName);
    void localConnectionEndedForDeviceIdentifier(const Text& deviceIdentifier);
    void localConnectionEndedForHostName(const Text& hostName);
    // By the service's key as the unique identifier.
    void localConnectionEndedForService(const std::shared_ptr<ns::NSNetService>& service);
    void updateBackgroundStateForServiceKey(bool inBackground, const Text& serviceKey);
    bool isConnectedQueryWithServiceKey(const Text& serviceKey) const;

    // ---- Counts and selections
    uint64_t activeServerCount() const;
    uint64_t backgroundServerCount() const;
    uint64_t occupiedServerCount() const { return activeServerCount() + backgroundServerCount(); }
    bool roomForOneMore() const { return occupiedServerCount() < totalAvailableScreens; }
    Models availableAutoConnectDisplayModels() const;
    Models disconnectableDisplayModels() const;
    // In use: connected by this Mac, in front or in the background.
    Models exilableDisplaysInUse() const;
    Models locallyConnectedDisplayModels() const;
    bool displayInUse() const;
    bool bonjourMechanismDisplayInUse() const;
    bool nonExilableDisplayInUse() const;

    // ---- The status tick
    void validateConnections();
    void validateConnectionAttempts();
    void validateDisconnectionAttempts();
    void validateDisconnectAll();
    void assertConnectionStatusForReconciledModels();
    void assertConnectionStatusForDisplayModel(const ModelPtr& model);
    void queryConnectionStatusForCurrentDisplays();

    // The model delegate: a listing state changed.
    void stateTypeUpdateForDisplayModel(Model& model) override;

  private:
    void doInitializations();
    ns::IdArray displayModelArrayValue() const;
    std::weak_ptr<foundation::QNBDisplayModelDelegateProtocol> weakDelegate();
    // Drops duplicates of model from the live list, by the identifier of its current type.
    void removeDuplicatesForDisplayModel(const ModelPtr& model);
    static void removeFromSet(Models& set, const Text& identifier);
    static void removeAttempt(Models& set, const ModelPtr& model);
    static bool attemptInProgress(const Models& set, const ModelPtr& model);
    static bool expired(double date, double timeout);
    bool listed(const ModelPtr& model) const;

    Collaborators m_collaborators;
    Models m_displayModelArray;
    Models m_persistentModelArray;
    Models m_connectionStatusSet;
    Models m_disconnectionStatusSet;
    Models m_deferredConnectionSet;
    Models m_hostDisconnectedSet;
    Models m_disconnectAllSet;
    bool m_unarchiveSuccessAtInit = false;
};

} // namespace host
