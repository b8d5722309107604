#include "platform/foundation/NSString.h"

#include "platform/corefoundation/TextValues.h"

#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

namespace ns {

namespace {

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

icu::UnicodeString utf16(std::string_view text) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string utf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

NSComparisonResult resultOf(int order) {
    return order < 0 ? NSOrderedAscending : order > 0 ? NSOrderedDescending : NSOrderedSame;
}

// Length of the UTF-8 sequence starting at text[i], or 0 when it is not a valid one.
size_t sequenceLength(std::string_view text, size_t i) {
    auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
    uint8_t b0 = byte(i);
    if (b0 < 0x80) return 1;
    size_t n;
    uint8_t lo = 0x80, hi = 0xBF; // the range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3;
        if (b0 == 0xE0) lo = 0xA0; // overlong
        if (b0 == 0xED) hi = 0x9F; // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4;
        if (b0 == 0xF0) lo = 0x90; // overlong
        if (b0 == 0xF4) hi = 0x8F; // past U+10FFFF
    } else {
        return 0;
    }
    if (text.size() - i < n) return 0;
    if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
    for (size_t k = 2; k < n; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    }
    return n;
}

// Text case-folded into UTF-16, remembering where in the UTF-8 text each code point began, so
// a match in the folded text maps back to a byte range.
struct FoldedText {
    icu::UnicodeString units;
    std::vector<int32_t> cpOfUnit; // for each unit: its code point's index, or -1 when the
                                   // unit is not the first of that code point's folding
    std::vector<size_t> byteOfCp;  // byte offset of each code point, plus the end
};

FoldedText foldWithOffsets(std::string_view text) {
    FoldedText f;
    size_t i = 0;
    while (i < text.size()) {
        size_t n = sequenceLength(text, i);
        if (n == 0) n = 1; // an invalid byte stands alone (as U+FFFD)
        icu::UnicodeString cp = utf16(text.substr(i, n));
        cp.foldCase(U_FOLD_CASE_DEFAULT);
        int32_t index = static_cast<int32_t>(f.byteOfCp.size());
        for (int32_t u = 0; u < cp.length(); ++u)
            f.cpOfUnit.push_back(u == 0 ? index : -1);
        f.units.append(cp);
        f.byteOfCp.push_back(i);
        i += n;
    }
    f.byteOfCp.push_back(text.size());
    return f;
}

NSRange caselessRange(std::string_view text, std::string_view needle) {
    FoldedText hay = foldWithOffsets(text);
    icu::UnicodeString wanted = utf16(needle);
    wanted.foldCase(U_FOLD_CASE_DEFAULT);
    if (wanted.isEmpty()) return {};
    int32_t from = 0;
    for (;;) {
        int32_t at = hay.units.indexOf(wanted, from);
        if (at < 0) return {};
        int32_t end = at + wanted.length();
        bool startsAtCp = hay.cpOfUnit[at] >= 0;
        bool endsAtCp = end == hay.units.length() || hay.cpOfUnit[end] >= 0;
        if (startsAtCp && endsAtCp) {
            size_t first = hay.byteOfCp[hay.cpOfUnit[at]];
            size_t last = end == hay.units.length() ? text.size() : hay.byteOfCp[hay.cpOfUnit[end]];
            return NSMakeRange(first, last - first);
        }
        from = at + 1;
    }
}

} // namespace

int32_t intValue(std::string_view text) {
    return cf::textIntValue(text);
}

NSInteger integerValue(std::string_view text) {
    return cf::textIntegerValue(text);
}

double doubleValue(std::string_view text) {
    return cf::textDoubleValue(text);
}

float floatValue(std::string_view text) {
    double d = doubleValue(text);
    if (std::isinf(d) || std::fabs(d) <= FLT_MAX) return static_cast<float>(d);
    // Past FLT_MAX by less than half its last unit still rounds to FLT_MAX; beyond, infinity.
    double halfUnit = std::ldexp(1.0, 103);
    float limit = std::fabs(d) < double(FLT_MAX) + halfUnit ? FLT_MAX : INFINITY;
    return d < 0 ? -limit : limit;
}

bool boolValue(std::string_view text) {
    return cf::textBoolValue(text);
}

std::optional<cf::Value> numberFromString(std::string_view text) {
    std::string_view body = trimmed(text);
    size_t i = 0;
    if (i < body.size() && (body[i] == '+' || body[i] == '-')) ++i;
    size_t intDigits = 0;
    while (i < body.size() && isDigit(body[i]))
        ++i, ++intDigits;
    bool fraction = false;
    if (i < body.size() && body[i] == '.') {
        fraction = true;
        size_t fracDigits = 0;
        ++i;
        while (i < body.size() && isDigit(body[i]))
            ++i, ++fracDigits;
        if (fracDigits == 0) return std::nullopt;
    }
    if (intDigits == 0 || i != body.size()) return std::nullopt;
    if (!fraction) {
        if (auto integer = cf::textStrictInteger(body))
            return cf::Value::number(cf::kCFNumberSInt64Type, *integer);
    }
    return cf::Value::number(cf::kCFNumberFloat64Type, cf::textDoubleValue(body));
}

bool isValidUTF8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        size_t n = sequenceLength(text, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::optional<std::string> stringWithData(const void* bytes, size_t length) {
    if (!bytes) return length == 0 ? std::optional<std::string>(std::string()) : std::nullopt;
    std::string_view text(static_cast<const char*>(bytes), length);
    if (!isValidUTF8(text)) return std::nullopt;
    return std::string(text);
}

std::optional<std::string> stringWithData(const std::vector<uint8_t>& bytes) {
    return stringWithData(bytes.data(), bytes.size());
}

std::string lowercaseString(std::string_view text) {
    return utf8(utf16(text).toLower(icu::Locale::getRoot()));
}

std::string uppercaseString(std::string_view text) {
    return utf8(utf16(text).toUpper(icu::Locale::getRoot()));
}

NSComparisonResult caseInsensitiveCompare(std::string_view a, std::string_view b) {
    return resultOf(utf16(a).caseCompare(utf16(b), U_FOLD_CASE_DEFAULT));
}

NSComparisonResult compare(std::string_view a, std::string_view b) {
    return resultOf(utf16(a).compare(utf16(b)));
}

NSComparisonResult compare(std::string_view a, std::string_view b, NSUInteger options) {
    return (options & NSCaseInsensitiveSearch) ? caseInsensitiveCompare(a, b) : compare(a, b);
}

NSRange rangeOfString(std::string_view text, std::string_view needle, NSUInteger options) {
    if (needle.empty()) return {};
    if (options & NSCaseInsensitiveSearch) return caselessRange(text, needle);
    size_t at = text.find(needle);
    if (at == std::string_view::npos) return {};
    return NSMakeRange(at, needle.size());
}

} // namespace ns
