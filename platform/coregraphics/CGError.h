// The error codes and the basic scalar types shared by every Core Graphics call that reaches
// the window server.
#pragma once

#include <cstdint>

namespace cg {

using CGError = int32_t;
inline constexpr CGError kCGErrorSuccess = 0;
inline constexpr CGError kCGErrorFailure = 1000;
inline constexpr CGError kCGErrorIllegalArgument = 1001;   // unknown display, mode or window
inline constexpr CGError kCGErrorInvalidConnection = 1002; // no window server reachable
inline constexpr CGError kCGErrorCannotComplete = 1004;
inline constexpr CGError kCGErrorRangeCheck = 1007;

using CGDirectDisplayID = uint32_t;
using CGDisplayCount = uint32_t;
inline constexpr CGDirectDisplayID kCGNullDirectDisplay = 0;

using CGWindowID = uint32_t;
inline constexpr CGWindowID kCGNullWindowID = 0;

// A process's connection to the window server ("cid"): non-zero, never reused.
using CGSConnectionID = int32_t;

} // namespace cg
