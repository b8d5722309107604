#include "platform/foundation/TXTRecord.h"

#include <gtest/gtest.h>

using namespace ns;

namespace {

cf::Bytes record(std::initializer_list<std::string_view> entries) {
    cf::Bytes out;
    for (auto e : entries) {
        out.push_back(static_cast<uint8_t>(e.size()));
        out.insert(out.end(), e.begin(), e.end());
    }
    return out;
}

std::string text(const cf::Value& dict, std::string_view key) {
    const cf::Value* v = dict.find(key);
    if (!v || !v->asData()) return "<absent>";
    return std::string(v->asData()->begin(), v->asData()->end());
}

TEST(TXTRecord, ReadsEntriesSplittingAtTheFirstEquals) {
    auto dict = dictionaryFromTXTRecordData(
        record({"ConnState=NotConnected", "deviceIdentifier=a=b", "StylusSupportEnabled", "BatteryLevel="}));
    ASSERT_TRUE(dict);
    EXPECT_EQ(dict->count(), 4u);
    EXPECT_EQ(text(*dict, "ConnState"), "NotConnected");
    EXPECT_EQ(text(*dict, "deviceIdentifier"), "a=b");
    EXPECT_EQ(text(*dict, "StylusSupportEnabled"), "");
    EXPECT_EQ(text(*dict, "BatteryLevel"), "");
}

TEST(TXTRecord, EmptyKeysInvalidKeysAndLaterDuplicatesAreSkipped) {
    auto dict =
        dictionaryFromTXTRecordData(record({"=orphan", "k=first", "k=second", "\xff\xfe=bad", "", "v=\xff"}));
    ASSERT_TRUE(dict);
    EXPECT_EQ(dict->count(), 2u);
    EXPECT_EQ(text(*dict, "k"), "first");
    // Values are data: bytes that are no UTF-8 are kept as they are.
    EXPECT_EQ(text(*dict, "v"), "\xff");
}

TEST(TXTRecord, EmptyRecordsAreEmptyAndOverrunsAreUnreadable) {
    auto empty = dictionaryFromTXTRecordData({});
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->count(), 0u);
    auto zero = dictionaryFromTXTRecordData({0});
    ASSERT_TRUE(zero);
    EXPECT_EQ(zero->count(), 0u);

    // A length past the end, in the first entry and after a good one: nil, nothing read past.
    EXPECT_FALSE(dictionaryFromTXTRecordData({5, 'a', '=', 'b'}));
    cf::Bytes tail = record({"a=b"});
    tail.push_back(200);
    tail.push_back('x');
    EXPECT_FALSE(dictionaryFromTXTRecordData(tail));
    EXPECT_FALSE(dictionaryFromTXTRecordData({1}));
}

TEST(TXTRecord, WritesSortedEntriesAndRefusesWhatCannotBeAnEntry) {
    cf::Value dict(cf::Dictionary{{"b", cf::Value("2")}, {"a", cf::Value::data("1", 1)}});
    auto data = dataFromTXTRecordDictionary(dict);
    ASSERT_TRUE(data);
    EXPECT_EQ(*data, record({"a=1", "b=2"}));
    auto back = dictionaryFromTXTRecordData(*data);
    ASSERT_TRUE(back);
    EXPECT_EQ(text(*back, "a"), "1");
    EXPECT_EQ(text(*back, "b"), "2");

    EXPECT_EQ(dataFromTXTRecordDictionary(cf::Value::emptyDictionary()), cf::Bytes{0});
    // 253 bytes of value make a 255-byte entry with "k="; one more is refused.
    EXPECT_TRUE(
        dataFromTXTRecordDictionary(cf::Value(cf::Dictionary{{"k", cf::Value(std::string(253, 'x'))}})));
    EXPECT_FALSE(
        dataFromTXTRecordDictionary(cf::Value(cf::Dictionary{{"k", cf::Value(std::string(254, 'x'))}})));
    EXPECT_FALSE(dataFromTXTRecordDictionary(cf::Value(cf::Dictionary{{"", cf::Value("x")}})));
    EXPECT_FALSE(dataFromTXTRecordDictionary(cf::Value(cf::Dictionary{{"a=b", cf::Value("x")}})));
    EXPECT_FALSE(dataFromTXTRecordDictionary(cf::Value(cf::Dictionary{{"n", cf::Value(3)}})));
    EXPECT_FALSE(dataFromTXTRecordDictionary(cf::Value("not a dictionary")));
}

} // namespace
