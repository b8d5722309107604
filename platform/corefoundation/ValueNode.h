// The shared immutable storage behind cf::Value (private to this folder).
#pragma once

#include "platform/corefoundation/Value.h"

#include <variant>

namespace cf {

struct Value::Node {
    Kind kind = Kind::String;
    CFNumberType numberType = kCFNumberSInt64Type; // numbers only: one of the six fixed-size types
    int64_t integer = 0; // integer numbers, booleans (0/1), UIDs (their bits)
    double real = 0;     // Float32/Float64 numbers, dates
    std::variant<std::monostate, std::string, Bytes, Array, Dictionary> payload;
};

namespace detail {

bool isFloatType(CFNumberType canonical);

// One number conversion as CFNumberGetValue does it: the converted value (in `integer` for
// integer targets, `real` for float ones) and whether it was exact.
struct Conversion {
    int64_t integer = 0;
    double real = 0;
    bool exact = false;
};
Conversion convertNumber(const Value::Node& number, CFNumberType canonicalTarget);
Conversion convertInteger(int64_t value, CFNumberType canonicalTarget);
Conversion convertReal(double value, CFNumberType canonicalTarget);

} // namespace detail
} // namespace cf
