// One virtual display's nub: "Quenby Virtual Display" at location "%X" of its index, with
// "compatible" = "QNVirtualDisplay" and a 16-bit "displayNum". The framebuffer attaches here.
#pragma once

#include "platform/kernel/IOService.h"

namespace drivers {

using namespace kernel;

class QNExDisplay : public IOService {
    OSDeclareDefaultStructors(QNExDisplay);

public:
    using super = IOService;
    using IOService::init;

    // The properties are set whatever the base initialisation answers.
    virtual bool init(OSDictionary* dictionary, unsigned int index);
    IOService* getResources() override { return nullptr; }
};

} // namespace drivers
