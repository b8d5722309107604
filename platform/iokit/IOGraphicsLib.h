// Display information as the graphics library gives it: what the window server last knew of
// the display behind an IODisplayConnect ("display0") or its framebuffer. The record outlives
// the display's removal, so a remove pass can still name it.
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/iokit/IOKitLib.h"

#include <optional>

namespace iokit {

inline constexpr uint32_t kIODisplayOnlyPreferredName = 0x00000200;

inline constexpr char kDisplayProductName[] = "DisplayProductName";
inline constexpr char kDisplayVendorID[] = "DisplayVendorID";
inline constexpr char kDisplayProductID[] = "DisplayProductID";
inline constexpr char kDisplaySerialNumber[] = "DisplaySerialNumber"; // absent when 0
inline constexpr char kIODisplayLocationKey[] = "IODisplayLocation";

// {"DisplayProductName": {"en_US": name}, "DisplayVendorID", "DisplayProductID",
// "DisplaySerialNumber" (SInt32 holding the 32-bit value), "IODisplayLocation" (the
// framebuffer's registry path)}; nothing for a handle that is neither, or a framebuffer that
// never showed a display. Options (0 or kIODisplayOnlyPreferredName) change nothing here.
std::optional<cf::Value> IODisplayCreateInfoDictionary(io_service_t framebufferOrDisplay, uint32_t options);

} // namespace iokit
