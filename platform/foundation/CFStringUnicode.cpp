#include "platform/foundation/CFStringUnicode.h"

#include <memory>
#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/uniset.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

namespace cf {

namespace {

icu::UnicodeString alias(std::u16string_view s) {
    return icu::UnicodeString(false, s.data(), static_cast<int32_t>(s.size()));
}

std::u16string toU16(const icu::UnicodeString& s) {
    return std::u16string(s.getBuffer(), static_cast<size_t>(s.length()));
}

const icu::Normalizer2* normalizer(CFStringNormalizationForm form) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* n = nullptr;
    switch (form) {
    case kCFStringNormalizationFormD:
        n = icu::Normalizer2::getNFDInstance(status);
        break;
    case kCFStringNormalizationFormKD:
        n = icu::Normalizer2::getNFKDInstance(status);
        break;
    case kCFStringNormalizationFormC:
        n = icu::Normalizer2::getNFCInstance(status);
        break;
    case kCFStringNormalizationFormKC:
        n = icu::Normalizer2::getNFKCInstance(status);
        break;
    }
    return U_SUCCESS(status) ? n : nullptr;
}

} // namespace

std::u16string utf16FromUTF8(std::string_view utf8) {
    std::u16string out;
    utf16FromUTF8(utf8, out);
    return out;
}

void utf16FromUTF8(std::string_view utf8, std::u16string& out) {
    // Each byte gives at most one unit (a four-byte sequence two), each replacement eats one
    // byte or more: the byte count bounds the result. Same substitution as UnicodeString's.
    if (utf8.size() <= static_cast<size_t>(INT32_MAX)) {
        out.resize(utf8.size());
        int32_t written = 0;
        UErrorCode status = U_ZERO_ERROR;
        u_strFromUTF8WithSub(out.data(), static_cast<int32_t>(out.size()), &written, utf8.data(),
                             static_cast<int32_t>(utf8.size()), 0xFFFD, nullptr, &status);
        if (U_SUCCESS(status)) {
            out.resize(static_cast<size_t>(written));
            return;
        }
    }
    out =
        toU16(icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size()))));
}

std::string utf8FromUTF16(std::u16string_view utf16) {
    std::string out;
    alias(utf16).toUTF8String(out);
    return out;
}

std::vector<uint8_t> utf16LEBytes(std::u16string_view utf16) {
    std::vector<uint8_t> out;
    out.reserve(utf16.size() * 2);
    for (char16_t unit : utf16) {
        out.push_back(static_cast<uint8_t>(unit & 0xFF));
        out.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return out;
}

std::u16string utf16FromLEBytes(const std::vector<uint8_t>& bytes) {
    std::u16string out;
    out.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        out.push_back(static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8));
    return out;
}

bool hasUnpairedSurrogate(std::u16string_view utf16) {
    for (size_t i = 0; i < utf16.size(); ++i) {
        char16_t unit = utf16[i];
        if (unit < 0xD800 || unit > 0xDFFF) continue;
        if (unit >= 0xDC00 || i + 1 == utf16.size() || utf16[i + 1] < 0xDC00 || utf16[i + 1] > 0xDFFF)
            return true;
        ++i;
    }
    return false;
}

void CFStringNormalize(std::u16string& string, CFStringNormalizationForm form) {
    const icu::Normalizer2* n = normalizer(form);
    if (!n) return;
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString text = alias(string);
    // A prefix the quick check passes is its own normalisation: when that is all of it, there
    // is nothing to build or copy.
    if (n->spanQuickCheckYes(text, status) == text.length() && U_SUCCESS(status)) return;
    status = U_ZERO_ERROR;
    icu::UnicodeString result = n->normalize(text, status);
    if (U_SUCCESS(status)) string = toU16(result);
}

void CFStringNormalize(std::string& utf8, CFStringNormalizationForm form) {
    std::u16string s = utf16FromUTF8(utf8);
    CFStringNormalize(s, form);
    utf8 = utf8FromUTF16(s);
}

namespace {

icu::BreakIterator* characterIterator() {
    // One iterator per thread: creating one loads rules, and callers walk whole strings.
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        return std::unique_ptr<icu::BreakIterator>(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    }();
    return iterator.get();
}

// The code points whose grapheme break class is "Other", a control, CR or LF. No rule joins two
// such neighbours except CR LF, so text made only of them holds one cluster per code point and
// the rules need not run. Frozen, the set spans a string with table lookups.
const icu::UnicodeSet* singleClusterCodePoints() {
    static const icu::UnicodeSet* set = [] {
        static icu::UnicodeSet s;
        UErrorCode status = U_ZERO_ERROR;
        for (int32_t value : {U_GCB_OTHER, U_GCB_CONTROL, U_GCB_CR, U_GCB_LF}) {
            icu::UnicodeSet part;
            part.applyIntPropertyValue(UCHAR_GRAPHEME_CLUSTER_BREAK, value, status);
            s.addAll(part);
        }
        s.freeze();
        return U_SUCCESS(status) ? &s : nullptr;
    }();
    return set;
}

bool isSimpleText(std::u16string_view string) {
    const icu::UnicodeSet* simple = singleClusterCodePoints();
    const auto length = static_cast<int32_t>(string.size());
    return simple && simple->span(string.data(), length, USET_SPAN_SIMPLE) == length;
}

bool rangesOfSimpleText(std::u16string_view string, std::vector<CFRange>& ranges) {
    if (!isSimpleText(string)) return false;
    const char16_t* s = string.data();
    const auto length = static_cast<int32_t>(string.size());
    for (int32_t i = 0; i < length;) {
        int32_t next = i + 1;
        if (next < length &&
            ((U16_IS_LEAD(s[i]) && U16_IS_TRAIL(s[next])) || (s[i] == u'\r' && s[next] == u'\n')))
            ++next;
        ranges.push_back({i, next - i});
        i = next;
    }
    return true;
}

} // namespace

std::vector<CFRange> CFStringGetComposedCharacterRanges(std::u16string_view string) {
    std::vector<CFRange> ranges;
    CFStringGetComposedCharacterRanges(string, ranges);
    return ranges;
}

void CFStringGetComposedCharacterRanges(std::u16string_view string, std::vector<CFRange>& ranges) {
    ranges.clear();
    if (rangesOfSimpleText(string, ranges)) return;
    icu::BreakIterator* iterator = characterIterator();
    if (!iterator) {
        for (size_t i = 0; i < string.size(); ++i)
            ranges.push_back({static_cast<int64_t>(i), 1});
        return;
    }
    icu::UnicodeString text = alias(string);
    iterator->setText(text);
    int32_t start = iterator->first();
    for (int32_t end = iterator->next(); end != icu::BreakIterator::DONE; start = end, end = iterator->next())
        ranges.push_back({start, end - start});
}

bool CFStringComposedCharactersAreCodePoints(std::u16string_view string) {
    return isSimpleText(string) && string.find(u"\r\n") == std::u16string_view::npos;
}

CFRange CFStringGetRangeOfComposedCharactersAtIndex(std::u16string_view string, int64_t index) {
    if (index < 0 || index >= static_cast<int64_t>(string.size())) return {index, 0};
    icu::BreakIterator* iterator = characterIterator();
    if (!iterator) return {index, 1};
    icu::UnicodeString text = alias(string);
    iterator->setText(text);
    // The first boundary after index ends its cluster, and the boundary before that one starts
    // it. (Asking for the last boundary at or before index directly goes wrong when index + 1 is
    // inside a surrogate pair: the iterator moves it back to the pair's start first.)
    int32_t end = iterator->following(static_cast<int32_t>(index));
    if (end == icu::BreakIterator::DONE) end = static_cast<int32_t>(string.size());
    int32_t start = iterator->previous();
    if (start == icu::BreakIterator::DONE) start = 0;
    return {start, end - start};
}

} // namespace cf
