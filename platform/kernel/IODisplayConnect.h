// The "display0" entry a display controller carries while its display is online.
#pragma once

#include "platform/kernel/IOService.h"

namespace kernel {

class IODisplayConnect : public IOService {
    OSDeclareDefaultStructors(IODisplayConnect);

  public:
    using super = IOService;

    // A new, unattached connect entry named "display0".
    static IODisplayConnect* displayConnect();
};

} // namespace kernel
