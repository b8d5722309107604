#include "foundation/QNBDisplayModel.h"

#include "platform/core/Log.h"
#include "platform/corefoundation/PropertyList.h"
#include "platform/foundation/NSKeyedArchiver.h"

#include <gtest/gtest.h>

using namespace foundation;

namespace {

constexpr char kKey[] = "local.~_qnexvscreen._udp~Demo iPad";

std::shared_ptr<QNBDisplayModel> demoModel() {
    auto model = QNBDisplayModel::create();
    model->setServiceKey(std::string(kKey));
    model->setHostName(std::string("127.0.0.2"));
    model->setDisplayName(std::string("Demo iPad"));
    model->setAutoConnectMode(true);
    model->setClientMajorVersion(2);
    model->setClientMinorVersion(4);
    model->setClientSubVersion(1);
    model->setDeviceIdentifier(std::string("demo-1"));
    model->setUniqueIdentifier(std::string("demo-1"));
    model->setCurrentIdentifierType(QNBDeviceIdentifier);
    return model;
}

// An archive whose root is one model written as the dictionary fields (plus its class).
std::string archiveOfModel(cf::Dictionary fields) {
    fields.insert_or_assign("$class", cf::Value::uid(2));
    cf::Array objects{cf::Value("$null"), cf::Value(std::move(fields)),
                      cf::Value(cf::Dictionary{
                          {"$classname", cf::Value("QNBDisplayModel")},
                          {"$classes", cf::Value(std::vector<std::string>{"QNBDisplayModel", "NSObject"})}})};
    cf::Value plist(cf::Dictionary{{"$archiver", cf::Value("NSKeyedArchiver")},
                                   {"$version", cf::Value(int64_t{100000})},
                                   {"$top", cf::Value(cf::Dictionary{{"root", cf::Value::uid(1)}})},
                                   {"$objects", cf::Value(std::move(objects))}});
    auto data = cf::dataFromPropertyList(plist, cf::PropertyListFormat::Binary);
    return std::string(data->begin(), data->end());
}

std::shared_ptr<QNBDisplayModel> read(std::string_view bytes) {
    QNBDisplayModel::registerArchiveClass();
    auto root = ns::NSKeyedUnarchiver::unarchiveObjectWithData(bytes);
    return root ? root->as<QNBDisplayModel>() : nullptr;
}

} // namespace

TEST(QNBDisplayModelArchive, TwelveKeysRoundTripAndNothingElse) {
    auto model = demoModel();
    model->setConnected(true);
    model->setPresentationMode(true);
    model->setPlatformName(std::string("iPad"));
    auto data = ns::NSKeyedArchiver::archivedDataWithRootObject(ns::ArchivedObject::instance(model));
    ASSERT_TRUE(data);

    auto plist = cf::propertyListFromData(*data);
    const cf::Value* fields = plist->find("$objects")->at(1);
    ASSERT_TRUE(fields);
    EXPECT_EQ(fields->count(), 13u); // twelve keys and the class
    EXPECT_EQ(*fields->find("autoConnectMode"), cf::Value(true));
    EXPECT_EQ(*fields->find("currentIdentifierType"), cf::Value(3));
    EXPECT_FALSE(fields->find("platformName"));

    auto back = read(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->objectVersion(), model->objectVersion());
    EXPECT_EQ(back->serviceKey(), kKey);
    EXPECT_EQ(back->hostName(), "127.0.0.2");
    EXPECT_EQ(back->displayName(), "Demo iPad");
    EXPECT_TRUE(back->autoConnectMode());
    EXPECT_EQ(back->clientMajorVersion(), 2u);
    EXPECT_EQ(back->clientMinorVersion(), 4u);
    EXPECT_EQ(back->clientSubVersion(), 1u);
    EXPECT_EQ(back->deviceIdentifier(), "demo-1");
    EXPECT_EQ(back->uniqueIdentifier(), "demo-1");
    EXPECT_FALSE(back->addressIdentifier());
    EXPECT_EQ(back->currentIdentifierType(), QNBDeviceIdentifier);
    // What is not archived keeps its initial value.
    EXPECT_FALSE(back->connected());
    EXPECT_FALSE(back->presentationMode());
    EXPECT_FALSE(back->platformName());
    EXPECT_EQ(back->stateType(), QNBTesselListingIdleType);
}

TEST(QNBDisplayModelArchive, VersionOneOrNoVersionRestoresOnlyTheFirstEightKeys) {
    cf::Dictionary fields{
        {"serviceKey", cf::Value(kKey)},           {"displayName", cf::Value("Demo iPad")},
        {"clientMajorVersion", cf::Value(2)},      {"deviceIdentifier", cf::Value("demo-1")},
        {"uniqueIdentifier", cf::Value("demo-1")}, {"currentIdentifierType", cf::Value(3)}};
    auto noVersion = read(archiveOfModel(fields));
    ASSERT_TRUE(noVersion);
    EXPECT_FALSE(noVersion->objectVersion());
    EXPECT_EQ(noVersion->serviceKey(), kKey);
    EXPECT_EQ(noVersion->clientMajorVersion(), 2u);
    EXPECT_FALSE(noVersion->deviceIdentifier());
    EXPECT_FALSE(noVersion->uniqueIdentifier());
    EXPECT_EQ(noVersion->currentIdentifierType(), QNBUninitialized);

    fields.insert_or_assign("objectVersion", cf::Value("QNBDisplayModel; Version; 1; Build; 1"));
    auto versionOne = read(archiveOfModel(fields));
    ASSERT_TRUE(versionOne);
    EXPECT_EQ(versionOne->version(), 1u);
    EXPECT_EQ(versionOne->currentIdentifierType(), QNBUninitialized);

    fields.insert_or_assign("objectVersion", cf::Value("QNBDisplayModel; Version; 2; Build; 1"));
    auto versionTwo = read(archiveOfModel(fields));
    EXPECT_EQ(versionTwo->currentIdentifierType(), QNBDeviceIdentifier);
    EXPECT_EQ(versionTwo->uniqueIdentifier(), "demo-1");
}

TEST(QNBDisplayModelArchive, KeysOfAnotherKindReadAsAbsentWithALogLineEach) {
    platform::LogCapture log(true);
    auto model = read(archiveOfModel({{"objectVersion", cf::Value("QNBDisplayModel; Version; 3; Build; 1")},
                                      {"serviceKey", cf::Value(42)},
                                      {"hostName", cf::Value(cf::Bytes{1, 2})},
                                      {"displayName", cf::Value("Demo iPad")},
                                      {"autoConnectMode", cf::Value("YES")},
                                      {"clientMajorVersion", cf::Value("2")},
                                      {"clientMinorVersion", cf::Value(-4)},
                                      {"deviceIdentifier", cf::Value(true)},
                                      {"uniqueIdentifier", cf::Value("")},
                                      {"currentIdentifierType", cf::Value(9)}}));
    ASSERT_TRUE(model);
    EXPECT_FALSE(model->serviceKey());
    EXPECT_FALSE(model->hostName());
    EXPECT_EQ(model->displayName(), "Demo iPad");
    EXPECT_FALSE(model->autoConnectMode());
    EXPECT_EQ(model->clientMajorVersion(), 0u);
    EXPECT_EQ(model->clientMinorVersion(), 0u);
    EXPECT_FALSE(model->deviceIdentifier());
    EXPECT_FALSE(model->uniqueIdentifier()); // "" is stored as absent
    EXPECT_EQ(model->currentIdentifierType(), QNBUninitialized);
    EXPECT_TRUE(log.contains("QNBDisplayModel: archived \"serviceKey\" is not a text; read as absent"));
    EXPECT_TRUE(log.contains("QNBDisplayModel: archived \"hostName\" is not a text; read as absent"));
    EXPECT_TRUE(
        log.contains("QNBDisplayModel: archived \"clientMajorVersion\" is not a number; read as absent"));
    EXPECT_TRUE(
        log.contains("QNBDisplayModel: archived \"clientMinorVersion\" is not a count; read as absent"));
    EXPECT_TRUE(log.contains("QNBDisplayModel: archived \"currentIdentifierType\" 9 is no identifier type"));
    EXPECT_EQ(log.count("QNBDisplayModel: archived"), 6u);
}

TEST(QNBDisplayModelArchive, DamagedArchivesAreRefusedNotCrashed) {
    platform::LogCapture log(true);
    std::string good = archiveOfModel({{"displayName", cf::Value("Demo iPad")}});
    for (size_t cut : {size_t{0}, size_t{8}, good.size() / 2, good.size() - 1}) {
        platform::Error error;
        EXPECT_FALSE(
            ns::NSKeyedUnarchiver::unarchiveObjectWithData(std::string_view(good).substr(0, cut), &error))
            << cut;
        EXPECT_EQ(error.code, 4864) << cut;
    }
    EXPECT_TRUE(read(good));
}

TEST(QNBDisplayModelArchive, ACopyCarriesIdentityNamesVersionAndAutoConnectOnly) {
    auto model = demoModel();
    model->setConnected(true);
    model->setPlatformName(std::string("iPad"));
    auto copy = model->copy();
    EXPECT_NE(copy, model);
    EXPECT_EQ(copy->objectVersion(), model->objectVersion());
    EXPECT_EQ(copy->serviceKey(), kKey);
    EXPECT_EQ(copy->uniqueIdentifier(), "demo-1");
    EXPECT_EQ(copy->currentIdentifierType(), QNBDeviceIdentifier);
    EXPECT_EQ(copy->hostName(), "127.0.0.2");
    EXPECT_EQ(copy->clientMinorVersion(), 4u);
    EXPECT_TRUE(copy->autoConnectMode());
    EXPECT_FALSE(copy->connected());
    EXPECT_FALSE(copy->platformName());
}
