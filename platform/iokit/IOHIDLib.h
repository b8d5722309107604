// The HID system's user-side calls: posting an HID event record and reading a button's event
// number, over a type-1 connection to "IOHIDSystem".
#pragma once

#include "platform/iokit/IOKitLib.h"
#include "platform/kernel/IOHIDTypes.h"

namespace iokit {

using kernel::IOGPoint;
using kernel::kIOHIDSetCursorPosition;
using kernel::kNXEventDataVersion;
using kernel::NXEventData;

inline constexpr uint32_t kIOHIDParamConnectType = 1;

// 0, or kIOReturnBadArgument for a dead connection or a data version other than 2.
kern_return_t IOHIDPostEvent(io_connect_t connect, uint32_t eventType, IOGPoint location,
                             const NXEventData* eventData, uint32_t eventDataVersion, uint32_t eventFlags,
                             uint32_t options);
kern_return_t IOHIDGetButtonEventNum(io_connect_t connect, uint32_t button, int32_t* eventNum);

} // namespace iokit
