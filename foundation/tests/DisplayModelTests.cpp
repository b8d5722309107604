#include "foundation/QNBBonjourServiceHelper.h"
#include "foundation/QNBDisplayModel.h"
#include "foundation/QNBDisplayQuery.h"
#include "foundation/Vocabulary.h"

#include "platform/foundation/NSRange.h"
#include "platform/services/NSNetService.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

using namespace foundation;

namespace {

constexpr char kType[] = "_qnexvscreen._udp";
constexpr char kKitchenKey[] = "local.~_qnexvscreen._udp~Kitchen iPad";

cf::Bytes bytes(std::string_view text) {
    return cf::Bytes(text.begin(), text.end());
}

std::optional<cf::Bytes> txt(const std::map<std::string, std::string>& entries) {
    cf::Dictionary d;
    for (const auto& [key, value] : entries)
        d.insert_or_assign(key, cf::Value(bytes(value)));
    return ns::NSNetService::dataFromTXTRecordDictionary(cf::Value(std::move(d)));
}

std::shared_ptr<ns::NSNetService> kitchen() {
    return ns::NSNetService::create("local.", kType, "Kitchen iPad");
}

std::shared_ptr<QNBDisplayModel> bonjourModel(const std::map<std::string, std::string>& entries) {
    return QNBDisplayModel::displayModelWithServiceAndTXTRecordData(kitchen(), txt(entries));
}

class StateRecorder : public QNBDisplayModelDelegateProtocol {
  public:
    void stateTypeUpdateForDisplayModel(QNBDisplayModel& model) override {
        states.push_back(model.stateType());
    }
    std::vector<uint64_t> states;
};

class KeyRecorder : public ns::NSObject {
  public:
    void observeValueForKeyPath(const std::string& keyPath, NSObject*, const ns::NSKeyValueChangeInfo& change,
                                void*) override {
        notices.emplace_back(keyPath, change.newValue);
    }
    std::vector<std::pair<std::string, ns::Id>> notices;
};

} // namespace

TEST(QNBDisplayModel, ANewModelIsAvailableIdleAtClientVersionOne) {
    auto model = QNBDisplayModel::create();
    EXPECT_TRUE(model->availability());
    EXPECT_EQ(model->stateType(), QNBTesselListingIdleType);
    EXPECT_EQ(model->availabilityString(), "");
    EXPECT_EQ(model->displayName(), "");
    EXPECT_FALSE(model->hostName());
    EXPECT_EQ(model->version(), 3u);
    EXPECT_TRUE(model->objectVersion()->starts_with("QNBDisplayModel; Version; 3; Build; "));
    EXPECT_EQ(model->clientMajorVersion(), 1u);
    EXPECT_EQ(model->clientMinorVersion(), 0u);
    EXPECT_EQ(model->clientSubVersion(), 0u);
    EXPECT_EQ(model->currentIdentifierType(), QNBUninitialized);
    EXPECT_EQ(model->connectionAttemptDate(), -978307200.0);
}

TEST(QNBDisplayModel, StateChainFollowsConnectionBackgroundAndMechanism) {
    auto model = QNBDisplayModel::create();
    model->setConnected(true); // another Mac's connection
    EXPECT_FALSE(model->availability());
    EXPECT_EQ(model->stateType(), QNBTesselListingUnavailableType);
    EXPECT_EQ(model->availabilityString(), "unavailable");
    model->setLocalConnection(true);
    EXPECT_TRUE(model->lastConnectionLocalHint());
    EXPECT_EQ(model->stateType(), QNBTesselListingConnectedType);
    EXPECT_TRUE(model->hasActiveConnection());
    model->setInBackground(true);
    EXPECT_EQ(model->stateType(), QNBTesselListingInactiveType);
    EXPECT_EQ(model->availabilityString(), "inactive");
    EXPECT_TRUE(model->hasBackgroundConnection());

    // USB shows its text in every state; connected by this Mac it is listed connected (its
    // row can end it), idle it offers nothing to connect.
    model->setDisplayMechanism(QNBUSBConnectionMechanism);
    EXPECT_EQ(model->availabilityString(), "USB connection");
    model->setInBackground(false);
    model->updateAvailability();
    EXPECT_TRUE(model->availability());
    EXPECT_EQ(model->stateType(), QNBTesselListingConnectedType);
    EXPECT_EQ(model->availabilityString(), "USB connection");
    model->setLocalConnection(false); // another Mac's cable: not this Mac's to end
    EXPECT_EQ(model->stateType(), QNBTesselListingUnavailableType);
    model->setLocalConnection(true);
    model->setConnected(false);
    EXPECT_EQ(model->stateType(), QNBTesselListingIdleType);
    EXPECT_EQ(model->availabilityString(), "USB connection");
    EXPECT_FALSE(model->availability());
}

TEST(QNBDisplayModel, AUsbDeviceReportedConnectedStaysListedConnected) {
    // The road a USB device takes: built from the server's report, then marked this Mac's.
    auto model = QNBDisplayModel::create();
    auto delegate = std::make_shared<StateRecorder>();
    model->setDelegate(delegate);
    model->setDisplayMechanism(QNBUSBConnectionMechanism);
    model->setConnected(true);
    model->setLocalConnection(true);
    model->setInBackground(false);
    EXPECT_EQ(model->stateType(), QNBTesselListingConnectedType);
    ASSERT_FALSE(delegate->states.empty());
    EXPECT_EQ(delegate->states.back(), QNBTesselListingConnectedType);
    EXPECT_TRUE(model->availability());
    EXPECT_TRUE(model->isDisconnectable());
}

TEST(QNBDisplayModel, DelegateHearsStateChangesOnlyAndDatesThem) {
    auto model = QNBDisplayModel::create();
    double before = model->stateChangeDate();
    model->setStateChangeDate(before - 100);
    model->setConnected(true); // no delegate: the date stays
    EXPECT_EQ(model->stateChangeDate(), before - 100);

    auto delegate = std::make_shared<StateRecorder>();
    model->setDelegate(delegate);
    model->setLocalConnection(true);
    model->setLocalConnection(true); // no change, no call
    model->setConnected(false);
    EXPECT_EQ(delegate->states,
              (std::vector<uint64_t>{QNBTesselListingConnectedType, QNBTesselListingIdleType}));
    EXPECT_GT(model->stateChangeDate(), before - 100);
}

TEST(QNBDisplayModel, KeyValueObserversSeeDependentKeys) {
    auto model = QNBDisplayModel::create();
    auto recorder = std::make_shared<KeyRecorder>();
    model->addObserver(recorder, "stateTypeNumber", ns::NSKeyValueObservingOptionNew);
    model->addObserver(recorder, "displayType", ns::NSKeyValueObservingOptionNew);
    model->addObserver(recorder, "hostName", ns::NSKeyValueObservingOptionNew);
    model->setConnected(true);
    model->setPlatformName(std::string("MacOSX"));
    model->setHostName(std::nullopt);
    model->removeObserver(recorder.get(), "stateTypeNumber");
    model->removeObserver(recorder.get(), "displayType");
    model->removeObserver(recorder.get(), "hostName");
    ASSERT_EQ(recorder->notices.size(), 3u);
    EXPECT_EQ(recorder->notices[0].first, "stateTypeNumber");
    EXPECT_EQ(recorder->notices[0].second.integerValue(), QNBTesselListingUnavailableType);
    EXPECT_EQ(recorder->notices[1].first, "displayType");
    EXPECT_EQ(recorder->notices[1].second.integerValue(), QNBMonitorDisplayType);
    EXPECT_EQ(recorder->notices[2].first, "hostName"); // announced even when nil keeps the old one

    EXPECT_EQ(*model->valueForKey("displayName").string(), "");
    model->setValueForKey(ns::Id(std::string("Desk")), "hostName");
    EXPECT_EQ(model->hostName(), "Desk");
    model->setHostName(std::nullopt);
    EXPECT_EQ(model->hostName(), "Desk");
}

TEST(QNBDisplayModel, PlatformNamesGiveDisplayTypesAndClientKinds) {
    auto model = QNBDisplayModel::create();
    const std::vector<std::pair<std::optional<std::string>, uint64_t>> cases = {
        {"iPad_Stylus", QNBiPadStylusDisplayType}, {"iPad", QNBiPadDisplayType},
        {"Android_tablet", QNBiPadDisplayType},    {std::nullopt, QNBiPadDisplayType},
        {"MacOSX", QNBMonitorDisplayType},         {"ipod", QNBiPhoneDisplayType},
        {"Android_phone", QNBiPhoneDisplayType},   {"Windows", QNBMonitorDisplayType},
        {"Surface", QNBiPadDisplayType},           {"Toaster", QNBiPadDisplayType}};
    for (const auto& [platform, type] : cases) {
        model->setPlatformName(platform);
        EXPECT_EQ(model->displayType(), type) << platform.value_or("nil");
    }
    model->setPlatformName(std::string("iPhone"));
    EXPECT_TRUE(model->isiOSClient());
    EXPECT_FALSE(model->alwaysAllowMultipleConnections());
    EXPECT_TRUE(model->isExilable());
    model->setClientMajorVersion(2);
    EXPECT_FALSE(model->isExilable());
    model->setPlatformName(std::string("Android_tablet"));
    EXPECT_TRUE(model->isAndroidClient());
    EXPECT_TRUE(model->alwaysAllowMultipleConnections());
    model->setPlatformName(std::nullopt);
    EXPECT_FALSE(model->alwaysAllowMultipleConnections());
}

TEST(QNBDisplayModel, PredicatesForDisconnectingAndAutoConnecting) {
    auto model = QNBDisplayModel::create();
    model->setConnected(true);
    model->setLocalConnection(true);
    EXPECT_TRUE(model->isDisconnectable());
    model->setAutoConnectMode(true);
    EXPECT_FALSE(model->isDisconnectable());
    model->setAutoConnectMode(false);
    model->setDisplayMechanism(QNBUSBConnectionMechanism);
    EXPECT_TRUE(model->isDisconnectable()); // a live USB display can be ended like any other
    EXPECT_TRUE(model->allowedToAutoConnect());
    model->setDisplayMechanism(QNBNetworkAddressMechanism);
    EXPECT_FALSE(model->allowedToAutoConnect());
    model->setRequestedDeferredConnection(true);
    model->setFailedToResolve(true);
    model->resetDeferredConnectionState();
    EXPECT_FALSE(model->requestedDeferredConnection());
    EXPECT_FALSE(model->failedToResolve());
}

TEST(QNBDisplayModelFactory, AOneEntryRecordKeepsDefaultsAndTheServiceKey) {
    auto model = bonjourModel({{"ConnState", "Connected"}});
    ASSERT_TRUE(model);
    EXPECT_EQ(model->displayMechanism(), QNBBonjourDiscoveryMechanism);
    EXPECT_EQ(model->serviceKey(), kKitchenKey);
    EXPECT_EQ(model->displayName(), "Kitchen iPad");
    EXPECT_FALSE(model->connected());
    EXPECT_FALSE(model->useBatteryLevel());
    EXPECT_FALSE(model->platformName());
    EXPECT_EQ(model->clientMajorVersion(), 1u);
    EXPECT_EQ(model->currentIdentifierType(), QNBServiceKey);
    EXPECT_EQ(model->uniqueIdentifier(), kKitchenKey);
}

TEST(QNBDisplayModelFactory, ARecordDescribesTheDevice) {
    auto model = bonjourModel({{"ConnState", "Connected"},
                               {"LMPlatformName", "iPad_Stylus"},
                               {"StylusSupportEnabled", "YES"},
                               {"deviceIdentifier", "dev-1"},
                               {"BatteryLevel", "0.25"},
                               {"ClientProtocolVersionMajorKey", "2"},
                               {"ClientProtocolVersionMinorKey", "7"}});
    EXPECT_TRUE(model->connected());
    EXPECT_FALSE(model->availability());
    EXPECT_EQ(model->stateType(), QNBTesselListingUnavailableType);
    EXPECT_TRUE(model->useBatteryLevel());
    EXPECT_DOUBLE_EQ(model->batteryLevel(), 0.25);
    EXPECT_EQ(model->displayType(), QNBiPadStylusDisplayType);
    EXPECT_TRUE(model->stylusSupported());
    EXPECT_EQ(model->clientMajorVersion(), 2u);
    EXPECT_EQ(model->clientMinorVersion(), 7u);
    EXPECT_EQ(model->clientSubVersion(), 0u); // absent
    EXPECT_EQ(model->currentIdentifierType(), QNBDeviceIdentifier);
    EXPECT_EQ(model->uniqueIdentifier(), "dev-1");
    EXPECT_EQ(QNBDisplayModel::displayModelWithService(nullptr), nullptr);
}

TEST(QNBDisplayModelFactory, ProtocolThreeClientsAreNeverConnectedByTheirRecord) {
    auto model = bonjourModel({{"ConnState", "Connected"}, {"ClientProtocolVersionMajorKey", "3"}});
    EXPECT_FALSE(model->connected());
    EXPECT_TRUE(model->availability());
    EXPECT_EQ(model->stateType(), QNBTesselListingIdleType);
    EXPECT_FALSE(QNBDisplayModel::connectionStateFromTxtRecord(
        cf::Value(cf::Dictionary{{"ConnState", cf::Value(bytes("NotConnected"))}})));
}

TEST(QNBDisplayModelFactory, BatteryLevelsAreHeldToOneAndNonFiniteOnesAreAbsent) {
    EXPECT_DOUBLE_EQ(bonjourModel({{"ConnState", "None"}, {"BatteryLevel", "1.7"}})->batteryLevel(), 1.0);
    EXPECT_DOUBLE_EQ(bonjourModel({{"ConnState", "None"}, {"BatteryLevel", "-0.2"}})->batteryLevel(), 0.0);
    auto huge = bonjourModel({{"ConnState", "None"}, {"BatteryLevel", "1e999"}});
    EXPECT_FALSE(huge->useBatteryLevel());
    EXPECT_EQ(huge->batteryLevel(), 0.0);
}

TEST(QNBDisplayModelFactory, HostileVersionTextsReadAsZero) {
    auto model = bonjourModel({{"ClientProtocolVersionMajorKey", "x"},
                               {"ClientProtocolVersionMinorKey", "-1"},
                               {"ClientProtocolVersionSubKey", "99999999999999999999"},
                               {"deviceIdentifier", std::string("\xff\xfe", 2)}});
    EXPECT_EQ(model->clientMajorVersion(), 0u);
    EXPECT_EQ(model->clientMinorVersion(), 0u);
    EXPECT_EQ(model->clientSubVersion(), 0u);
    EXPECT_FALSE(model->deviceIdentifier()); // invalid UTF-8
    EXPECT_EQ(model->currentIdentifierType(), QNBServiceKey);
}

TEST(QNBDisplayModelFactory, MechanismNumbersOutsideOneToFiveAreUnknown) {
    EXPECT_EQ(QNBDisplayModel::mechanismFromNumberString(std::nullopt), 0u);
    EXPECT_EQ(QNBDisplayModel::mechanismFromNumberString("4"), 4u);
    EXPECT_EQ(QNBDisplayModel::mechanismFromNumberString(" 5 "), 5u);
    EXPECT_EQ(QNBDisplayModel::mechanismFromNumberString("6"), 0u);
    EXPECT_EQ(QNBDisplayModel::mechanismFromNumberString("-1"), 0u);
    EXPECT_EQ(QNBDisplayModel::mechanismFromNumberString("three"), 0u);
}

TEST(QNBDisplayModelFactory, ATypedAddressIsItsOwnIdentity) {
    auto model = QNBDisplayModel::displayModelWithAddressString("10.0.0.9");
    EXPECT_EQ(model->displayMechanism(), QNBNetworkAddressMechanism);
    EXPECT_EQ(model->addressIdentifier(), "qnbAddressStringKey~10.0.0.9");
    EXPECT_EQ(model->uniqueIdentifier(), "qnbAddressStringKey~10.0.0.9");
    EXPECT_EQ(model->currentIdentifierType(), QNBAddressIdentifier);
    EXPECT_EQ(model->hostName(), "10.0.0.9");
    EXPECT_EQ(model->displayName(), "10.0.0.9");
    EXPECT_FALSE(model->serviceKey());
    EXPECT_TRUE(model->availability());
}

TEST(QNBDisplayModelFactory, AServerReportIsConnectedUnderItsFirstNonEmptyIdentifier) {
    cf::Value info(cf::Dictionary{{kDeviceIdentifier, cf::Value("")},
                                  {kServiceKey, cf::Value(kKitchenKey)},
                                  {kAddressIdentifier, cf::Value("qnbAddressStringKey~10.0.0.9")},
                                  {kDisplayNameKey, cf::Value("Kitchen iPad")},
                                  {kConnectionMechanism, cf::Value("3")},
                                  {kLimnerPlatformNameKey, cf::Value("iPad")}});
    auto model = QNBDisplayModel::displayModelWithNotificationDictionary(info);
    ASSERT_TRUE(model);
    EXPECT_EQ(model->currentIdentifierType(), QNBServiceKey);
    EXPECT_EQ(model->uniqueIdentifier(), kKitchenKey);
    EXPECT_FALSE(model->deviceIdentifier()); // "" is no identifier
    EXPECT_EQ(model->displayMechanism(), QNBNetworkConnectionMechanism);
    EXPECT_TRUE(model->connected());
    EXPECT_EQ(model->stateType(), QNBTesselListingConnectedType);
    EXPECT_EQ(model->hostName(), "Kitchen iPad");
    EXPECT_EQ(model->platformName(), "iPad");

    // The listed Bonjour model keeps its identity when it takes the report's state.
    auto listed = bonjourModel({{"ConnState", "None"}, {"LMPlatformName", "iPad"}});
    listed->updateStateWithDisplayModel(*model);
    EXPECT_EQ(listed->uniqueIdentifier(), kKitchenKey);
    EXPECT_EQ(listed->currentIdentifierType(), QNBServiceKey);
    EXPECT_TRUE(listed->connected());

    // Only empty identifiers, or texts of another kind: no identity at all.
    auto none = QNBDisplayModel::displayModelWithNotificationDictionary(cf::Value(cf::Dictionary{
        {kDeviceIdentifier, cf::Value("")}, {kServiceKey, cf::Value(7)}, {kDisplayNameKey, cf::Value(1)}}));
    EXPECT_FALSE(none->uniqueIdentifier());
    EXPECT_EQ(none->currentIdentifierType(), QNBUninitialized);
    EXPECT_FALSE(none->displayName());
    EXPECT_EQ(QNBDisplayModel::displayModelWithNotificationDictionary(std::nullopt), nullptr);
    EXPECT_EQ(QNBDisplayModel::displayModelWithNotificationDictionary(cf::Value("x")), nullptr);
}

TEST(QNBDisplayModelFactory, AnEmptyTXTValueNamesNothing) {
    auto m = bonjourModel({{"LMPlatformName", ""}, {"deviceIdentifier", ""}, {"ConnState", "Connected"}});
    ASSERT_TRUE(m);
    EXPECT_FALSE(m->platformName());
    EXPECT_FALSE(m->alwaysAllowMultipleConnections()) << "no platform is known";
    EXPECT_EQ(m->currentIdentifierType(), QNBServiceKey);
}

TEST(QNBDisplayModelFactory, AHostedQueryWithADeviceAndANameMakesAModelOfThatDevice) {
    auto query = std::make_shared<QNBDisplayQuery>();
    query->setDeviceIdentifier("dev-1");
    query->setDisplayName("Pad");
    query->setHostName("pad.local.");
    query->setServiceKey(kKitchenKey);
    EXPECT_FALSE(QNBDisplayModel::displayModelWithDisplayQuery(query)) << "not hosted";
    query->setHosted(true);
    auto idle = QNBDisplayModel::displayModelWithDisplayQuery(query);
    ASSERT_TRUE(idle);
    EXPECT_EQ(idle->uniqueIdentifier(), "dev-1");
    EXPECT_EQ(idle->currentIdentifierType(), QNBDeviceIdentifier);
    EXPECT_EQ(idle->hostName(), "pad.local.");
    EXPECT_EQ(idle->serviceKey(), kKitchenKey);
    EXPECT_EQ(idle->displayName(), "") << "the display name is not copied";
    EXPECT_EQ(idle->displayMechanism(), QNBNetworkConnectionMechanism);
    EXPECT_EQ(idle->stateType(), QNBTesselListingIdleType);

    query->setConnected(true);
    query->setBackground(true);
    query->setHasUSBMechanism(true);
    auto inactive = QNBDisplayModel::displayModelWithDisplayQuery(query);
    EXPECT_EQ(inactive->stateType(), QNBTesselListingInactiveType);
    EXPECT_EQ(inactive->displayMechanism(), QNBUSBConnectionMechanism);
    query->setBackground(false);
    EXPECT_EQ(QNBDisplayModel::displayModelWithDisplayQuery(query)->stateType(),
              QNBTesselListingConnectedType);

    query->setDisplayName("");
    EXPECT_FALSE(QNBDisplayModel::displayModelWithDisplayQuery(query)) << "an empty display name";
    query->setDisplayName("Pad");
    query->setDeviceIdentifier(std::nullopt);
    EXPECT_FALSE(QNBDisplayModel::displayModelWithDisplayQuery(query)) << "no device identifier";
    EXPECT_FALSE(QNBDisplayModel::displayModelWithDisplayQuery(nullptr));
}

TEST(QNBDisplayModel, AModelMatchesAQueryByDeviceOrServiceKeyAndMakesOne) {
    auto model = bonjourModel({{"deviceIdentifier", "dev-1"}, {"LMPlatformName", "iPad"}});
    ASSERT_TRUE(model);
    auto query = model->displayQuery();
    EXPECT_EQ(query->serviceKey(), kKitchenKey);
    EXPECT_EQ(query->displayName(), "Kitchen iPad");
    EXPECT_EQ(query->hostName(), model->hostName());
    EXPECT_FALSE(query->hosted());
    EXPECT_FALSE(query->connected());
    EXPECT_FALSE(query->deviceIdentifier()) << "only names and the service key";
    EXPECT_TRUE(model->matchesDisplayQuery(*query)) << "by service key";

    QNBDisplayQuery other;
    other.setDeviceIdentifier("dev-1");
    EXPECT_TRUE(model->matchesDisplayQuery(other)) << "by device identifier";
    other.setDeviceIdentifier("dev-2");
    other.setServiceKey("local.~_qnexvscreen._udp~Other");
    EXPECT_FALSE(model->matchesDisplayQuery(other));
    // Empty identifiers on both sides are no match.
    auto typed = QNBDisplayModel::displayModelWithAddressString("10.0.0.2");
    QNBDisplayQuery blank;
    blank.setDeviceIdentifier("");
    blank.setServiceKey("");
    EXPECT_FALSE(typed->matchesDisplayQuery(blank));
}

TEST(QNBDisplayModelFactory, UpdatingTakesNamesOnlyWhenNotEmptyAndBonjourHostNames) {
    auto listed = QNBDisplayModel::displayModelWithAddressString("10.0.0.9");
    listed->setPlatformName(std::string("iPad"));
    auto newer = bonjourModel({{"ConnState", "Connected"}, {"BatteryLevel", "0.5"}});
    newer->setDisplayName(std::string());
    newer->setHostName(std::string("10.0.0.7"));
    listed->updateStateWithDisplayModel(*newer);
    EXPECT_EQ(listed->displayName(), "10.0.0.9");
    EXPECT_EQ(listed->platformName(), "iPad");
    EXPECT_DOUBLE_EQ(listed->batteryLevel(), 0.5);
    EXPECT_EQ(listed->hostName(), "10.0.0.7");
    EXPECT_EQ(listed->currentIdentifierType(), QNBServiceKey);
    EXPECT_EQ(listed->serviceKey(), kKitchenKey);
    EXPECT_EQ(listed->addressIdentifier(), "qnbAddressStringKey~10.0.0.9");
    EXPECT_EQ(listed->displayMechanism(), QNBBonjourDiscoveryMechanism);
    EXPECT_TRUE(listed->connected());
    EXPECT_FALSE(listed->lastConnectionLocalHint());

    auto archived = QNBDisplayModel::create();
    archived->setAutoConnectMode(true);
    archived->setPresentationMode(true);
    listed->updateArchivedStateWithDisplayModel(*archived);
    EXPECT_TRUE(listed->autoConnectMode());
    EXPECT_TRUE(listed->presentationMode());
}

TEST(QNBDisplayModelFactory, MergingRaisesEachVersionNumberOnItsOwn) {
    auto a = QNBDisplayModel::create();
    a->setClientMajorVersion(2);
    a->setClientMinorVersion(5);
    a->setDisplayName(std::string("A"));
    auto b = QNBDisplayModel::displayModelWithAddressString("10.0.0.9");
    b->setClientMajorVersion(3);
    b->setClientMinorVersion(0);
    b->setDeviceIdentifier(std::string("dev-1"));
    auto merged = QNBDisplayModel::mergeDuplicateDisplayModels({a, b});
    ASSERT_EQ(merged, a);
    EXPECT_EQ(merged->clientMajorVersion(), 3u);
    EXPECT_EQ(merged->clientMinorVersion(), 5u);
    EXPECT_EQ(merged->displayMechanism(), QNBNetworkAddressMechanism);
    EXPECT_EQ(merged->uniqueIdentifier(), "qnbAddressStringKey~10.0.0.9");
    EXPECT_EQ(merged->currentIdentifierType(), QNBAddressIdentifier);
    EXPECT_EQ(merged->deviceIdentifier(), "dev-1");
    EXPECT_EQ(merged->hostName(), "10.0.0.9");
    EXPECT_EQ(merged->displayName(), "A");
    EXPECT_EQ(QNBDisplayModel::mergeDuplicateDisplayModels({}), nullptr);
}

TEST(QNBDisplayModel, VersionsAndTheDescription) {
    auto model = QNBDisplayModel::create();
    model->setObjectVersion(std::string("QNBDisplayModel; Version; 2; Build; 7"));
    EXPECT_EQ(model->versionDictionary()->find("build")->asString()->c_str(), std::string("7"));
    EXPECT_TRUE(model->objectVersionAtLeast(2));
    EXPECT_FALSE(model->objectVersionAtLeast(3));
    model->setObjectVersion(std::string("QNBDisplayModel; Version; x; Build; 7"));
    EXPECT_EQ(model->version(), ns::NSNotFound);
    model->setObjectVersion(std::nullopt);
    EXPECT_FALSE(model->versionDictionary());
    EXPECT_TRUE(model->objectVersionAtLeast(1));
    EXPECT_FALSE(model->objectVersionAtLeast(2));

    model->setDisplayName(std::string("Desk"));
    model->setAutoConnectMode(true);
    std::string text = model->description();
    EXPECT_TRUE(text.starts_with("<QNBDisplayModel: 0x")) << text;
    EXPECT_NE(
        text.find(
            "> name = Desk, type = QNBiPadDisplayType state = QNBTesselListingIdleType, version = "
            "1.0.0, autoconnect = YES, uniqueIdentifier = (null), currentIdentifierType = QNBUninitialized"),
        std::string::npos)
        << text;
    EXPECT_EQ(NSStringFromQNBTesselMechanism(QNBNetworkConnectionMechanism), "unknown/invalid");
    EXPECT_EQ(NSStringFromQNBTesselMechanism(QNBBonjourServiceVanished), "QNBBonjourServiceVanished");
    EXPECT_EQ(NSStringFromQNBDisplayModelConnectingState(9), "unknown/invalid");
    EXPECT_EQ(NSStringFromQNBCurrentIdentifierType(-1), "QNBUninitialized");
}

TEST(QNBBonjourServiceHelper, HelpersOfServicesCarryTheirKeyAndService) {
    auto service = kitchen();
    EXPECT_EQ(QNBBonjourServiceHelper::serviceKeyForService(*service), kKitchenKey);
    auto helper = QNBBonjourServiceHelper::serviceHelperWithService(service);
    ASSERT_TRUE(helper);
    EXPECT_EQ(helper->serviceKey(), kKitchenKey);
    EXPECT_EQ(helper->domain(), "local.");
    EXPECT_EQ(helper->name(), "Kitchen iPad");
    EXPECT_FALSE(helper->hostName()); // not resolved
    EXPECT_EQ(helper->service(), service);
    EXPECT_EQ(QNBBonjourServiceHelper::serviceHelperWithService(nullptr), nullptr);
    EXPECT_EQ(
        QNBBonjourServiceHelper::serviceHelperWithService(ns::NSNetService::create("local.", kType, "")),
        nullptr);
}
