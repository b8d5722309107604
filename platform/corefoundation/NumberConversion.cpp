// CFNumberGetValue's conversion table and the number constructors built on it.
#include "platform/corefoundation/ValueNode.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace cf {
namespace detail {

namespace {

struct IntRange {
    int64_t min;
    int64_t max;
};

IntRange rangeOf(CFNumberType type) {
    switch (type) {
    case kCFNumberSInt8Type: return {INT8_MIN, INT8_MAX};
    case kCFNumberSInt16Type: return {INT16_MIN, INT16_MAX};
    case kCFNumberSInt32Type: return {INT32_MIN, INT32_MAX};
    default: return {INT64_MIN, INT64_MAX};
    }
}

int64_t lowOrderBits(int64_t value, CFNumberType type) {
    switch (type) {
    case kCFNumberSInt8Type: return static_cast<int8_t>(static_cast<uint8_t>(value & 0xff));
    case kCFNumberSInt16Type: return static_cast<int16_t>(static_cast<uint16_t>(value & 0xffff));
    case kCFNumberSInt32Type: return static_cast<int32_t>(static_cast<uint32_t>(value & 0xffffffff));
    default: return value;
    }
}

// 2^63 as a double: the first value past the int64 range.
constexpr double kTwoTo63 = 9223372036854775808.0;

// Whether a double holds exactly this integer (no UB for values outside the int64 range).
bool doubleHoldsInteger(double d, int64_t value) {
    if (!(d >= -kTwoTo63 && d < kTwoTo63)) return false;
    return static_cast<int64_t>(d) == value;
}

} // namespace

bool isFloatType(CFNumberType canonical) {
    return canonical == kCFNumberFloat32Type || canonical == kCFNumberFloat64Type;
}

Conversion convertInteger(int64_t value, CFNumberType target) {
    Conversion out;
    if (target == kCFNumberFloat32Type) {
        float f = static_cast<float>(value);
        out.real = f;
        out.exact = doubleHoldsInteger(static_cast<double>(f), value);
    } else if (target == kCFNumberFloat64Type) {
        out.real = static_cast<double>(value);
        out.exact = doubleHoldsInteger(out.real, value);
    } else {
        IntRange range = rangeOf(target);
        out.integer = lowOrderBits(value, target);
        out.exact = value >= range.min && value <= range.max;
    }
    return out;
}

Conversion convertReal(double value, CFNumberType target) {
    Conversion out;
    if (target == kCFNumberFloat64Type) {
        out.real = value;
        out.exact = true;
    } else if (target == kCFNumberFloat32Type) {
        float f = static_cast<float>(value);
        out.real = f;
        out.exact = std::isnan(value) || static_cast<double>(f) == value;
    } else if (std::isnan(value)) {
        out.integer = 0;
        out.exact = false;
    } else {
        IntRange range = rangeOf(target);
        double t = std::trunc(value);
        if (t < static_cast<double>(range.min)) {
            out.integer = range.min;
        } else if (t >= -static_cast<double>(range.min)) { // max + 1 is exactly representable
            out.integer = range.max;
        } else {
            out.integer = static_cast<int64_t>(t);
            out.exact = t == value;
        }
    }
    return out;
}

Conversion convertNumber(const Value::Node& number, CFNumberType target) {
    return isFloatType(number.numberType) ? convertReal(number.real, target) : convertInteger(number.integer, target);
}

} // namespace detail

CFNumberType canonicalNumberType(CFNumberType type) {
    switch (type) {
    case kCFNumberSInt8Type:
    case kCFNumberCharType: return kCFNumberSInt8Type;
    case kCFNumberSInt16Type:
    case kCFNumberShortType: return kCFNumberSInt16Type;
    case kCFNumberSInt32Type:
    case kCFNumberIntType: return kCFNumberSInt32Type;
    case kCFNumberSInt64Type:
    case kCFNumberLongType:
    case kCFNumberLongLongType:
    case kCFNumberCFIndexType:
    case kCFNumberNSIntegerType: return kCFNumberSInt64Type;
    case kCFNumberFloat32Type:
    case kCFNumberFloatType: return kCFNumberFloat32Type;
    case kCFNumberFloat64Type:
    case kCFNumberDoubleType:
    case kCFNumberCGFloatType: return kCFNumberFloat64Type;
    }
    return static_cast<CFNumberType>(0);
}

size_t numberTypeSize(CFNumberType type) {
    switch (canonicalNumberType(type)) {
    case kCFNumberSInt8Type: return 1;
    case kCFNumberSInt16Type: return 2;
    case kCFNumberSInt32Type:
    case kCFNumberFloat32Type: return 4;
    case kCFNumberSInt64Type:
    case kCFNumberFloat64Type: return 8;
    default: return 0;
    }
}

namespace {

void storeConverted(const detail::Conversion& c, CFNumberType canonical, void* out) {
    switch (canonical) {
    case kCFNumberSInt8Type: { int8_t v = static_cast<int8_t>(c.integer); std::memcpy(out, &v, sizeof v); break; }
    case kCFNumberSInt16Type: { int16_t v = static_cast<int16_t>(c.integer); std::memcpy(out, &v, sizeof v); break; }
    case kCFNumberSInt32Type: { int32_t v = static_cast<int32_t>(c.integer); std::memcpy(out, &v, sizeof v); break; }
    case kCFNumberSInt64Type: std::memcpy(out, &c.integer, sizeof c.integer); break;
    case kCFNumberFloat32Type: { float v = static_cast<float>(c.real); std::memcpy(out, &v, sizeof v); break; }
    case kCFNumberFloat64Type: std::memcpy(out, &c.real, sizeof c.real); break;
    default: break;
    }
}

} // namespace

bool CFNumberGetValue(const Value& number, CFNumberType theType, void* valuePtr) {
    CFNumberType target = canonicalNumberType(theType);
    if (target == 0 || valuePtr == nullptr) return false;
    if (!number.isNumber()) {
        storeConverted(detail::Conversion{}, target, valuePtr);
        return false;
    }
    detail::Conversion c = number.isFloatNumber() ? detail::convertReal(*number.storedReal(), target)
                                                  : detail::convertInteger(*number.storedInteger(), target);
    storeConverted(c, target, valuePtr);
    return c.exact;
}

bool CFNumberGetValue(const std::optional<Value>& number, CFNumberType theType, void* valuePtr) {
    if (number) return CFNumberGetValue(*number, theType, valuePtr);
    CFNumberType target = canonicalNumberType(theType);
    if (target != 0 && valuePtr != nullptr) storeConverted(detail::Conversion{}, target, valuePtr);
    return false;
}

std::optional<Value> CFNumberCreate(CFNumberType theType, const void* valuePtr) {
    CFNumberType type = canonicalNumberType(theType);
    if (type == 0 || valuePtr == nullptr) return std::nullopt;
    switch (type) {
    case kCFNumberSInt8Type: { int8_t v; std::memcpy(&v, valuePtr, sizeof v); return Value::number(type, int64_t(v)); }
    case kCFNumberSInt16Type: { int16_t v; std::memcpy(&v, valuePtr, sizeof v); return Value::number(type, int64_t(v)); }
    case kCFNumberSInt32Type: { int32_t v; std::memcpy(&v, valuePtr, sizeof v); return Value::number(type, int64_t(v)); }
    case kCFNumberSInt64Type: { int64_t v; std::memcpy(&v, valuePtr, sizeof v); return Value::number(type, v); }
    case kCFNumberFloat32Type: { float v; std::memcpy(&v, valuePtr, sizeof v); return Value::number(type, double(v)); }
    default: { double v; std::memcpy(&v, valuePtr, sizeof v); return Value::number(type, v); }
    }
}

CFNumberType CFNumberGetType(const Value& number) {
    return number.numberType().value_or(static_cast<CFNumberType>(0));
}

bool CFNumberIsFloatType(const Value& number) { return number.isFloatNumber(); }

} // namespace cf
