#include "platform/corefoundation/TextValues.h"

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

namespace cf {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

size_t skipSpace(std::string_view text, size_t i) {
    while (i < text.size() && isSpace(text[i])) ++i;
    return i;
}

// The longest prefix of text[i...] that is a decimal number: sign, digits, "." digits,
// exponent (only when digits follow it). Empty when there are no mantissa digits.
std::string_view decimalPrefix(std::string_view text, size_t i) {
    size_t start = i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t digits = 0;
    while (i < text.size() && isDigit(text[i])) ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && isDigit(text[i])) ++i, ++digits;
    }
    if (digits == 0) return {};
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        size_t j = i + 1;
        if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
        if (j < text.size() && isDigit(text[j])) {
            while (j < text.size() && isDigit(text[j])) ++j;
            i = j;
        }
    }
    return text.substr(start, i - start);
}

} // namespace

int64_t textIntegerValue(std::string_view text) {
    size_t i = skipSpace(text, 0);
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // Accumulate as a negative number so INT64_MIN fits; saturate on overflow.
    int64_t value = 0;
    bool saturated = false;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        int digit = text[i] - '0';
        if (saturated) continue;
        if (value < (std::numeric_limits<int64_t>::min() + digit) / 10) {
            saturated = true;
            continue;
        }
        value = value * 10 - digit;
    }
    if (saturated) return negative ? std::numeric_limits<int64_t>::min() : std::numeric_limits<int64_t>::max();
    if (negative) return value;
    return value == std::numeric_limits<int64_t>::min() ? std::numeric_limits<int64_t>::max() : -value;
}

int32_t textIntValue(std::string_view text) {
    int64_t v = textIntegerValue(text);
    if (v > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (v < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

double textDoubleValue(std::string_view text) {
    std::string_view number = decimalPrefix(text, skipSpace(text, 0));
    if (number.empty()) return 0;
    // The process locale may use "," as its decimal mark; the rule is the "C" locale's.
    static locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    std::string copy(number);
    return strtod_l(copy.c_str(), nullptr, cLocale); // overflow gives ±HUGE_VAL = ±infinity
}

bool textBoolValue(std::string_view text) {
    size_t i = skipSpace(text, 0);
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    while (i < text.size() && text[i] == '0') ++i;
    if (i >= text.size()) return false;
    char c = text[i];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

std::optional<int64_t> textStrictInteger(std::string_view text) {
    size_t begin = skipSpace(text, 0);
    size_t end = text.size();
    while (end > begin && isSpace(text[end - 1])) --end;
    std::string_view body = text.substr(begin, end - begin);
    size_t i = 0;
    if (i < body.size() && (body[i] == '+' || body[i] == '-')) ++i;
    if (i == body.size()) return std::nullopt;
    for (size_t j = i; j < body.size(); ++j)
        if (!isDigit(body[j])) return std::nullopt;
    int64_t value = textIntegerValue(body);
    // Saturation means the text was out of range.
    if ((value == std::numeric_limits<int64_t>::max() || value == std::numeric_limits<int64_t>::min()) &&
        std::to_string(value) != (body[0] == '+' ? std::string(body.substr(1)) : std::string(body)))
        return std::nullopt;
    return value;
}

} // namespace cf
