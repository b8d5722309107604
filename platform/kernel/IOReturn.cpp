#include "platform/kernel/IOReturn.h"

#include <cstdio>

namespace kernel {

const char* IOReturnName(IOReturn status) {
    switch (status) {
    case kIOReturnSuccess:
        return "kIOReturnSuccess";
    case kIOReturnError:
        return "kIOReturnError";
    case kIOReturnNoMemory:
        return "kIOReturnNoMemory";
    case kIOReturnNoResources:
        return "kIOReturnNoResources";
    case kIOReturnIPCError:
        return "kIOReturnIPCError";
    case kIOReturnBadArgument:
        return "kIOReturnBadArgument";
    case kIOReturnExclusiveAccess:
        return "kIOReturnExclusiveAccess";
    case kIOReturnUnsupported:
        return "kIOReturnUnsupported";
    case kIOReturnNotOpen:
        return "kIOReturnNotOpen";
    case kIOReturnOffline:
        return "kIOReturnOffline";
    case kIOReturnNotAttached:
        return "kIOReturnNotAttached";
    case kIOReturnNoInterrupt:
        return "kIOReturnNoInterrupt";
    case kIOReturnNotFound:
        return "kIOReturnNotFound";
    default:
        break;
    }
    thread_local char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

} // namespace kernel
