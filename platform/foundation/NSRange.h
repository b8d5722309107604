// NSRange and NSNotFound. String ranges here count UTF-8 bytes.
#pragma once

#include <cstdint>

namespace ns {

using NSInteger = int64_t;
using NSUInteger = uint64_t;

inline constexpr NSUInteger NSNotFound = static_cast<NSUInteger>(INT64_MAX);

struct NSRange {
    NSUInteger location = NSNotFound;
    NSUInteger length = 0;
    bool operator==(const NSRange&) const = default;
};

constexpr NSRange NSMakeRange(NSUInteger location, NSUInteger length) {
    return NSRange{location, length};
}

} // namespace ns
