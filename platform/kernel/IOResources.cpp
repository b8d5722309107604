#include "platform/kernel/IOResources.h"

#include "platform/kernel/OSBoolean.h"

namespace kernel {

OSDefineMetaClassAndStructors(IOResources, IOService);

IOResources* IOResources::resources() {
    auto* r = new IOResources;
    if (!r->init(nullptr)) {
        r->release();
        return nullptr;
    }
    r->setProperty("IOKit", "IOService");
    return r;
}

} // namespace kernel
