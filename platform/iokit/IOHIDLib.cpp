#include "platform/iokit/IOHIDLib.h"

#include <cstring>

namespace iokit {

kern_return_t IOHIDPostEvent(io_connect_t connect, uint32_t eventType, IOGPoint location,
                             const NXEventData* eventData, uint32_t eventDataVersion, uint32_t eventFlags,
                             uint32_t options) {
    if (!eventData) return kIOReturnBadArgument;
    uint64_t input[kernel::kIOHIDPostEventScalars] = {
        eventType,
        static_cast<uint64_t>(static_cast<uint16_t>(location.x)),
        static_cast<uint64_t>(static_cast<uint16_t>(location.y)),
        eventDataVersion,
        eventFlags,
        options,
        sizeof(NXEventData)};
    uint8_t bytes[kernel::kIOHIDEventDataWords * 8] = {};
    std::memcpy(bytes, eventData, sizeof(NXEventData));
    for (uint32_t w = 0; w < kernel::kIOHIDEventDataWords; ++w)
        for (int b = 0; b < 8; ++b)
            input[7 + w] |= uint64_t(bytes[w * 8 + b]) << (8 * b);
    uint32_t outputs = 0;
    kern_return_t status = IOConnectCallScalarMethod(connect, kernel::kIOHIDPostEventSelector, input,
                                                     kernel::kIOHIDPostEventScalars, nullptr, &outputs);
    // A connection that is gone or was never one is an argument the caller got wrong.
    if (status == kIOReturnNotOpen || status == kIOReturnNotAttached) return kIOReturnBadArgument;
    return status;
}

kern_return_t IOHIDGetButtonEventNum(io_connect_t connect, uint32_t button, int32_t* eventNum) {
    if (!eventNum) return kIOReturnBadArgument;
    uint64_t input = button, output = 0;
    uint32_t outputs = 1;
    kern_return_t status = IOConnectCallScalarMethod(connect, kernel::kIOHIDGetButtonEventNumSelector, &input,
                                                     1, &output, &outputs);
    if (status == kIOReturnSuccess) *eventNum = static_cast<int32_t>(output);
    return status;
}

} // namespace iokit
