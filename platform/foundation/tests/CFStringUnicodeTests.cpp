// The shortcuts of the string functions (already-normalised text left alone, clusters of simple
// text found without the break rules, UTF-8 into a kept buffer) against ICU's full answers.
#include "platform/foundation/CFStringUnicode.h"

#include <gtest/gtest.h>

#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <memory>
#include <string>
#include <vector>

using namespace cf;

namespace {

// Tricky neighbours for the cluster and composition rules.
const std::vector<std::u16string>& trickyStrings() {
    static const std::vector<std::u16string> strings = {
        u"",
        u"plain ASCII text",
        u"a\r\nb",
        u"\r\r\n\n\r",
        u"e\u0301",
        u"\u00e9",
        u"abc\u0301d",                                 // ASCII followed by a combining mark
        u"\u00ff\u0301x",                              // Latin-1 followed by a combining mark
        u"\t\u0301",                                   // a control before a mark
        u"\r\u0301\n\u0308",                           // CR and LF before marks
        u"\u0301e",                                    // a mark with no base
        u"a\u0328\u0301",                              // marks out of canonical order
        u"\u212b\u2126",                               // singletons that compose to other characters
        u"\u1100\u1161\u11a8",                         // Hangul jamo L V T
        u"\uac00\u11a8x",                              // an LV syllable and a trailing T
        u"\U0001F468\u200D\U0001F469\u200D\U0001F467", // emoji joined by ZWJ
        u"\U0001F44D\U0001F3FD!",                      // emoji with a skin tone
        u"\U0001F1EB\U0001F1F7\U0001F1E9\U0001F1EA",   // two flags
        u"\U0001F1EB\U0001F1F7\U0001F1E9",             // a flag and a lone indicator
        u"\u00a9\u200D\u00a9",                         // pictographs below U+0300 joined
        u"x\uFE0F\u2764\uFE0F",                        // variation selectors
        u"\u0915\u094D\u0937",                         // a conjunct
        u"\u0600a",                                    // a prepended mark
        u"\xD800"
        u"a\xDC00\xDBFF",                  // unpaired surrogates
        u"\u00e5\u00df\u2202\u2122\uFB01", // typed Option-layer symbols
    };
    return strings;
}

// The clusters as ICU's character break iterator alone finds them, walked from the start.
std::vector<std::pair<int64_t, int64_t>> iteratorRanges(std::u16string_view s) {
    static std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        return std::unique_ptr<icu::BreakIterator>(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    }();
    icu::UnicodeString text(false, s.data(), static_cast<int32_t>(s.size()));
    iterator->setText(text);
    std::vector<std::pair<int64_t, int64_t>> out;
    int32_t start = iterator->first();
    for (int32_t end = iterator->next(); end != icu::BreakIterator::DONE; start = end, end = iterator->next())
        out.emplace_back(start, end - start);
    return out;
}

std::vector<std::pair<int64_t, int64_t>> pairs(const std::vector<CFRange>& ranges) {
    std::vector<std::pair<int64_t, int64_t>> out;
    for (const CFRange& r : ranges)
        out.emplace_back(r.location, r.length);
    return out;
}

std::u16string icuNormalized(const std::u16string& s, const icu::Normalizer2& n) {
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString out =
        n.normalize(icu::UnicodeString(s.data(), static_cast<int32_t>(s.size())), status);
    EXPECT_TRUE(U_SUCCESS(status));
    return std::u16string(out.getBuffer(), static_cast<size_t>(out.length()));
}

const icu::Normalizer2& nfc() {
    UErrorCode status = U_ZERO_ERROR;
    return *icu::Normalizer2::getNFCInstance(status);
}

std::u16string hex(std::u16string_view s) {
    std::u16string out;
    for (char16_t c : s) {
        for (int shift = 12; shift >= 0; shift -= 4)
            out += u"0123456789ABCDEF"[(c >> shift) & 0xF];
        out += u' ';
    }
    return out;
}

} // namespace

TEST(CFStringUnicodeTest, ComposedCharacterRangesMatchTheBreakIteratorOnTrickyText) {
    std::vector<CFRange> kept = {{7, 7}};
    for (const std::u16string& s : trickyStrings()) {
        SCOPED_TRACE(::testing::PrintToString(cf::utf8FromUTF16(hex(s))));
        auto expected = iteratorRanges(s);
        EXPECT_EQ(pairs(CFStringGetComposedCharacterRanges(s)), expected);
        CFStringGetComposedCharacterRanges(s, kept); // replaces what the vector held
        EXPECT_EQ(pairs(kept), expected);
        for (auto [location, length] : expected) {
            for (int64_t i = location; i < location + length; ++i) {
                CFRange r = CFStringGetRangeOfComposedCharactersAtIndex(s, i);
                EXPECT_EQ(std::make_pair(r.location, r.length), std::make_pair(location, length)) << i;
            }
        }
        // A yes means the clusters are exactly the code points (units, or surrogate pairs).
        if (CFStringComposedCharactersAreCodePoints(s)) {
            for (auto [location, length] : expected)
                EXPECT_TRUE(length == 1 || (length == 2 && (s[location] & 0xFC00) == 0xD800 &&
                                            (s[location + 1] & 0xFC00) == 0xDC00))
                    << location;
        }
        CFRange past = CFStringGetRangeOfComposedCharactersAtIndex(s, static_cast<int64_t>(s.size()));
        EXPECT_EQ(past.length, 0);
        EXPECT_EQ(CFStringGetRangeOfComposedCharactersAtIndex(s, -1).length, 0);
    }
    EXPECT_EQ(pairs(CFStringGetComposedCharacterRanges(u"a\r\nb")),
              (std::vector<std::pair<int64_t, int64_t>>{{0, 1}, {1, 2}, {3, 1}}));
    EXPECT_EQ(CFStringGetComposedCharacterRanges(u"e\u0301").size(), 1u);
    EXPECT_TRUE(CFStringComposedCharactersAreCodePoints(u"caf\u00e9 \u2202\U0001F600\n\r"));
    EXPECT_FALSE(CFStringComposedCharactersAreCodePoints(u"a\r\nb"));
    EXPECT_FALSE(CFStringComposedCharactersAreCodePoints(u"cafe\u0301"));
    EXPECT_FALSE(CFStringComposedCharactersAreCodePoints(u"\U0001F1EB\U0001F1F7"));
    EXPECT_EQ(CFStringGetComposedCharacterRanges(u"\U0001F1EB\U0001F1F7\U0001F1E9\U0001F1EA").size(), 2u);
}

// Every BMP code point between neighbours that join to or break from almost anything: a
// shortcut that treated a joining code point as simple would split a cluster here.
TEST(CFStringUnicodeTest, ComposedCharacterRangesMatchTheBreakIteratorForEveryBMPCodePoint) {
    std::vector<CFRange> ranges;
    for (char32_t c = 0; c < 0x10000; ++c) {
        for (std::u16string s : {std::u16string{char16_t(c), u'a'}, std::u16string{char16_t(c), u'\u0301'},
                                 std::u16string{u'\r', char16_t(c)}, std::u16string{u'a', char16_t(c)}}) {
            CFStringGetComposedCharacterRanges(s, ranges);
            auto expected = iteratorRanges(s);
            ASSERT_EQ(pairs(ranges), expected) << std::hex << uint32_t(c);
            if (CFStringComposedCharactersAreCodePoints(s)) {
                ASSERT_EQ(expected.size(), s.size()) << std::hex << uint32_t(c);
            }
        }
    }
}

TEST(CFStringUnicodeTest, NormalisationMatchesICUAndLeavesNormalisedTextAlone) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* forms[] = {
        icu::Normalizer2::getNFDInstance(status), icu::Normalizer2::getNFKDInstance(status),
        icu::Normalizer2::getNFCInstance(status), icu::Normalizer2::getNFKCInstance(status)};
    ASSERT_TRUE(U_SUCCESS(status));
    for (const std::u16string& s : trickyStrings()) {
        for (int form = kCFStringNormalizationFormD; form <= kCFStringNormalizationFormKC; ++form) {
            std::u16string t = s;
            CFStringNormalize(t, static_cast<CFStringNormalizationForm>(form));
            EXPECT_EQ(t, icuNormalized(s, *forms[form])) << form << " " << cf::utf8FromUTF16(hex(s));
        }
    }
    std::u16string s = u"e\u0301 \u1100\u1161 A\u030A \u212B";
    CFStringNormalize(s, kCFStringNormalizationFormC);
    EXPECT_EQ(s, u"\u00e9 \uac00 \u00c5 \u00c5");
    std::string utf8 = "e\xCC\x81";
    CFStringNormalize(utf8, kCFStringNormalizationFormC);
    EXPECT_EQ(utf8, "\xC3\xA9");
    s = u"e\u0301";
    CFStringNormalize(s, static_cast<CFStringNormalizationForm>(9));
    EXPECT_EQ(s, u"e\u0301");
}

TEST(CFStringUnicodeTest, ComposedFormMatchesICUForEveryBMPCodePointAndItsNeighbours) {
    for (char32_t c = 0; c < 0x10000; ++c) {
        for (std::u16string s : {std::u16string{char16_t(c)}, std::u16string{char16_t(c), u'\u0301'},
                                 std::u16string{u'e', char16_t(c)}, std::u16string{u'\u1100', char16_t(c)}}) {
            std::u16string t = s;
            CFStringNormalize(t, kCFStringNormalizationFormC);
            ASSERT_EQ(t, icuNormalized(s, nfc())) << std::hex << uint32_t(c);
        }
    }
}

TEST(CFStringUnicodeTest, UTF8IntoAKeptBufferMatchesICUSubstitution) {
    const std::string inputs[] = {
        "",
        "ASCII",
        std::string("nul\0inside", 10),
        "\xC3\xA9t\xC3\xA9 \xE2\x88\x82 \xF0\x9F\x91\x8D",
        "\xC3",             // truncated
        "a\xE2\x82",        // truncated in the middle of three
        "\xC0\xAF",         // overlong
        "\xED\xA0\x80x",    // an encoded surrogate
        "\xF4\x90\x80\x80", // past U+10FFFF
        "\xFF\xFE\x80",     // never valid
    };
    std::u16string kept = u"left over from before";
    for (const std::string& in : inputs) {
        icu::UnicodeString expected =
            icu::UnicodeString::fromUTF8(icu::StringPiece(in.data(), static_cast<int32_t>(in.size())));
        std::u16string want(expected.getBuffer(), static_cast<size_t>(expected.length()));
        EXPECT_EQ(utf16FromUTF8(in), want);
        utf16FromUTF8(in, kept);
        EXPECT_EQ(kept, want);
    }
    EXPECT_EQ(utf16FromUTF8("\xC3"), u"\uFFFD");
    EXPECT_EQ(utf8FromUTF16(utf16FromUTF8("\xF0\x9F\x91\x8D")), "\xF0\x9F\x91\x8D");
}
