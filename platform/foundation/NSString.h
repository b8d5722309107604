// The text rules of NSString as free functions over UTF-8 text: number readings, the decimal
// number formatter, strict UTF-8 from bytes, and case through ICU in the root locale.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/foundation/NSRange.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ns {

enum NSComparisonResult : int64_t { NSOrderedAscending = -1, NSOrderedSame = 0, NSOrderedDescending = 1 };

enum NSStringCompareOptions : NSUInteger {
    NSCaseInsensitiveSearch = 1,
    NSLiteralSearch = 2, // comparisons here are by code units already
    // Honoured by the locale comparison (NSLocale.h) alone:
    NSNumericSearch = 64,
    NSWidthInsensitiveSearch = 256,
    NSForcedOrderingSearch = 512,
};

enum NSStringEncoding : NSUInteger {
    NSASCIIStringEncoding = 1,
    NSUTF8StringEncoding = 4,
    NSISOLatin1StringEncoding = 5,
};

// Skip leading white space, an optional sign, digits up to the first other character; 0 when
// there are none; saturates.
int32_t intValue(std::string_view text);
NSInteger integerValue(std::string_view text);
// Skip white space; sign, digits, "." digits, exponent; "C" locale; no hex, "nan" or "inf";
// 0 when there are no digits; overflow gives ±infinity.
float floatValue(std::string_view text);
double doubleValue(std::string_view text);
// Skip white space, an optional sign and leading zeros; YES when the next character is Y, y,
// T, t or 1-9.
bool boolValue(std::string_view text);

// A decimal NSNumberFormatter's numberFromString: white space trimmed, the rest must be a sign,
// digits and optionally "." and digits (no grouping, no exponent), else nil. Integers give
// SInt64 numbers (Float64 past its range), others Float64.
std::optional<cf::Value> numberFromString(std::string_view text);

// initWithData:encoding:NSUTF8StringEncoding: strict UTF-8 (no overlong forms, surrogates or
// code points past U+10FFFF), else nil.
std::optional<std::string> stringWithData(const void* bytes, size_t length);
std::optional<std::string> stringWithData(const std::vector<uint8_t>& bytes);
bool isValidUTF8(std::string_view text);

// Case through ICU in the root locale (full mappings: "ß" upper-cases to "SS").
std::string lowercaseString(std::string_view text);
std::string uppercaseString(std::string_view text);
// Case-folded, then by UTF-16 code units.
NSComparisonResult caseInsensitiveCompare(std::string_view a, std::string_view b);
// compare: without options: by UTF-16 code units (so U+FF5E sorts after U+1F600).
NSComparisonResult compare(std::string_view a, std::string_view b);
NSComparisonResult compare(std::string_view a, std::string_view b, NSUInteger options);

// The first occurrence of needle in text, in bytes of text; {NSNotFound, 0} when there is none
// or needle is empty. NSCaseInsensitiveSearch compares case-folded text.
NSRange rangeOfString(std::string_view text, std::string_view needle, NSUInteger options = 0);

} // namespace ns
