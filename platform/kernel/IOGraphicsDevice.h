// The abstract graphics device every framebuffer is.
#pragma once

#include "platform/kernel/IOService.h"

namespace kernel {

class IOGraphicsDevice : public IOService {
    OSDeclareDefaultStructors(IOGraphicsDevice);

  public:
    using super = IOService;
};

} // namespace kernel
