// The resources node: drivers of no hardware attach under it, matching on its properties.
#pragma once

#include "platform/kernel/IOService.h"

namespace kernel {

class IOResources : public IOService {
    OSDeclareDefaultStructors(IOResources);

  public:
    using super = IOService;

    static IOResources* resources();
    IOService* getResources() override { return this; }
};

} // namespace kernel
