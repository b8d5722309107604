// cf::Value: one property-list value with Core Foundation semantics.
//
// A value is a string (UTF-8), a number that keeps its CFNumberType, a boolean (never a
// number), data, a date (seconds since 2001-01-01 UTC), an array, a dictionary (string keys
// kept sorted so output is deterministic) or a keyed-archive UID. Absent is an empty
// std::optional<Value>. Storage is shared and immutable, so copies are cheap and independent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace cf {

class Value;
using Bytes = std::vector<uint8_t>;
using Array = std::vector<Value>;
using Dictionary = std::map<std::string, Value, std::less<>>;

using CFIndex = int64_t;
using CFTypeID = unsigned long;
using CFAbsoluteTime = double; // seconds since 2001-01-01 00:00:00 UTC

// The constants keep Core Foundation's numbering. A number only ever stores one of the six
// fixed-size types; the other names are aliases resolved when the number is made or read.
enum CFNumberType : int {
    kCFNumberSInt8Type = 1,
    kCFNumberSInt16Type = 2,
    kCFNumberSInt32Type = 3,
    kCFNumberSInt64Type = 4,
    kCFNumberFloat32Type = 5,
    kCFNumberFloat64Type = 6,
    kCFNumberCharType = 7,      // SInt8
    kCFNumberShortType = 8,     // SInt16
    kCFNumberIntType = 9,       // SInt32
    kCFNumberLongType = 10,     // SInt64 (LP64)
    kCFNumberLongLongType = 11, // SInt64
    kCFNumberFloatType = 12,    // Float32
    kCFNumberDoubleType = 13,   // Float64
    kCFNumberCFIndexType = 14,  // SInt64
    kCFNumberNSIntegerType = 15, // SInt64
    kCFNumberCGFloatType = 16,  // Float64
    kCFNumberMaxType = 16
};

// The fixed-size type an alias stands for; 0 for an unknown type.
CFNumberType canonicalNumberType(CFNumberType type);
// Size in bytes of a value of that type (1, 2, 4 or 8); 0 for an unknown type.
size_t numberTypeSize(CFNumberType type);

struct UID {
    uint64_t value = 0;
};

class Value {
public:
    enum class Kind { String, Number, Boolean, Data, Date, Array, Dictionary, UID };

    // Construction. Integers keep a type wide enough for them: int8 → SInt8, int16 → SInt16,
    // int32 → SInt32, int64 → SInt64; unsigned ones take the next wider signed type (uint64
    // keeps its bits as SInt64, as property lists do). float → Float32, double → Float64.
    Value(bool b);
    template <typename T>
        requires(std::is_integral_v<T> && !std::is_same_v<T, bool>)
    Value(T v) : Value(integerOf(v)) {}
    Value(float f);
    Value(double d);
    Value(const char* s);
    Value(std::string s);
    Value(std::string_view s);
    Value(Bytes data);
    Value(Array array);
    Value(Dictionary dictionary);
    Value(UID uid);
    template <typename T>
        requires(std::is_constructible_v<Value, const T&> && !std::is_same_v<T, uint8_t> && !std::is_same_v<T, Value>)
    Value(const std::vector<T>& items) : Value(arrayOf(items)) {}
    template <typename T, typename C>
        requires(std::is_constructible_v<Value, const T&> && !std::is_same_v<T, Value>)
    Value(const std::map<std::string, T, C>& items) : Value(dictionaryOf(items)) {}

    // A number of an explicit type (CFNumberCreate): the value is converted to that type
    // (integers keep their low-order bits, floats round to the nearest Float32).
    static Value number(CFNumberType type, int64_t value);
    static Value number(CFNumberType type, double value);
    static Value date(CFAbsoluteTime secondsSince2001);
    static Value data(const void* bytes, size_t length);
    static Value uid(uint64_t value);
    static Value emptyDictionary();
    static Value emptyArray();

    Kind kind() const;
    bool isString() const { return kind() == Kind::String; }
    bool isNumber() const { return kind() == Kind::Number; }
    bool isBoolean() const { return kind() == Kind::Boolean; }
    bool isData() const { return kind() == Kind::Data; }
    bool isDate() const { return kind() == Kind::Date; }
    bool isArray() const { return kind() == Kind::Array; }
    bool isDictionary() const { return kind() == Kind::Dictionary; }
    bool isUID() const { return kind() == Kind::UID; }

    // Typed getters: null or nullopt when the value is of another kind.
    const std::string* asString() const;
    const Bytes* asData() const;
    const Array* asArray() const;
    const Dictionary* asDictionary() const;
    std::optional<bool> asBool() const;            // booleans only
    std::optional<CFAbsoluteTime> asDate() const;
    std::optional<uint64_t> asUID() const;
    std::optional<CFNumberType> numberType() const; // the stored fixed-size type
    bool isFloatNumber() const;                     // Float32 or Float64
    // A number's integer or real value as stored (nullopt unless a number of that family).
    std::optional<int64_t> storedInteger() const;
    std::optional<double> storedReal() const;

    // NSNumber-style accessors. Numbers convert by value like CFNumberGetValue without the
    // exactness answer (low-order bits, truncation, saturation, NaN → 0); a boolean counts
    // 0/1; a string converts by the text rules (see TextValues.h); anything else gives 0.
    int32_t intValue() const;
    int64_t integerValue() const;
    int64_t longLongValue() const { return integerValue(); }
    uint64_t unsignedIntegerValue() const;
    float floatValue() const;
    double doubleValue() const;
    bool boolValue() const;

    // Collections: the element, or null when absent, out of range or not a collection.
    const Value* find(std::string_view key) const;
    const Value* at(size_t index) const;
    std::optional<Value> objectForKey(std::string_view key) const;
    size_t count() const; // elements of an array or dictionary, bytes of data, else 0
    // A dictionary equal to this one with key set (or removed when value is empty); a value
    // that is not a dictionary counts as an empty one.
    Value setting(std::string_view key, const std::optional<Value>& value) const;

    // Numbers compare by value across types (1 equals 1.0); a boolean never equals a number.
    bool operator==(const Value& other) const;
    bool operator!=(const Value& other) const { return !(*this == other); }

    // The old text style: { k = v; }, ( a, b ), <0a0b0c0d 0e>, "quoted text" when needed.
    std::string description() const;

    struct Node;

private:
    explicit Value(std::shared_ptr<const Node> node) : m_node(std::move(node)) {}
    template <typename T> static Value integerOf(T v) {
        if constexpr (std::is_signed_v<T>) {
            if constexpr (sizeof(T) == 1) return number(kCFNumberSInt8Type, int64_t(v));
            else if constexpr (sizeof(T) == 2) return number(kCFNumberSInt16Type, int64_t(v));
            else if constexpr (sizeof(T) == 4) return number(kCFNumberSInt32Type, int64_t(v));
            else return number(kCFNumberSInt64Type, int64_t(v));
        } else {
            if constexpr (sizeof(T) == 1) return number(kCFNumberSInt16Type, int64_t(v));
            else if constexpr (sizeof(T) == 2) return number(kCFNumberSInt32Type, int64_t(v));
            else if constexpr (sizeof(T) == 4) return number(kCFNumberSInt64Type, int64_t(v));
            else return number(kCFNumberSInt64Type, static_cast<int64_t>(v));
        }
    }
    template <typename T> static Array arrayOf(const std::vector<T>& items) {
        Array out;
        out.reserve(items.size());
        for (const auto& item : items) out.push_back(Value(item));
        return out;
    }
    template <typename T, typename C> static Dictionary dictionaryOf(const std::map<std::string, T, C>& items) {
        Dictionary out;
        for (const auto& [key, item] : items) out.insert_or_assign(key, Value(item));
        return out;
    }

    std::shared_ptr<const Node> m_node;
};

// Core Foundation calls over values.
CFTypeID CFGetTypeID(const Value& value);
CFTypeID CFStringGetTypeID();
CFTypeID CFNumberGetTypeID();
CFTypeID CFBooleanGetTypeID();
CFTypeID CFDataGetTypeID();
CFTypeID CFDateGetTypeID();
CFTypeID CFArrayGetTypeID();
CFTypeID CFDictionaryGetTypeID();
CFTypeID CFKeyedArchiverUIDGetTypeID();

bool CFEqual(const Value& a, const Value& b);
bool CFEqual(const std::optional<Value>& a, const std::optional<Value>& b);

// Reads *valuePtr with the size of theType (1, 2, 4 or 8 bytes); nullopt for an unknown type.
std::optional<Value> CFNumberCreate(CFNumberType theType, const void* valuePtr);
// The stored fixed-size type; 0 when the value is not a number.
CFNumberType CFNumberGetType(const Value& number);
bool CFNumberIsFloatType(const Value& number);
// Writes the number converted to theType into *valuePtr (sized for theType) and answers
// true only when the conversion is exact:
//   integer → narrower integer: low-order bits, false when out of range;
//   integer → float: nearest, false when inexact (2^24+1 as Float32);
//   float → integer: truncated and saturated, NaN → 0, false when fractional, out of range or NaN;
//   Float64 → Float32: nearest, false when rounding changed it;
//   same or wider: exact.
// A value that is not a number (a boolean included), or an absent one, writes 0 and answers false.
bool CFNumberGetValue(const Value& number, CFNumberType theType, void* valuePtr);
bool CFNumberGetValue(const std::optional<Value>& number, CFNumberType theType, void* valuePtr);

inline const Value kCFBooleanTrue{true};
inline const Value kCFBooleanFalse{false};
bool CFBooleanGetValue(const Value& boolean); // false for anything but a true boolean

} // namespace cf
