#include "foundation/QNBDisplayQuery.h"
#include "foundation/Vocabulary.h"

#include "platform/core/Log.h"

#include <gtest/gtest.h>

using namespace foundation;

namespace {

cf::Dictionary completeRecord() {
    return cf::Dictionary{{"serviceKey", cf::Value("local.~_qnexvscreen._udp.~iPad")},
                          {"hostName", cf::Value("ipad.local")},
                          {"displayName", cf::Value("iPad")},
                          {"deviceIdentifier", cf::Value("ID-1")},
                          {"addressIdentifier", cf::Value("")},
                          {"hosted", cf::Value("YES")},
                          {"connected", cf::Value("NO")},
                          {"updating", cf::Value("YES")},
                          {"hasUSBMechanism", cf::Value("NO")}};
}

cf::Value message(cf::Array records) { return cf::Dictionary{{kDisplayHostingQueryArrayKey, cf::Value(std::move(records))}}; }

cf::Value without(cf::Dictionary d, const std::string& key) {
    d.erase(key);
    return d;
}

cf::Value with(cf::Dictionary d, const std::string& key, cf::Value value) {
    d.insert_or_assign(key, std::move(value));
    return d;
}

} // namespace

TEST(QNBDisplayQuery, AnEmptyRecordWritesEmptyTextsAndNoAndReadsBackPresent) {
    QNBDisplayQuery empty;
    cf::Value plist = empty.propertyListDictionary();
    ASSERT_EQ(plist.count(), 9u);
    for (const char* key : {"serviceKey", "hostName", "displayName", "deviceIdentifier", "addressIdentifier"})
        EXPECT_EQ(*plist.find(key), cf::Value("")) << key;
    for (const char* key : {"hosted", "connected", "updating", "hasUSBMechanism"})
        EXPECT_EQ(*plist.find(key), cf::Value("NO")) << key;

    auto back = QNBDisplayQuery::queryWithDictionary(plist);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->serviceKey(), "");
    EXPECT_EQ(back->addressIdentifier(), "");
    EXPECT_FALSE(back->hosted() || back->connected() || back->background() || back->hasUSBMechanism());
}

TEST(QNBDisplayQuery, RoundTripsEveryFieldWithUpdatingAsBackground) {
    QNBDisplayQuery q;
    q.setServiceKey("k");
    q.setHostName("h");
    q.setDisplayName("d");
    q.setDeviceIdentifier("i");
    q.setAddressIdentifier("qnbAddressStringKey~10.0.0.2");
    q.setConnected(true);
    q.setBackground(true);
    q.setHasUSBMechanism(true);
    cf::Value plist = q.propertyListDictionary();
    EXPECT_EQ(*plist.find("updating"), cf::Value("YES"));
    EXPECT_EQ(*plist.find("hosted"), cf::Value("NO"));

    auto back = QNBDisplayQuery::queryWithDictionary(plist);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->propertyListDictionary(), plist);
    EXPECT_TRUE(back->background());

    auto fromSample = QNBDisplayQuery::queryWithDictionary(cf::Value(completeRecord()));
    ASSERT_NE(fromSample, nullptr);
    EXPECT_TRUE(fromSample->hosted());
    EXPECT_TRUE(fromSample->background());
    EXPECT_FALSE(fromSample->connected());
}

TEST(QNBDisplayQuery, MissingOrWronglyTypedTextsMakeNoRecord) {
    EXPECT_EQ(QNBDisplayQuery::queryWithDictionary(std::nullopt), nullptr);
    EXPECT_EQ(QNBDisplayQuery::queryWithDictionary(cf::Value("not a dictionary")), nullptr);
    for (const char* key : {"serviceKey", "hostName", "displayName", "deviceIdentifier", "addressIdentifier"}) {
        EXPECT_EQ(QNBDisplayQuery::queryWithDictionary(without(completeRecord(), key)), nullptr) << key;
        EXPECT_EQ(QNBDisplayQuery::queryWithDictionary(with(completeRecord(), key, cf::Value(7))), nullptr) << key;
        EXPECT_EQ(QNBDisplayQuery::queryWithDictionary(with(completeRecord(), key, cf::Value(cf::Array{}))), nullptr)
            << key;
    }
}

TEST(QNBDisplayQuery, FlagsReadTextsAndNumbersAndAnythingElseAsNo) {
    auto flag = [](cf::Value value) {
        return QNBDisplayQuery::hostedWithDictionary(with(completeRecord(), "hosted", std::move(value)));
    };
    EXPECT_TRUE(flag(cf::Value("YES")));
    EXPECT_TRUE(flag(cf::Value("true")));
    EXPECT_TRUE(flag(cf::Value("  1")));
    EXPECT_FALSE(flag(cf::Value("NO")));
    EXPECT_FALSE(flag(cf::Value("")));
    EXPECT_TRUE(flag(cf::Value(1)));
    EXPECT_FALSE(flag(cf::Value(0)));
    EXPECT_TRUE(flag(cf::Value(true)));
    EXPECT_FALSE(flag(cf::Value(cf::Array{cf::Value("YES")})));
    EXPECT_FALSE(flag(cf::Value(cf::Dictionary{{"a", cf::Value("YES")}})));
    EXPECT_FALSE(flag(cf::Value::data("YES", 3)));
    EXPECT_FALSE(flag(cf::Value::date(5)));
    EXPECT_FALSE(QNBDisplayQuery::hostedWithDictionary(without(completeRecord(), "hosted")));
    EXPECT_FALSE(QNBDisplayQuery::hostedWithDictionary(cf::Value("not a dictionary")));
}

TEST(QNBDisplayQuery, MessagesKeepOrderAndSkipRecordsThatCannotBeMade) {
    platform::LogCapture capture(true);
    QNBDisplayQuery a, b;
    a.setServiceKey("a");
    b.setServiceKey("b");
    cf::Value m = message({a.propertyListDictionary(), without(completeRecord(), "addressIdentifier"), cf::Value(3),
                           b.propertyListDictionary()});
    auto queries = QNBDisplayQuery::queryArrayWithDictionary(m);
    ASSERT_TRUE(queries);
    ASSERT_EQ(queries->size(), 2u);
    EXPECT_EQ((*queries)[0]->serviceKey(), "a");
    EXPECT_EQ((*queries)[1]->serviceKey(), "b");
    EXPECT_EQ(capture.count("skipping an incomplete hosting record"), 2u);
}

TEST(QNBDisplayQuery, MessagesWithoutUsableRecordsReadAsNothing) {
    platform::LogCapture capture(true);
    EXPECT_FALSE(QNBDisplayQuery::queryArrayWithDictionary(std::nullopt));
    EXPECT_FALSE(QNBDisplayQuery::queryArrayWithDictionary(cf::Value("text")));
    EXPECT_FALSE(QNBDisplayQuery::queryArrayWithDictionary(cf::Value(cf::Dictionary{})));
    EXPECT_FALSE(QNBDisplayQuery::queryArrayWithDictionary(message({})));
    EXPECT_FALSE(QNBDisplayQuery::queryArrayWithDictionary(message({without(completeRecord(), "hostName")})));
    cf::Value dictionaryInstead = cf::Dictionary{{kDisplayHostingQueryArrayKey, cf::Value(completeRecord())}};
    EXPECT_FALSE(QNBDisplayQuery::queryArrayWithDictionary(dictionaryInstead));
    EXPECT_GE(capture.count("refusing a hosting response without an array of records"), 4u);
}

TEST(QNBDisplayQuery, BuildsTheMessageFromRecordsSkippingNulls) {
    auto a = std::make_shared<QNBDisplayQuery>();
    a->setHosted(true);
    cf::Value m = QNBDisplayQuery::dictionaryWithQueries({a, nullptr, a});
    ASSERT_EQ(m.count(), 1u);
    const cf::Value* records = m.find("com.quenby.Tessel.DisplayHostingQueryArrayKey");
    ASSERT_TRUE(records && records->isArray());
    ASSERT_EQ(records->count(), 2u);
    EXPECT_EQ(*records->at(0)->find("hosted"), cf::Value("YES"));

    cf::Value none = QNBDisplayQuery::dictionaryWithQueries({});
    ASSERT_NE(none.find(kDisplayHostingQueryArrayKey), nullptr);
    EXPECT_EQ(none.find(kDisplayHostingQueryArrayKey)->count(), 0u);
}

TEST(QNBDisplayQuery, DescriptionListsTextsAndThreeFlags) {
    QNBDisplayQuery q;
    q.setServiceKey("key");
    q.setHasUSBMechanism(true);
    q.setConnected(true);
    std::string text = q.description();
    EXPECT_TRUE(text.starts_with("<QNBDisplayQuery: 0x"));
    EXPECT_TRUE(text.ends_with("\nserviceKey: key\nhostName: (null)\ndisplayName: (null)\nhosted: NO\nbackground: NO\n"
                               "hasUSBMechanism: YES\ndeviceIdentifier: (null)\naddressIdentifier: (null)\n"))
        << text;
    EXPECT_EQ(text.find("connected"), std::string::npos);
}
