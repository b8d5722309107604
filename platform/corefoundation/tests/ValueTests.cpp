#include "platform/corefoundation/TextValues.h"
#include "platform/corefoundation/Value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace cf;

TEST(Value, BooleansAreNeverNumbers) {
    EXPECT_NE(Value(true), Value(1));
    EXPECT_NE(Value(false), Value(0.0));
    EXPECT_NE(CFGetTypeID(Value(true)), CFGetTypeID(Value(1)));
    EXPECT_EQ(CFGetTypeID(Value(true)), CFBooleanGetTypeID());
    EXPECT_FALSE(Value(true).numberType());
    int32_t out = 99;
    EXPECT_FALSE(CFNumberGetValue(Value(true), kCFNumberSInt32Type, &out));
    EXPECT_EQ(out, 0);
    EXPECT_EQ(Value(true).integerValue(), 1); // NSNumber-style accessors count a boolean 0/1
    EXPECT_TRUE(CFBooleanGetValue(kCFBooleanTrue));
    EXPECT_FALSE(CFBooleanGetValue(Value(1)));
}

TEST(Value, ConstructionKeepsFixedSizeNumberTypes) {
    EXPECT_EQ(CFNumberGetType(Value(int8_t(1))), kCFNumberSInt8Type);
    EXPECT_EQ(CFNumberGetType(Value(int16_t(1))), kCFNumberSInt16Type);
    EXPECT_EQ(CFNumberGetType(Value(1)), kCFNumberSInt32Type);
    EXPECT_EQ(CFNumberGetType(Value(int64_t(1))), kCFNumberSInt64Type);
    EXPECT_EQ(CFNumberGetType(Value(uint8_t(200))), kCFNumberSInt16Type);
    EXPECT_EQ(CFNumberGetType(Value(uint32_t(4000000000u))), kCFNumberSInt64Type);
    EXPECT_EQ(Value(uint32_t(4000000000u)).integerValue(), 4000000000LL);
    EXPECT_EQ(CFNumberGetType(Value(1.5f)), kCFNumberFloat32Type);
    EXPECT_EQ(CFNumberGetType(Value(1.5)), kCFNumberFloat64Type);
    // Aliases resolve to the fixed-size types.
    EXPECT_EQ(CFNumberGetType(Value::number(kCFNumberIntType, int64_t(3))), kCFNumberSInt32Type);
    EXPECT_EQ(CFNumberGetType(Value::number(kCFNumberLongType, int64_t(3))), kCFNumberSInt64Type);
    EXPECT_EQ(CFNumberGetType(Value::number(kCFNumberCFIndexType, int64_t(3))), kCFNumberSInt64Type);
    EXPECT_EQ(CFNumberGetType(Value::number(kCFNumberFloatType, 3.0)), kCFNumberFloat32Type);
    EXPECT_EQ(CFNumberGetType(Value::number(kCFNumberCGFloatType, 3.0)), kCFNumberFloat64Type);
    // Made with a narrower type, a number keeps the low-order bits / the nearest Float32.
    EXPECT_EQ(Value::number(kCFNumberSInt8Type, int64_t(300)).integerValue(), 44);
    EXPECT_EQ(*Value::number(kCFNumberFloat32Type, 0.1).storedReal(), double(0.1f));
    int16_t raw = -2;
    EXPECT_EQ(CFNumberCreate(kCFNumberShortType, &raw)->integerValue(), -2);
    EXPECT_FALSE(CFNumberCreate(static_cast<CFNumberType>(99), &raw));
}

TEST(Value, NumberGetValueConversionTable) {
    int32_t i32 = 0;
    EXPECT_FALSE(CFNumberGetValue(Value(int64_t(1) << 40), kCFNumberSInt32Type, &i32));
    EXPECT_EQ(i32, 0); // low-order bits
    EXPECT_FALSE(CFNumberGetValue(Value(int64_t(0x1'0000'0005)), kCFNumberSInt32Type, &i32));
    EXPECT_EQ(i32, 5);
    EXPECT_FALSE(CFNumberGetValue(Value(1.5), kCFNumberSInt32Type, &i32));
    EXPECT_EQ(i32, 1); // truncated
    EXPECT_FALSE(CFNumberGetValue(Value(-1.5), kCFNumberIntType, &i32));
    EXPECT_EQ(i32, -1);
    EXPECT_FALSE(CFNumberGetValue(Value(std::nan("")), kCFNumberSInt32Type, &i32));
    EXPECT_EQ(i32, 0);
    EXPECT_FALSE(CFNumberGetValue(Value(1e10), kCFNumberSInt32Type, &i32));
    EXPECT_EQ(i32, INT32_MAX); // saturated
    int64_t i64 = 0;
    EXPECT_FALSE(CFNumberGetValue(Value(-1e20), kCFNumberSInt64Type, &i64));
    EXPECT_EQ(i64, INT64_MIN);
    EXPECT_FALSE(CFNumberGetValue(Value(9223372036854775808.0), kCFNumberSInt64Type, &i64));
    EXPECT_EQ(i64, INT64_MAX);
    EXPECT_TRUE(CFNumberGetValue(Value(-9223372036854775808.0), kCFNumberSInt64Type, &i64));
    EXPECT_TRUE(CFNumberGetValue(Value(2.0f), kCFNumberSInt64Type, &i64));
    EXPECT_EQ(i64, 2);

    int8_t i8 = 0;
    EXPECT_TRUE(CFNumberGetValue(Value(-128), kCFNumberSInt8Type, &i8));
    EXPECT_FALSE(CFNumberGetValue(Value(128), kCFNumberCharType, &i8));
    EXPECT_EQ(i8, -128);

    float f = 0;
    EXPECT_FALSE(CFNumberGetValue(Value((1 << 24) + 1), kCFNumberFloat32Type, &f));
    EXPECT_EQ(f, 16777216.0f);
    EXPECT_TRUE(CFNumberGetValue(Value(1 << 24), kCFNumberFloatType, &f));
    EXPECT_FALSE(CFNumberGetValue(Value(0.1), kCFNumberFloat32Type, &f));
    EXPECT_EQ(f, 0.1f);
    EXPECT_TRUE(CFNumberGetValue(Value(0.5), kCFNumberFloat32Type, &f));
    EXPECT_FALSE(CFNumberGetValue(Value(1e300), kCFNumberFloat32Type, &f));
    EXPECT_TRUE(CFNumberGetValue(Value(std::nan("")), kCFNumberFloat32Type, &f));

    double d = 0;
    EXPECT_TRUE(CFNumberGetValue(Value(0.1f), kCFNumberFloat64Type, &d));
    EXPECT_EQ(d, double(0.1f));
    EXPECT_FALSE(CFNumberGetValue(Value((int64_t(1) << 53) + 1), kCFNumberDoubleType, &d));
    EXPECT_FALSE(CFNumberGetValue(Value(INT64_MAX), kCFNumberFloat64Type, &d)); // rounds up to 2^63
    EXPECT_TRUE(CFNumberGetValue(Value(INT64_MIN), kCFNumberFloat64Type, &d));

    EXPECT_FALSE(CFNumberGetValue(std::optional<Value>(), kCFNumberSInt64Type, &i64));
    EXPECT_FALSE(CFNumberGetValue(Value("12"), kCFNumberSInt64Type, &i64));
    EXPECT_EQ(i64, 0);
}

TEST(Value, NSNumberStyleAccessors) {
    EXPECT_EQ(Value(1.9).intValue(), 1);
    EXPECT_EQ(Value(-1.9).integerValue(), -1);
    EXPECT_EQ(Value(int64_t(1) << 40).intValue(), 0);
    EXPECT_EQ(Value(1e30).integerValue(), INT64_MAX);
    EXPECT_EQ(Value(std::nan("")).integerValue(), 0);
    EXPECT_DOUBLE_EQ(Value(3).doubleValue(), 3.0);
    EXPECT_TRUE(Value(0.25).boolValue());
    EXPECT_FALSE(Value(0).boolValue());
    EXPECT_EQ(Value::data("ab", 2).integerValue(), 0);
}

TEST(TextValues, FollowTheNSStringRules) {
    EXPECT_EQ(textIntegerValue("  -42abc"), -42);
    EXPECT_EQ(textIntegerValue("+7"), 7);
    EXPECT_EQ(textIntegerValue("abc"), 0);
    EXPECT_EQ(textIntegerValue("99999999999999999999"), INT64_MAX);
    EXPECT_EQ(textIntegerValue("-99999999999999999999"), INT64_MIN);
    EXPECT_EQ(textIntegerValue("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(textIntValue("3000000000"), INT32_MAX);
    EXPECT_DOUBLE_EQ(textDoubleValue(" -3.5e2x"), -350.0);
    EXPECT_DOUBLE_EQ(textDoubleValue(".5"), 0.5);
    EXPECT_DOUBLE_EQ(textDoubleValue("2e"), 2.0);
    EXPECT_EQ(textDoubleValue("0x10"), 0.0);
    EXPECT_EQ(textDoubleValue("nan"), 0.0);
    EXPECT_EQ(textDoubleValue("inf"), 0.0);
    EXPECT_EQ(textDoubleValue("1e999"), std::numeric_limits<double>::infinity());
    EXPECT_EQ(textDoubleValue("-1e999"), -std::numeric_limits<double>::infinity());
    EXPECT_TRUE(textBoolValue("  +0007"));
    EXPECT_TRUE(textBoolValue("yes"));
    EXPECT_TRUE(textBoolValue("True"));
    EXPECT_FALSE(textBoolValue("0"));
    EXPECT_FALSE(textBoolValue("no"));
    EXPECT_FALSE(textBoolValue("000"));
    EXPECT_FALSE(textBoolValue(""));
    EXPECT_EQ(textStrictInteger(" 12 "), 12);
    EXPECT_FALSE(textStrictInteger("12abc"));
    EXPECT_FALSE(textStrictInteger("-"));
    EXPECT_FALSE(textStrictInteger("99999999999999999999"));
    EXPECT_EQ(Value(" 42abc").intValue(), 42);
    EXPECT_TRUE(Value("Y").boolValue());
}

TEST(Value, EqualityComparesNumbersByValue) {
    EXPECT_EQ(Value(1), Value(1.0));
    EXPECT_EQ(Value(int8_t(5)), Value(int64_t(5)));
    EXPECT_EQ(Value(0.5f), Value(0.5));
    EXPECT_NE(Value(1), Value(1.5));
    EXPECT_NE(Value(0.1f), Value(0.1));
    EXPECT_NE(Value((int64_t(1) << 62) + 1), Value(double(int64_t(1) << 62)));
    EXPECT_NE(Value(INT64_MAX), Value(9223372036854775808.0));
    EXPECT_EQ(Value(std::nan("")), Value(std::nan("")));
    EXPECT_NE(Value("1"), Value(1));
    EXPECT_EQ(Value::date(5), Value::date(5));
    EXPECT_NE(Value::date(5), Value(5.0));
    EXPECT_NE(Value::uid(1), Value(1));
    Dictionary a{{"k", Value(Array{Value(1), Value(true)})}};
    Dictionary b{{"k", Value(Array{Value(1.0), Value(true)})}};
    EXPECT_EQ(Value(a), Value(b));
    b.insert_or_assign("k", Value(Array{Value(1.0), Value(1)}));
    EXPECT_NE(Value(a), Value(b));
}

TEST(Value, CollectionsAreIndependentValues) {
    Value original(Dictionary{{"a", Value(1)}, {"b", Value("x")}});
    Value changed = original.setting("a", Value(2)).setting("b", std::nullopt);
    EXPECT_EQ(original.find("a")->intValue(), 1);
    EXPECT_EQ(original.count(), 2u);
    EXPECT_EQ(changed.find("a")->intValue(), 2);
    EXPECT_EQ(changed.find("b"), nullptr);
    EXPECT_EQ(Value(1).setting("k", Value(true)).count(), 1u);
    Value list(std::vector<std::string>{"p", "q"});
    EXPECT_EQ(*list.at(1)->asString(), "q");
    EXPECT_EQ(list.at(2), nullptr);
    EXPECT_EQ(list.find("p"), nullptr);
    Value fromMap(std::map<std::string, int>{{"n", 3}});
    EXPECT_EQ(CFNumberGetType(*fromMap.find("n")), kCFNumberSInt32Type);
    EXPECT_FALSE(Value(1).asString());
    EXPECT_FALSE(Value("s").asDictionary());
}

TEST(Value, DescriptionUsesTheOldTextStyle) {
    Value v(Dictionary{{"a", Value(1)},
                       {"b", Value(Array{Value("x"), Value("y z"), Value(true)})},
                       {"c", Value(Bytes{0x0a, 0x0b, 0x0c, 0x0d, 0x0e})},
                       {"d e", Value(0.5)},
                       {"f", Value(0.1f)}});
    EXPECT_EQ(v.description(), "{ a = 1; b = ( x, \"y z\", 1 ); c = <0a0b0c0d 0e>; \"d e\" = 0.5; f = 0.1; }");
    EXPECT_EQ(Value("").description(), "\"\"");
    EXPECT_EQ(Value("say \"hi\"\n").description(), "\"say \\\"hi\\\"\\n\"");
    EXPECT_EQ(Value::emptyArray().description(), "()");
    EXPECT_EQ(Value::emptyDictionary().description(), "{}");
    EXPECT_EQ(Value::date(0).description(), "2001-01-01 00:00:00 +0000");
    EXPECT_EQ(Value::date(86400.5).description(), "2001-01-02 00:00:00 +0000");
}
