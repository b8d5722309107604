// The text-to-number rules of NSString's intValue, integerValue, doubleValue and boolValue,
// shared by cf::Value's accessors and the user-defaults getters.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace cf {

// Skip leading white space, an optional sign, then digits up to the first other character;
// 0 when there are none; saturates at the type's limits.
int64_t textIntegerValue(std::string_view text);
int32_t textIntValue(std::string_view text);
// Skip white space; sign, digits, "." digits, exponent, in the "C" locale; no hex, "nan" or
// "inf"; 0 when there are no digits; overflow gives ±infinity.
double textDoubleValue(std::string_view text);
// Skip white space, an optional sign and leading zeros; true when the next character is
// Y, y, T, t or 1-9.
bool textBoolValue(std::string_view text);
// A whole text (white space trimmed) that is a sign and digits, nothing else; nullopt otherwise
// or when out of the 64-bit range.
std::optional<int64_t> textStrictInteger(std::string_view text);

} // namespace cf
