#include "platform/foundation/CFStringUnicode.h"

#include <memory>
#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
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
    return toU16(
        icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size()))));
}

std::string utf8FromUTF16(std::u16string_view utf16) {
    std::string out;
    alias(utf16).toUTF8String(out);
    return out;
}

void CFStringNormalize(std::u16string& string, CFStringNormalizationForm form) {
    const icu::Normalizer2* n = normalizer(form);
    if (!n) return;
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString result = n->normalize(alias(string), status);
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


// Text whose every code point breaks as "Other", a control, CR or LF holds one cluster per
// code point (CR LF excepted): no rule joins such neighbours, so the rules need not run.
bool rangesOfSimpleText(std::u16string_view string, std::vector<CFRange>& ranges) {
    int32_t length = static_cast<int32_t>(string.size());
    for (int32_t i = 0; i < length;) {
        int32_t start = i;
        UChar32 c;
        U16_NEXT(string.data(), i, length, c);
        switch (u_getIntPropertyValue(c, UCHAR_GRAPHEME_CLUSTER_BREAK)) {
        case U_GCB_OTHER:
        case U_GCB_CONTROL:
        case U_GCB_LF:
            break;
        case U_GCB_CR:
            if (i < length && string[i] == u'\n') ++i;
            break;
        default:
            return false;
        }
        ranges.push_back({start, i - start});
    }
    return true;
}

} // namespace

std::vector<CFRange> CFStringGetComposedCharacterRanges(std::u16string_view string) {
    std::vector<CFRange> ranges;
    if (rangesOfSimpleText(string, ranges)) return ranges;
    ranges.clear();
    icu::BreakIterator* iterator = characterIterator();
    if (!iterator) {
        for (size_t i = 0; i < string.size(); ++i)
            ranges.push_back({static_cast<int64_t>(i), 1});
        return ranges;
    }
    icu::UnicodeString text = alias(string);
    iterator->setText(text);
    int32_t start = iterator->first();
    for (int32_t end = iterator->next(); end != icu::BreakIterator::DONE; start = end, end = iterator->next())
        ranges.push_back({start, end - start});
    return ranges;
}

CFRange CFStringGetRangeOfComposedCharactersAtIndex(std::u16string_view string, int64_t index) {
    if (index < 0 || index >= static_cast<int64_t>(string.size())) return {index, 0};
    icu::BreakIterator* iterator = characterIterator();
    if (!iterator) return {index, 1};
    icu::UnicodeString text = alias(string);
    iterator->setText(text);
    auto at = static_cast<int32_t>(index);
    // The last boundary at or before index, and the first after it.
    int32_t start = iterator->preceding(at + 1);
    int32_t end = iterator->following(at);
    if (start == icu::BreakIterator::DONE) start = 0;
    if (end == icu::BreakIterator::DONE) end = static_cast<int32_t>(string.size());
    return {start, end - start};
}

} // namespace cf
