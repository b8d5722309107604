#include "host/NSNumberAdditions.h"

#include "platform/core/Log.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace host {

namespace {

template <typename T> std::optional<std::string> bitsOf(T value) {
    return QNBBinaryStringForData(&value, sizeof value);
}

// A floating value truncated toward zero into the integer of that width, held to its range
// (not a number: 0).
template <typename T> T truncated(double value) {
    if (std::isnan(value)) return 0;
    if (value <= double(std::numeric_limits<T>::min())) return std::numeric_limits<T>::min();
    if (value >= double(std::numeric_limits<T>::max())) return std::numeric_limits<T>::max();
    return T(value);
}

} // namespace

std::optional<std::string> QNBBinaryStringForData(const void* bytes, size_t count) {
    constexpr size_t kMaxBytes = 8;
    if (count > kMaxBytes || (!bytes && count)) {
        platform::log("QNBBinaryStringForData: %lu bytes is more than a number holds",
                      static_cast<unsigned long>(count));
        return std::nullopt;
    }
    const auto* data = static_cast<const uint8_t*>(bytes);
    std::string text;
    for (size_t i = count; i-- > 0;) {
        for (int bit = 7; bit >= 0; --bit)
            text.push_back((data[i] >> bit) & 1 ? '1' : '0');
        if (i) text.push_back(' ');
    }
    return text;
}

std::optional<std::string> binaryRepresentation(const cf::Value& number) {
    if (number.isBoolean()) return bitsOf<uint8_t>(number.boolValue() ? 1 : 0);
    const auto type = number.numberType();
    if (!type) return std::nullopt;
    switch (*type) {
    case cf::kCFNumberSInt8Type:
        return bitsOf(int8_t(number.integerValue()));
    case cf::kCFNumberSInt16Type:
        return bitsOf(int16_t(number.integerValue()));
    case cf::kCFNumberSInt32Type:
        return bitsOf(int32_t(number.integerValue()));
    case cf::kCFNumberSInt64Type:
        return bitsOf(int64_t(number.integerValue()));
    case cf::kCFNumberFloat32Type:
        return bitsOf(truncated<int32_t>(number.doubleValue()));
    case cf::kCFNumberFloat64Type:
        return bitsOf(truncated<int64_t>(number.doubleValue()));
    default:
        return std::nullopt;
    }
}

} // namespace host
