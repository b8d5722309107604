// The display-model manager with a fake view manager and alerts, the fake clock and an archive
// in a temporary home: merging, removal, the remembered list and its archive, attempts and
// their expiry, deferred connections, disconnect-all and the screen server's reports.
#include "HostTestSupport.h"

#include "host/QNBButler.h"
#include "host/QNBDisplayModelManager.h"

#include "foundation/QNBDisplayQuery.h"
#include "foundation/Vocabulary.h"

#include "platform/core/Log.h"
#include "platform/dispatch/Testing.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/services/NSNetService.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using namespace host;
using namespace host::testing;
using foundation::QNBDisplayModel;
using Models = QNBDisplayModelManager::Models;

std::shared_ptr<QNBDisplayModel> model(const std::string& name, std::optional<std::string> deviceId,
                                       std::optional<std::string> serviceKey = std::nullopt,
                                       std::optional<std::string> address = std::nullopt) {
    auto m = QNBDisplayModel::create();
    m->setDisplayName(name);
    m->setDeviceIdentifier(deviceId);
    m->setServiceKey(serviceKey);
    if (address) {
        m->setAddressIdentifier("qnbAddressStringKey~" + *address);
        m->setHostName(address);
    }
    m->identifyByFirstIdentifier();
    return m;
}

class ArrayObserver final : public ns::NSObject {
  public:
    void observeValueForKeyPath(const std::string& keyPath, ns::NSObject*, const ns::NSKeyValueChangeInfo&,
                                void*) override {
        if (keyPath == "displayModelArray") ++changes;
    }
    int changes = 0;
};

class QNBDisplayModelManagerTest : public ::testing::Test {
  protected:
    std::shared_ptr<QNBDisplayModelManager> make() {
        QNBDisplayModelManager::Collaborators c;
        c.viewManager = m_view;
        c.alerts = m_alerts;
        c.post = [this](const std::string& name, const std::optional<cf::Value>&, uint64_t options) {
            m_posts.push_back(name + " " + std::to_string(options));
        };
        c.connect = [this](const QNBDisplayModelManager::ModelPtr& m) { m_connects.push_back(m); };
        return QNBDisplayModelManager::create(std::move(c));
    }
    void writeArchive(const ns::ArchivedObject& root) {
        ns::NSFileManager::defaultManager()->createDirectoryAtPath(
            m_root.home() + "/Library/Application Support/Quenby/Tessel", true);
        ASSERT_TRUE(ns::NSKeyedArchiver::archiveRootObject(root, m_root.archivePath()));
    }
    bool exists(const std::string& path) {
        return ns::NSFileManager::defaultManager()->fileExistsAtPath(path);
    }

    TemporaryRoot m_root;
    platform::LogCapture m_log{true};
    std::shared_ptr<FakeViewManager> m_view = std::make_shared<FakeViewManager>();
    std::shared_ptr<FakeAlerts> m_alerts = std::make_shared<FakeAlerts>();
    std::vector<std::string> m_posts;
    Models m_connects;
};

TEST_F(QNBDisplayModelManagerTest, AddingMergesByIdentifierAndNameAndLeavesNamelessModelsOut) {
    auto manager = make();
    auto nameless = model("", "dev-1");
    EXPECT_EQ(manager->addDisplayModel(nameless), nameless);
    EXPECT_TRUE(manager->displayModelArray().empty());

    auto kitchen = model("Kitchen", "dev-1");
    EXPECT_EQ(manager->addDisplayModel(kitchen), kitchen);
    // Only the display name in common: names count when adding.
    auto sameName = model("Kitchen", std::nullopt, "local.~_qnexvscreen._udp~Kitchen");
    EXPECT_EQ(manager->addDisplayModel(sameName), kitchen);
    ASSERT_EQ(manager->displayModelArray().size(), 1u);
    EXPECT_EQ(kitchen->delegate().get(), manager.get());

    // Listed again: answered unchanged, not merged with itself and dropped.
    EXPECT_EQ(manager->addDisplayModel(kitchen), kitchen);
    EXPECT_EQ(manager->displayModelArray(), Models{kitchen});
}

TEST_F(QNBDisplayModelManagerTest, AModelMatchingTwoListedModelsReplacesBothByTheirMergeAtTheEnd) {
    auto manager = make();
    auto byDevice = model("A", "dev-1");
    auto other = model("Other", "dev-9");
    auto byAddress = model("B", std::nullopt, std::nullopt, "10.0.0.5");
    byDevice->setClientMajorVersion(2);
    byDevice->setClientMinorVersion(5);
    byAddress->setClientMajorVersion(3);
    manager->addDisplayModel(byDevice);
    manager->addDisplayModel(other);
    manager->addDisplayModel(byAddress);

    auto both = model("C", "dev-1", std::nullopt, "10.0.0.5");
    auto kept = manager->addDisplayModel(both);
    EXPECT_EQ(kept, byDevice); // the merge starts from the first listed member
    EXPECT_EQ(manager->displayModelArray(), (Models{other, byDevice}));
    EXPECT_EQ(kept->addressIdentifier(), "qnbAddressStringKey~10.0.0.5");
    // The newer model's state is taken after the merge (versions merged number by number first).
    EXPECT_EQ(kept->displayName(), "C");
}

TEST_F(QNBDisplayModelManagerTest, EveryAddAndRemoveIsOneChangeOfTheListKey) {
    auto manager = make();
    auto observer = std::make_shared<ArrayObserver>();
    manager->addObserver(observer, "displayModelArray", ns::NSKeyValueObservingOptionNew);
    auto a = model("A", "dev-1");
    manager->addDisplayModel(a);
    manager->addDisplayModel(model("B", "dev-2"));
    EXPECT_EQ(observer->changes, 2);
    manager->removeDisplayModel(a);
    EXPECT_EQ(observer->changes, 3);
    EXPECT_EQ(manager->valueForKey("displayModelArray").arrayValue().size(), 1u);
    manager->removeObserver(observer.get(), "displayModelArray");
}

TEST_F(QNBDisplayModelManagerTest, RemovingWritesTheArchiveAndDropsModelsOfTheSameCurrentIdentifier) {
    auto manager = make();
    auto a = model("A", "dev-1");
    manager->addDisplayModel(a);
    auto twin = model("Twin", "dev-1");
    // Listed behind the manager's back, as a stale copy would be.
    manager->addDisplayModel(model("C", "dev-3"));
    const_cast<Models&>(manager->displayModelArray()).push_back(twin);
    manager->removeDisplayModel(a);
    ASSERT_EQ(manager->displayModelArray().size(), 1u);
    EXPECT_EQ(manager->displayModelArray()[0]->displayName(), "C");
    EXPECT_TRUE(m_log.contains("Removed Display Model: <QNBDisplayModel: "));
    // The remembered list is untouched by removal and was written.
    auto again = make();
    EXPECT_TRUE(again->unarchiveSuccessAtInit());
    EXPECT_EQ(again->persistentModelArray().size(), 2u);
}

TEST_F(QNBDisplayModelManagerTest, RememberedChoicesReachANewModelOfTheSameDevice) {
    auto archived = model("Kitchen", "dev-1");
    archived->setAutoConnectMode(true);
    writeArchive(ns::ArchivedObject::arrayOfInstances(std::vector{archived}));
    auto manager = make();
    EXPECT_TRUE(manager->unarchiveSuccessAtInit());
    EXPECT_TRUE(m_log.contains("Display model prototype version: 3"));
    ASSERT_EQ(manager->persistentModelArray().size(), 1u);
    EXPECT_TRUE(manager->displayModelArray().empty()); // remembered models are never listed themselves

    auto found = model("Kitchen", "dev-1", "local.~_qnexvscreen._udp~Kitchen");
    manager->addDisplayModel(found);
    EXPECT_TRUE(found->autoConnectMode());
    EXPECT_EQ(manager->persistentModelArray(), Models{found});
}

TEST_F(QNBDisplayModelManagerTest, AnArchiveOfAnotherVersionIsDeletedAndAnEmptyOneIsCurrent) {
    auto old = model("Old", "dev-1");
    old->setObjectVersion("QNBDisplayModel; Version; 2; Build; 1");
    writeArchive(ns::ArchivedObject::arrayOfInstances(std::vector{old, model("New", "dev-2")}));
    auto manager = make();
    EXPECT_TRUE(manager->unarchiveSuccessAtInit());
    EXPECT_TRUE(manager->persistentModelArray().empty());
    EXPECT_FALSE(exists(m_root.archivePath()));

    writeArchive(ns::ArchivedObject::arrayOf({}));
    EXPECT_TRUE(make()->unarchiveSuccessAtInit());
    EXPECT_TRUE(exists(m_root.archivePath()));
}

TEST_F(QNBDisplayModelManagerTest, ARootThatIsNoListIsUnreadableAndKeptAside) {
    writeArchive(ns::ArchivedObject(cf::Value("not a list")));
    auto manager = make();
    EXPECT_FALSE(manager->unarchiveSuccessAtInit());
    EXPECT_TRUE(m_log.contains("Error reading archive: " + m_root.archivePath()));
    EXPECT_TRUE(m_log.contains("Could not unarchive display models"));
    EXPECT_TRUE(exists(m_root.archivePath() + ".bad"));
    EXPECT_FALSE(exists(m_root.archivePath()));
    // The host works on and writes a valid archive.
    manager->addDisplayModel(model("A", "dev-1"));
    EXPECT_TRUE(manager->archiveDisplayModels());
    EXPECT_TRUE(make()->unarchiveSuccessAtInit());
}

TEST_F(QNBDisplayModelManagerTest, GarbageAndAListNotStartingWithAModelAreSetAsideEachUnderItsOwnName) {
    ns::NSFileManager::defaultManager()->createDirectoryAtPath(
        m_root.home() + "/Library/Application Support/Quenby/Tessel", true);
    std::ofstream(m_root.archivePath()) << "bplist00 garbage";
    EXPECT_FALSE(make()->unarchiveSuccessAtInit());
    EXPECT_TRUE(exists(m_root.archivePath() + ".bad"));

    // Damaged the same way as garbage, not out of date: the user's models after the first stay
    // on disk, and the earlier damaged archive too.
    writeArchive(ns::ArchivedObject::arrayOf(
        {ns::ArchivedObject(cf::Value(int64_t{7})), ns::ArchivedObject::instance(model("A", "dev-1"))}));
    m_log.clear();
    auto manager = make();
    EXPECT_FALSE(manager->unarchiveSuccessAtInit());
    EXPECT_TRUE(m_log.contains("Error reading archive: " + m_root.archivePath()));
    EXPECT_TRUE(manager->persistentModelArray().empty());
    EXPECT_FALSE(exists(m_root.archivePath()));
    EXPECT_EQ(platformd::testing::readFile(m_root.archivePath() + ".bad"), "bplist00 garbage");
    QNBDisplayModel::registerArchiveClass();
    auto kept = QNBButler::unarchiveFileWithPath(m_root.archivePath() + ".2.bad");
    ASSERT_TRUE(kept && kept->isArray() && kept->items().size() == 2u);
    EXPECT_EQ(kept->items()[1].as<QNBDisplayModel>()->deviceIdentifier(), "dev-1");

    std::ofstream(m_root.archivePath()) << "bplist00 more garbage";
    EXPECT_FALSE(make()->unarchiveSuccessAtInit());
    EXPECT_TRUE(exists(m_root.archivePath() + ".3.bad"));
    EXPECT_TRUE(exists(m_root.archivePath() + ".2.bad"));
}

TEST_F(QNBDisplayModelManagerTest, ADeviceNameWithALineBreakIsLoggedOnOneLine) {
    auto manager = make();
    auto evil =
        manager->addDisplayModel(model("iPad\n2026-12-10 10:00:00.000 Tessel Host[1:1] Forged", "dev-1"));
    manager->localConnectionMadeForDisplayModel(evil);
    m_log.clear();
    manager->localConnectionEndedForDisplayModel(evil);
    EXPECT_TRUE(
        m_log.contains("Connection ended for: iPad\\n2026-12-10 10:00:00.000 Tessel Host[1:1] Forged"));
    for (const auto& line : m_log.lines())
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
}

TEST_F(QNBDisplayModelManagerTest, ExpiredConnectAttemptsAlertByWhetherTheDeviceIsStillListed) {
    auto manager = make();
    auto listed = model("Listed", "dev-1");
    auto gone = model("Gone", "dev-2");
    auto typed = QNBDisplayModel::displayModelWithAddressString("10.0.0.7");
    manager->addDisplayModel(listed);
    manager->addDisplayModel(typed);
    manager->addConnectionAttemptWithDisplayModel(listed);
    manager->addConnectionAttemptWithDisplayModel(gone);
    manager->addConnectionAttemptWithDisplayModel(typed);
    platform::installFakeClock().advance(platform::seconds(20));
    manager->validateConnections();
    EXPECT_TRUE(m_alerts->shown.empty()); // 20 s is not yet over 20 s
    platform::installFakeClock().advance(platform::seconds(0.5));
    manager->validateConnections();
    ASSERT_EQ(m_alerts->shown.size(), 3u);
    EXPECT_EQ(m_alerts->shown[0].message, "Could not connect");
    EXPECT_EQ(m_alerts->shown[0].informativeText, "Tessel could not communicate with the display device.");
    EXPECT_EQ(m_alerts->shown[1].informativeText, "The selected display, Gone, is no longer available.");
    EXPECT_EQ(m_alerts->activations, 3);
    EXPECT_TRUE(manager->connectionStatusSet().empty());
    EXPECT_EQ(manager->displayModelArray(), Models{listed}); // the typed address is dropped
    EXPECT_TRUE(m_log.contains("Connect to display timeout"));
}

TEST_F(QNBDisplayModelManagerTest, ASecondDeferredConnectDropsTheAttemptAndAResolveConnectsTheDeferredModel) {
    auto manager = make();
    auto m = model("Kitchen", "dev-1");
    manager->addDisplayModel(m);
    manager->addConnectionAttemptWithDisplayModel(m);
    manager->addDeferredConnectionForDisplayModel(m);
    EXPECT_TRUE(m->requestedDeferredConnection());
    EXPECT_TRUE(manager->connectionAttemptInProgressForDisplayModel(m));
    manager->addDeferredConnectionForDisplayModel(m);
    EXPECT_FALSE(manager->connectionAttemptInProgressForDisplayModel(m));
    manager->attemptDeferredConnectionForDisplayModel(m);
    EXPECT_EQ(m_connects, Models{m});
    manager->removeDeferredConnectionForDisplayModel(m);
    EXPECT_FALSE(m->requestedDeferredConnection());
    manager->attemptDeferredConnectionForDisplayModel(m);
    EXPECT_EQ(m_connects.size(), 1u);
}

TEST_F(QNBDisplayModelManagerTest, AFailedResolveMarksTheModelAndDropsItsDeferredConnection) {
    auto manager = make();
    auto service = ns::NSNetService::create("local.", "_qnexvscreen._udp", "Kitchen");
    auto m = manager->addDisplayModel(model("Kitchen", std::nullopt, "local.~_qnexvscreen._udp~Kitchen"));
    manager->addConnectionAttemptWithDisplayModel(m);
    manager->addDeferredConnectionForDisplayModel(m);
    manager->resolveFailedForService(service);
    EXPECT_TRUE(m->failedToResolve());
    EXPECT_FALSE(m->requestedDeferredConnection());
    EXPECT_TRUE(manager->deferredConnectionSet().empty());
    manager->attemptDeferredConnectionForDisplayModel(m);
    EXPECT_TRUE(m_connects.empty()) << "nothing waits for the resolve any more";
    // The attempt itself is found by any of its identifiers' key paths until it is answered.
    EXPECT_TRUE(
        manager->connectionAttemptInProgressForIdentifier("local.~_qnexvscreen._udp~Kitchen", "serviceKey"));
    EXPECT_FALSE(manager->connectionAttemptInProgressForIdentifier("local.~_qnexvscreen._udp~Kitchen",
                                                                   "deviceIdentifier"));
    EXPECT_FALSE(manager->connectionAttemptInProgressForIdentifier("", "serviceKey"));
    EXPECT_FALSE(manager->disconnectionAttemptInProgressForIdentifier("local.~_qnexvscreen._udp~Kitchen",
                                                                      "serviceKey"));
    // A later resolve of the same service clears the mark.
    manager->resolveSucceededForService(service);
    EXPECT_FALSE(m->failedToResolve());
    manager->resolveFailedForService(ns::NSNetService::create("local.", "_qnexvscreen._udp", "Elsewhere"));
    EXPECT_FALSE(m->failedToResolve()) << "another service's failure";
}

TEST_F(QNBDisplayModelManagerTest, TheInUseSelectionsTakeOnlyDisplaysConnectedByThisMac) {
    auto manager = make();
    EXPECT_FALSE(manager->displayInUse());
    auto pad = manager->addDisplayModel(model("Old Pad", "dev-a"));
    pad->setPlatformName("iPad");
    auto mac = manager->addDisplayModel(model("Mac", "dev-m"));
    mac->setPlatformName("MacOSX");
    auto elsewhere = manager->addDisplayModel(model("Elsewhere", "dev-e"));
    auto idle = manager->addDisplayModel(model("Idle", "dev-i"));
    manager->localConnectionMadeForDisplayModel(pad);
    manager->localConnectionMadeForDisplayModel(mac);
    mac->setInBackground(true);
    elsewhere->setConnected(true); // connected by another Mac
    (void)idle;

    EXPECT_EQ(manager->exilableDisplaysInUse(), Models{pad});
    EXPECT_EQ(manager->locallyConnectedDisplayModels(), (Models{pad, mac}));
    EXPECT_TRUE(manager->displayInUse());
    EXPECT_TRUE(manager->nonExilableDisplayInUse()) << "the Mac in the background";
    EXPECT_FALSE(manager->bonjourMechanismDisplayInUse());
    elsewhere->setDisplayMechanism(foundation::QNBBonjourDiscoveryMechanism);
    EXPECT_FALSE(manager->bonjourMechanismDisplayInUse()) << "not connected by this Mac";
    mac->setDisplayMechanism(foundation::QNBBonjourDiscoveryMechanism);
    EXPECT_TRUE(manager->bonjourMechanismDisplayInUse());

    manager->localConnectionEndedForDeviceIdentifier("dev-m");
    EXPECT_FALSE(manager->nonExilableDisplayInUse());
    EXPECT_EQ(manager->locallyConnectedDisplayModels(), Models{pad});
    manager->resetDisplayModels();
    EXPECT_TRUE(manager->displayModelArray().empty());
    EXPECT_FALSE(manager->displayInUse());
}

TEST_F(QNBDisplayModelManagerTest, FourActiveOrBackgroundConnectionsLeaveNoRoom) {
    auto manager = make();
    for (int i = 0; i < 4; ++i) {
        auto m = manager->addDisplayModel(model("D" + std::to_string(i), "dev-" + std::to_string(i)));
        EXPECT_TRUE(manager->roomForOneMore());
        manager->localConnectionMadeForDisplayModel(m);
        if (i == 3) m->setInBackground(true);
    }
    EXPECT_EQ(manager->activeServerCount(), 3u);
    EXPECT_EQ(manager->backgroundServerCount(), 1u);
    EXPECT_FALSE(manager->roomForOneMore());
}

TEST_F(QNBDisplayModelManagerTest, DisconnectAllCompletesOnceWhenTheLastMemberIsThrough) {
    auto manager = make();
    Models three;
    for (int i = 0; i < 3; ++i) {
        auto m = manager->addDisplayModel(model("D" + std::to_string(i), "dev-" + std::to_string(i)));
        manager->localConnectionMadeForDisplayModel(m);
        manager->addHostDisconnectionForDisplayModel(m);
        manager->addDisconnectionAttemptWithDisplayModel(m);
        three.push_back(m);
    }
    manager->hostWillDisconnectAll(three);
    EXPECT_EQ(m_view->count("hostWillDisconnectAll"), 1u);
    manager->validateConnections();
    EXPECT_EQ(manager->disconnectAllSet().size(), 3u);
    manager->localConnectionEndedForDisplayModel(three[0]);
    manager->localConnectionEndedForDisplayModel(three[1]);
    manager->validateConnections();
    EXPECT_EQ(m_view->count("disconnectAllComplete"), 0u);
    manager->localConnectionEndedForDisplayModel(three[2]);
    manager->validateConnections();
    manager->validateConnections();
    EXPECT_EQ(m_view->count("disconnectAllComplete"), 1u);
    EXPECT_FALSE(manager->isDisconnectAllInProgress());
    // The user disconnected them: they stay listed, idle.
    EXPECT_EQ(manager->displayModelArray().size(), 3u);
}

// A device the user disconnected stays listed, idle, when its connection ends, so it can be
// connected again; over USB the cable's device is gone with its connection, so it leaves.
TEST_F(QNBDisplayModelManagerTest, AUSBModelTheUserDisconnectedIsRemovedWhenItsConnectionEnds) {
    auto manager = make();
    auto usb = model("Cable", "dev-usb");
    usb->setDisplayMechanism(foundation::QNBUSBConnectionMechanism);
    usb = manager->addDisplayModel(usb);
    auto network = manager->addDisplayModel(model("Air", "dev-air"));
    for (const auto& m : {usb, network}) {
        manager->localConnectionMadeForDisplayModel(m);
        manager->addHostDisconnectionForDisplayModel(m);
    }
    manager->localConnectionEndedForDisplayModel(usb);
    manager->localConnectionEndedForDisplayModel(network);
    ASSERT_EQ(manager->displayModelArray().size(), 1u);
    EXPECT_EQ(manager->displayModelArray()[0]->displayName(), "Air");
    EXPECT_FALSE(manager->displayModelArray()[0]->connected());
}

TEST_F(QNBDisplayModelManagerTest, AnEmptyDeviceIdentifierBesideAServiceKeyKeepsTheServiceKeyAsIdentity) {
    auto manager = make();
    const std::string key = "local.~_qnexvscreen._udp~Kitchen";
    auto reported = QNBDisplayModel::displayModelWithNotificationDictionary(
        cf::Value(cf::Dictionary{{"deviceIdentifier", ""},
                                 {"serviceKey", key},
                                 {"displayName", "Kitchen"},
                                 {"connectionMechanism", "3"}}));
    auto kept = manager->addDisplayModel(reported);
    manager->localConnectionMadeForDisplayModel(kept);
    ASSERT_EQ(manager->displayModelArray().size(), 1u);
    EXPECT_EQ(kept->uniqueIdentifier(), key);
    EXPECT_EQ(kept->currentIdentifierType(), foundation::QNBServiceKey);
    EXPECT_EQ(manager->displayModelForServiceKey(key), kept);
}

TEST_F(QNBDisplayModelManagerTest, ServerReportsOfOtherKindsChangeNothing) {
    auto manager = make();
    auto m = manager->addDisplayModel(model("Kitchen", "dev-1"));
    manager->localConnectionMadeForDisplayModel(m);
    manager->localConnectionEndedWithDictionary(cf::Value(cf::Dictionary{{"deviceIdentifier", int64_t{1}}}));
    manager->localConnectionEndedWithDictionary(cf::Value("dev-1"));
    manager->displayHostingUpdateForDisplayQueries(std::nullopt);
    EXPECT_TRUE(m->connected());
    manager->localConnectionEndedWithDictionary(cf::Value(cf::Dictionary{{"deviceIdentifier", "dev-1"}}));
    EXPECT_FALSE(m->connected());
    EXPECT_TRUE(manager->displayModelArray().empty()); // not disconnected by the user
}

TEST_F(QNBDisplayModelManagerTest, HostingQueriesUpdateModelsAndDropDanglingServerModels) {
    auto manager = make();
    auto served = QNBDisplayModel::displayModelWithNotificationDictionary(cf::Value(cf::Dictionary{
        {"deviceIdentifier", "dev-1"}, {"displayName", "Served"}, {"connectionMechanism", "3"}}));
    auto dangling = QNBDisplayModel::displayModelWithNotificationDictionary(cf::Value(cf::Dictionary{
        {"deviceIdentifier", "dev-2"}, {"displayName", "Dangling"}, {"connectionMechanism", "3"}}));
    manager->addDisplayModel(served);
    manager->addDisplayModel(dangling);
    auto query = std::make_shared<foundation::QNBDisplayQuery>();
    query->setDeviceIdentifier("dev-1");
    query->setHosted(true);
    query->setConnected(true);
    query->setBackground(true);
    manager->displayHostingUpdateForDisplayQueries(std::vector{query});
    EXPECT_EQ(manager->displayModelArray(), Models{served});
    EXPECT_TRUE(served->localConnection());
    EXPECT_TRUE(served->inBackground());
    EXPECT_EQ(served->stateType(), foundation::QNBTesselListingInactiveType);
    EXPECT_TRUE(m_log.contains("Removed dangling mechanism display model: "));
}

TEST_F(QNBDisplayModelManagerTest, TheMultiQueryGoesToAllSessionsImmediately) {
    make()->queryConnectionStatusForCurrentDisplays();
    EXPECT_EQ(m_posts, std::vector<std::string>{std::string(foundation::kDisplayHostingMultiQuery) + " 3"});
}

} // namespace
