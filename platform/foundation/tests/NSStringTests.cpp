#include "platform/foundation/NSString.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace ns;

TEST(TextRules, NumberReadings) {
    EXPECT_EQ(intValue(" -12abc"), -12);
    EXPECT_EQ(intValue("abc"), 0);
    EXPECT_EQ(intValue("99999999999"), INT32_MAX);
    EXPECT_EQ(integerValue("-99999999999999999999"), INT64_MIN);
    EXPECT_EQ(integerValue("\t+42 7"), 42);
    EXPECT_TRUE(std::isinf(doubleValue("1e400")) && doubleValue("1e400") > 0);
    EXPECT_TRUE(std::isinf(doubleValue("-1e400")) && doubleValue("-1e400") < 0);
    EXPECT_TRUE(std::isinf(floatValue("1e40")) && floatValue("1e40") > 0);
    EXPECT_FLOAT_EQ(floatValue("  2.5e1xyz"), 25.0f);
    EXPECT_EQ(doubleValue("0x1A"), 0.0);
    EXPECT_EQ(doubleValue("nan"), 0.0);
    EXPECT_EQ(doubleValue("inf"), 0.0);
    EXPECT_EQ(doubleValue(".5"), 0.5);
}

TEST(TextRules, BoolValue) {
    EXPECT_TRUE(boolValue("  +0007"));
    EXPECT_FALSE(boolValue("0"));
    EXPECT_TRUE(boolValue("YES"));
    EXPECT_TRUE(boolValue("true"));
    EXPECT_FALSE(boolValue("NO"));
    EXPECT_FALSE(boolValue("-000"));
    EXPECT_FALSE(boolValue(""));
    EXPECT_FALSE(boolValue("x1"));
}

TEST(TextRules, DecimalFormatterNumbers) {
    auto half = numberFromString("3.5");
    ASSERT_TRUE(half);
    EXPECT_EQ(half->numberType(), cf::kCFNumberFloat64Type);
    EXPECT_EQ(half->doubleValue(), 3.5);
    EXPECT_EQ(half->intValue(), 3);
    auto integer = numberFromString(" -42 ");
    ASSERT_TRUE(integer);
    EXPECT_EQ(integer->numberType(), cf::kCFNumberSInt64Type);
    EXPECT_EQ(integer->integerValue(), -42);
    for (const char* bad : {"1,000", "1e3", "", " ", "abc", "3.", ".", "+", "0x10", "1 2", "--1"}) {
        EXPECT_FALSE(numberFromString(bad)) << bad;
    }
    auto big = numberFromString("99999999999999999999");
    ASSERT_TRUE(big);
    EXPECT_EQ(big->numberType(), cf::kCFNumberFloat64Type);
}

TEST(TextRules, StrictUTF8FromBytes) {
    EXPECT_EQ(stringWithData(std::vector<uint8_t>{'h', 0xC3, 0xA9}), "h\xC3\xA9");
    EXPECT_EQ(stringWithData(nullptr, 0), "");
    const std::vector<std::vector<uint8_t>> invalid = {
        {0xC3},                   // cut short
        {0xC0, 0xAF},             // overlong "/"
        {0xE0, 0x80, 0xAF},       // overlong
        {0xED, 0xA0, 0x80},       // a surrogate
        {0xF4, 0x90, 0x80, 0x80}, // past U+10FFFF
        {0xFF},
        {'a', 0x80},
    };
    for (const auto& bytes : invalid)
        EXPECT_FALSE(stringWithData(bytes));
    EXPECT_TRUE(stringWithData(std::vector<uint8_t>{0xF0, 0x9F, 0x98, 0x80})); // U+1F600
}

TEST(TextRules, CaseThroughICU) {
    EXPECT_EQ(uppercaseString("straße"), "STRASSE");
    EXPECT_EQ(lowercaseString("ÀÉÎ İ"), "àéî i̇");
    EXPECT_EQ(caseInsensitiveCompare("Straße", "STRASSE"), NSOrderedSame);
    EXPECT_EQ(caseInsensitiveCompare("apple", "Banana"), NSOrderedAscending);
    EXPECT_EQ(compare("apple", "Banana"), NSOrderedDescending); // 'a' > 'B' by code unit
    // U+FF5E is one unit 0xFF5E; U+1F600 starts with the surrogate 0xD83D, so it sorts first.
    EXPECT_EQ(compare("\xEF\xBD\x9E", "\xF0\x9F\x98\x80"), NSOrderedDescending);
    EXPECT_EQ(compare("a", "a", NSCaseInsensitiveSearch), NSOrderedSame);
}

TEST(TextRules, RangeOfStringCountsBytesOfTheText) {
    EXPECT_EQ(rangeOfString("MacOSX 10.12", "OSX"), NSMakeRange(3, 3));
    EXPECT_EQ(rangeOfString("MacOSX", "osx"), NSRange{});
    EXPECT_EQ(rangeOfString("MacOSX", "osx", NSCaseInsensitiveSearch), NSMakeRange(3, 3));
    EXPECT_EQ(rangeOfString("iPad_Stylus", "IPAD", NSCaseInsensitiveSearch), NSMakeRange(0, 4));
    // Folding changes lengths: "ß" (2 bytes) matches "SS", and "é" keeps its byte range.
    EXPECT_EQ(rangeOfString("Große Straße", "STRASSE", NSCaseInsensitiveSearch), NSMakeRange(7, 7));
    EXPECT_EQ(rangeOfString("café au lait", "É AU", NSCaseInsensitiveSearch), NSMakeRange(3, 5));
    // Half of a folded character is no match.
    EXPECT_EQ(rangeOfString("ß", "s", NSCaseInsensitiveSearch), NSRange{});
    EXPECT_EQ(rangeOfString("abc", ""), NSRange{});
    EXPECT_EQ(rangeOfString("", "a"), NSRange{});
}
